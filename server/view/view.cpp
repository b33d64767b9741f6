// The reply view: built from the players in the parts that changed, and replies cut from it.
#include "view/view.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace orlith::server {

namespace {

constexpr std::string_view kMaskedPin = "00000000";

}  // namespace

void ownLine(std::string& out, const Player& p, std::string_view pin) {
    out.reserve(out.size() + 2 * kStateBytes + 3 * p.nameLength + 2);  // UTF-8 takes at most 3 bytes a UTF-16 unit
    appendHex(out, p.state, 4);
    out.append(pin);
    appendHex(out, p.state + 8, kStateBytes - 8);
    // The name is valid UTF-16 (it came through a strict conversion): encode it as UTF-8.
    for (size_t i = 0; i < p.nameLength; ++i) {
        uint32_t c = p.name[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < p.nameLength) c = 0x10000 + ((c - 0xD800) << 10) + (p.name[++i] - 0xDC00);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 63)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 63)));
            out.push_back(static_cast<char>(0x80 | (c & 63)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 63)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 63)));
            out.push_back(static_cast<char>(0x80 | (c & 63)));
        }
    }
    out.append("\r\n");
}

Views::Views(Players& players, ViewOptions options, std::function<void()> waitingForFirst)
    : players_(players), options_(options), waitingForFirst_(std::move(waitingForFirst)) {}

void Views::reply(const std::shared_ptr<const View>& view, const Player* requester, std::string_view ownLines,
                  size_t topLines, const int32_t* level, bool gzip, ReplyText& out) const {
    out.keep = view;
    // The own line and a gzip member's framing and stored-block heads, in one string (with the
    // capacity this thread's last reply left, so mostly no allocation).
    out.takeSpareOwn();
    out.own.reserve(ownLines.size() + 128);
    std::optional<GzipWriter> gz;
    if (gzip) gz.emplace(out);
    if (gz && !ownLines.empty()) gz->raw(ownLines);
    if (!gz) out.addOwn(ownLines);
    size_t lines = static_cast<size_t>(std::count(ownLines.begin(), ownLines.end(), '\n'));
    const size_t maxLines = static_cast<size_t>(options_.maxLines);
    // Whole runs of lines at a time, at most two per block: before and after the requester.
    auto appendBlock = [&](const Block& b, size_t limit) {
        size_t n = std::min(b.lines(), limit);
        size_t skip = static_cast<size_t>(std::find(b.who.begin(), b.who.begin() + static_cast<std::ptrdiff_t>(n), requester) -
                                          b.who.begin());
        auto take = [&](size_t from, size_t to) {
            to = std::min(to, from + (maxLines - std::min(maxLines, lines)));
            if (to <= from) return;
            appendLines(out, gz ? &*gz : nullptr, b, from, to);
            lines += to - from;
        };
        take(0, std::min(skip, n));
        if (skip < n) take(skip + 1, n);
    };
    appendBlock(*view->ranked, topLines);
    if (level) {
        auto it = view->live.find(*level);
        if (it != view->live.end()) appendBlock(*it->second, maxLines);
    }
    if (gz) gz->finish();
}

std::shared_ptr<const View> Views::current(int64_t nowMs) {
    auto stale = [&](const std::shared_ptr<const View>& v) {
        if (!v) return true;
        // Rebuilt after changes, and at least once a second so quiet players stop being live.
        return (v->changes != players_.changes.load() && nowMs - v->builtMs >= options_.viewMaxAgeMs) ||
               nowMs - v->builtMs >= 1000;
    };
    std::shared_ptr<const View> v;
    {
        std::lock_guard lock(viewMutex_);
        v = view_;
    }
    if (!stale(v)) return v;
    std::unique_lock rebuild(rebuildMutex_, std::try_to_lock);
    if (!rebuild.owns_lock()) {
        if (v) return v;  // someone is rebuilding; the previous view is a few ms old
        if (waitingForFirst_) waitingForFirst_();
        rebuild.lock();
    }
    {
        std::lock_guard lock(viewMutex_);
        v = view_;
    }
    if (!stale(v)) return v;
    {
        std::lock_guard lock(players_.mutex);
        v = build(v, nowMs);
    }
    std::lock_guard lock(viewMutex_);
    view_ = v;
    return v;
}

// Only what changed is rebuilt: the ranked block when a change reached it, and the live
// blocks of the levels where something moved; the rest is shared with the previous view.
std::shared_ptr<const View> Views::build(const std::shared_ptr<const View>& previous, int64_t nowMs) {
    Players& x = players_;
    auto view = std::make_shared<View>();
    view->builtMs = nowMs;
    view->changes = x.changes.load();
    x.expireLive(nowMs);
    const size_t maxLines = static_cast<size_t>(options_.maxLines), topLines = static_cast<size_t>(options_.topLines);
    auto addLine = [&](Block& b, const Player& p) {
        ownLine(b.text, p, kMaskedPin);
        b.offsets.push_back(static_cast<uint32_t>(b.text.size()));
        b.who.push_back(&p);
    };
    if (x.rankedDirty || !previous) {
        auto block = std::make_shared<Block>();
        for (Player* p : x.ranked) p->inRanked = false;  // inTop still says what it was
        std::vector<Player*> next;
        for (Player& p : x.rank) {
            if (next.size() >= maxLines) break;
            bool top = next.size() < topLines;
            if (p.inTop != top && p.live) x.dirtyLevels.insert(p.level);  // joins or leaves its level's block
            p.inTop = top;
            p.inRanked = true;
            next.push_back(&p);
            addLine(*block, p);
        }
        for (Player* p : x.ranked) {
            if (!p->inRanked && p->inTop) {
                p->inTop = false;
                if (p->live) x.dirtyLevels.insert(p->level);
            }
        }
        x.ranked = std::move(next);
        x.rankedDirty = false;
        view->ranked = std::move(block);
    } else {
        view->ranked = previous->ranked;
    }
    if (previous) view->live = previous->live;
    for (int32_t level : x.dirtyLevels) {
        auto it = x.liveByLevel.find(level);
        auto block = std::make_shared<Block>();
        if (it != x.liveByLevel.end()) {
            for (const Player* p : it->second) {
                if (block->lines() >= maxLines) break;
                if (!p->inTop) addLine(*block, *p);
            }
        }
        if (block->lines()) view->live[level] = std::move(block);
        else view->live.erase(level);
    }
    x.dirtyLevels.clear();
    return view;
}

}  // namespace orlith::server
