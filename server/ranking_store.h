// Ranking server, the players: who is registered with which PIN hash, each player's last
// state, the request rules (403, 409, 429), the ranking replies and the batched writes.
// Owns: the in-memory table of players and a periodically rebuilt, read-only view of the
// ranking. Reads/writes: Storage. Called by: the request handler (any I/O thread) and the
// flusher thread. Times are steady-clock milliseconds passed in by the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ranking/record.h"
#include "reply_text.h"
#include "storage.h"

namespace orlith::server {

struct StoreOptions {
    int64_t liveMs = 10000;            // a player updated this recently is live
    int64_t viewMaxAgeMs = 25;         // the shared ranking view is rebuilt at most this often
    int32_t ratePerSecond = 120;       // ranking requests per nickname per second
    int32_t registrationsPerSecond = 200;  // new nicknames per second, all together
    int32_t topLines = 128;            // global top lines in every ranking reply
    int32_t maxLines = 256;            // lines per reply: the game reads at most 256
    int64_t foreignQuietMs = 3000;     // a row written elsewhere wins after this much local quiet
    bool legacyCheck = false;          // true PIN hashes in a check without a name
    int32_t wrongPinsPerClient = 30;   // wrong PIN hashes from one address per window, then 429
    int64_t wrongPinWindowMs = 10000;
};

// A new nickname that has passed every rule: what is committed before its first reply.
struct Registration {
    std::u16string name;
    std::string nameUtf8;
    std::string state;                 // the 104-character state value of its first request
    int64_t nowMs = 0;                 // when the request was decided
};

struct Reply {
    int status = 200;
    const char* reason = nullptr;      // refusals: why, for the log
    ReplyText body;
    bool wrongPin = false;             // a check named a player with another PIN hash
    std::optional<Registration> registration;  // status 200 pending this commit: see commit()

    Reply() = default;
    Reply(int status_, const char* reason_, ReplyText body_ = {})  // NOLINT: a refusal
        : status(status_), reason(reason_), body(std::move(body_)) {}
};

class RankingStore {
public:
    RankingStore(Storage& storage, StoreOptions options);
    ~RankingStore();

    // Loads every stored player; false with a message when a row or the database is bad.
    bool load(std::string& error);

    // A ranking request that has passed parsing and its checksum; never waits. A new nickname
    // that passes the rules comes back with a Registration to commit before any reply.
    Reply submit(const std::u16string& name, const std::string& nameUtf8, std::string_view stateValue,
                 int64_t nowMs);
    // Stores a registration (waits for the database) and then answers its request as submit
    // would; a nickname registered meanwhile is answered by its own rules (403 for another hash).
    Reply commit(const Registration& registration);
    // A check: name null for the original "mode=check".
    Reply check(const std::u16string* name, std::string_view pin, int64_t nowMs);

    // Writes every state changed since the last flush; false (and the states stay pending)
    // when the database refuses.
    bool flush(std::string& error);
    // Takes in what other instances sharing the database have written.
    bool pull(int64_t nowMs, std::string& error);

    // Guessing a PIN hash through ranking requests or checks: every wrong hash from one client
    // address counts, and past the limit that address gets 429 for every request naming a
    // player until the window ends. The table is emptied each window, so it stays small.
    bool clientLimited(uint64_t client, int64_t nowMs);
    void wrongPinFrom(uint64_t client, int64_t nowMs);

    size_t playerCount();
    size_t livePlayerCount(int64_t nowMs);
    size_t pendingWrites();
    bool sharedStorage() const { return storage_.sharedByInstances(); }

private:
    struct Player;
    struct View;
    struct Block;

    Player* find(std::u16string_view name);
    Player* addLocked(const std::u16string& name, const std::string& nameUtf8, std::string_view state,
                      int64_t lastSeenMs);
    Reply applyLocked(Player& p, std::string_view stateValue, int64_t nowMs);
    std::shared_ptr<const View> currentView(int64_t nowMs);
    std::shared_ptr<const View> buildViewLocked(int64_t nowMs);
    void appendLine(std::string& out, const Player& p, std::string_view pin) const;
    void rankingBody(const std::shared_ptr<const View>& view, const Player* requester, int32_t level,
                     ReplyText& out) const;

    Storage& storage_;
    StoreOptions options_;
    std::mutex mutex_;                 // players_, index_ and every Player field
    std::vector<std::unique_ptr<Player>> players_;
    std::unordered_map<std::u16string_view, Player*> index_;  // views into Player::name
    size_t dirtyCount_ = 0;
    std::atomic<uint64_t> changes_{0};  // bumped on every change the view shows
    int64_t registrationWindow_ = -1;
    int32_t registrationsInWindow_ = 0;
    int64_t pulledUpToMs_ = 0;         // database clock of the last pull

    std::mutex clientMutex_;           // wrongPins_, wrongPinWindow_
    std::unordered_map<uint64_t, int32_t> wrongPins_;
    int64_t wrongPinWindow_ = -1;
    std::atomic<int64_t> limitedWindow_{-1};  // a window in which some address hit the limit

    std::mutex viewMutex_;             // view_
    std::mutex rebuildMutex_;          // one rebuild at a time; others keep the old view
    std::shared_ptr<const View> view_;
};

}  // namespace orlith::server
