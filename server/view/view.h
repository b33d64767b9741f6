// Ranking server, the reply view: what ranking replies show, as immutable blocks of reply
// lines shared by every reply until the next build. A view holds the ranked block (the first
// maxLines players; the top is its first topLines lines) and, per level, a block of the live
// players outside the top. A reply is the requester's own line, then slices of the view
// (never copied per request; gzip'd from chunks compressed once per block, see block.h).
// Owns: the current view and its rebuilding: at most every viewMaxAgeMs after a change, and at
// least once a second (so quiet players stop being live); only the parts that changed, the
// rest shared with the previous view; one thread at a time, the others answering from the
// previous view. Reads: the players, under their lock, while building. Writes: the players'
// marks of what the next view must rebuild. Called by: the rules, for every reply.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "players/players.h"
#include "view/block.h"
#include "view/reply_text.h"

namespace orlith::server {

struct ViewOptions {
    int64_t viewMaxAgeMs = 25;           // a changed view is rebuilt at most this often
    int32_t topLines = 128;              // global top lines in every ranking reply
    int32_t maxLines = 256;              // lines per reply: the game reads at most 256
};

struct View {
    int64_t builtMs = 0;
    uint64_t changes = 0;                // the players' count of changes it shows
    std::shared_ptr<const Block> ranked;   // first maxLines players; the top is its first topLines
    std::map<int32_t, std::shared_ptr<const Block>> live;  // live players outside the top, by level
};

class Views {
public:
    // waitingForFirst, when set, is called when a reply finds the first view being built and
    // waits for it (a seam for tests: every later reply answers from the previous view).
    Views(Players& players, ViewOptions options, std::function<void()> waitingForFirst = nullptr);

    // The view to answer from at nowMs; never null.
    std::shared_ptr<const View> current(int64_t nowMs);
    // The reply after its own lines: the first topLines of the ranked block and, when level is
    // set, the live block of that level; the requester is skipped where it stands, and the
    // whole stays within maxLines lines.
    void reply(const std::shared_ptr<const View>& view, const Player* requester, std::string_view ownLines,
               size_t topLines, const int32_t* level, bool gzip, ReplyText& out) const;

private:
    std::shared_ptr<const View> build(const std::shared_ptr<const View>& previous, int64_t nowMs);

    Players& players_;
    const ViewOptions options_;
    std::function<void()> waitingForFirst_;
    std::mutex viewMutex_;               // view_
    std::mutex rebuildMutex_;            // one rebuild at a time; others keep the old view
    std::shared_ptr<const View> view_;
};

// A player's reply line: its state value with pin in place of its PIN hash, and its name.
void ownLine(std::string& out, const Player& p, std::string_view pin);

}  // namespace orlith::server
