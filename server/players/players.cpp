// The players of the ranking server: the slabs, the ordered index and the sets around it.
#include "players/players.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "players/names.h"

namespace orlith::server {

bool before(const Player& a, const Player& b) {
    if (a.level != b.level) return a.level > b.level;
    if (a.distance != b.distance) return a.distance < b.distance;
    if (a.steps != b.steps) return a.steps < b.steps;
    return compareNicknames(a.name, b.name) < 0;
}

Players::Players(int64_t liveMs, size_t maxLines) : liveMs_(liveMs), maxLines_(maxLines) {}

Players::~Players() {
    stopping_ = true;
    if (indexer_.joinable()) indexer_.join();
}

Player* Players::allocate() {
    ++count;
    if (!free_.empty()) {
        Player* p = free_.back();
        free_.pop_back();
        return p;
    }
    if (slots % kSlabPlayers == 0) slabs_.push_back(std::make_unique<Player[]>(kSlabPlayers));
    return slot(slots++);
}

void Players::leaveLive(Player& p, LiveNodes* keep) {
    auto order = liveOrder.extract(p.liveAt);
    auto it = liveByLevel.find(p.level);
    auto level = it->second.extract(&p);
    if (it->second.empty()) liveByLevel.erase(it);
    if (keep) {
        keep->order = std::move(order);
        keep->level = std::move(level);
    }
    dirtyLevels.insert(p.level);
    p.live = false;
}

void Players::joinLive(Player& p, LiveNodes* reuse) {
    // Nearly always the latest seen: the hint makes that insertion constant time.
    if (reuse && reuse->order) {
        reuse->order.value() = {p.lastSeenMs, &p};
        p.liveAt = liveOrder.insert(liveOrder.end(), std::move(reuse->order));
    } else {
        p.liveAt = liveOrder.insert(liveOrder.end(), {p.lastSeenMs, &p});
    }
    auto& level = liveByLevel[p.level];
    if (reuse && reuse->level) level.insert(std::move(reuse->level));
    else level.insert(&p);
    dirtyLevels.insert(p.level);
    p.live = true;
}

Player* Players::find(std::u16string_view name) {
    auto it = names_.set.find(name, NameHash(), NameEqual());
    return it == names_.set.end() ? nullptr : &*it;
}

const Player* Players::lookingLike(uint64_t lookAlike) {
    auto it = looks_.set.find(lookAlike, LookHash(), LookEqual());
    return it == looks_.set.end() ? nullptr : &*it;
}

Player* Players::add(std::u16string_view name, std::string_view state, int64_t seenMs, int64_t seenWallMs,
                     uint64_t lookAlike, bool live, bool bulk) {
    if (bulk && names_.set.size() + 1 > names_.buckets.size()) names_.reserve(names_.buckets.size() * 4);  // fewer, larger steps
    Player* p = allocate();
    p->used = true;
    std::copy(name.begin(), name.end(), p->name);
    p->name[name.size()] = 0;
    p->nameLength = static_cast<uint8_t>(name.size());
    names_.insert(*p);
    if (lookAlike) {
        p->lookAlike = lookAlike;
        p->lookIndexed = true;
        looks_.insert(*p);
    }
    toBytes(state, p->state);
    Fields f = fieldsOf(p->state);
    p->level = f.level;
    p->distance = f.distance;
    p->steps = f.steps;
    p->seenWallSec = static_cast<uint32_t>(std::max<int64_t>(0, seenWallMs / 1000));
    p->lastSeenMs = seenMs;
    if (!bulk) rank.insert(*p);
    if (ranked.size() < maxLines_ || before(*p, *ranked.back())) rankedDirty = true;
    if (live) joinLive(*p);
    changes.fetch_add(1);
    return p;
}

void Players::remove(Player& p) {
    if (p.live) leaveLive(p);
    rank.erase(rank.iterator_to(p));
    names_.set.erase(names_.set.iterator_to(p));
    if (p.lookIndexed) looks_.set.erase(looks_.set.iterator_to(p));
    if (p.inRanked) {
        rankedDirty = true;
        std::erase(ranked, &p);
    }
    p.~Player();
    new (&p) Player();
    free_.push_back(&p);
    --count;
    changes.fetch_add(1);
}

void Players::update(Player& p, std::string_view state, int64_t seenMs, int64_t seenWallMs, int64_t nowMs) {
    uint8_t bytes[kStateBytes];
    toBytes(state, bytes);
    Fields f = fieldsOf(bytes);
    bool stateChanged = std::memcmp(p.state, bytes, kStateBytes) != 0;
    bool keyChanged = f.level != p.level || f.distance != p.distance || f.steps != p.steps;
    bool wasLive = p.live;
    const int64_t lastSeenMs = std::max(p.lastSeenMs, seenMs);
    // Same rank keys and still live (a player standing still): its place in its level's live
    // set stays, and only its time moves.
    const bool staysLive = wasLive && !keyChanged && lastSeenMs + liveMs_ > nowMs;
    LiveNodes nodes;
    if (staysLive) {
        // Its place in the live order stays too, behind its time: expiry looks again (lastSeenMs
        // below) before it lets a player go, so a request moves nothing in that tree.
        dirtyLevels.insert(p.level);
    } else if (wasLive) {
        leaveLive(p, &nodes);
    }
    if (keyChanged) rank.erase(rank.iterator_to(p));
    std::memcpy(p.state, bytes, kStateBytes);
    p.level = f.level;
    p.distance = f.distance;
    p.steps = f.steps;
    if (keyChanged) rank.insert(p);
    p.lastSeenMs = lastSeenMs;
    p.seenWallSec = std::max(p.seenWallSec, static_cast<uint32_t>(std::max<int64_t>(0, seenWallMs / 1000)));
    if (!staysLive && p.lastSeenMs + liveMs_ > nowMs) joinLive(p, &nodes);
    if (stateChanged && (p.inRanked || ranked.size() < maxLines_ || before(p, *ranked.back()))) rankedDirty = true;
    // The view is rebuilt only for what it shows: a new state, or a player turning live.
    if (stateChanged || !wasLive) changes.fetch_add(1);
}

void Players::markPending(Player& p) {
    if (p.dirty) return;
    p.dirty = true;
    pending.push_back(&p);
}

void Players::order(const std::vector<Player*>& loaded) {
    // Sorted by key in a flat array, then appended at the end of the index, which costs no
    // search. Names decide only between equal keys.
    struct Key {
        int32_t level, distance, steps;
        Player* p;
    };
    std::vector<Key> keys;
    keys.reserve(loaded.size());
    for (Player* p : loaded) keys.push_back({p->level, p->distance, p->steps, p});
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        if (a.level != b.level) return a.level > b.level;
        if (a.distance != b.distance) return a.distance < b.distance;
        if (a.steps != b.steps) return a.steps < b.steps;
        return before(*a.p, *b.p);
    });
    for (const Key& k : keys) rank.insert(rank.end(), *k.p);
}

void Players::indexLater(std::vector<Player*> loaded) {
    if (loaded.empty()) return;
    {
        std::lock_guard lock(indexedMutex_);
        indexed_ = false;
    }
    indexer_ = std::thread([this, loaded = std::move(loaded)] { indexLookAlikes(loaded); });
}

void Players::indexLookAlikes(const std::vector<Player*>& loaded) {
    // Names never change and no player is removed before this ends, so the keys are
    // computed without the lock and only linked in under it.
    constexpr size_t kBatch = 2048;
    auto start = std::chrono::steady_clock::now();
    std::vector<uint64_t> keys(kBatch);
    for (size_t first = 0; first < loaded.size() && !stopping_; first += kBatch) {
        size_t n = std::min(kBatch, loaded.size() - first);
        for (size_t i = 0; i < n; ++i) keys[i] = lookAlikeKey(nameOf(*loaded[first + i]));
        std::lock_guard lock(mutex);
        looks_.reserve(looks_.set.size() + n);
        for (size_t i = 0; i < n; ++i) {
            Player& p = *loaded[first + i];
            p.lookAlike = keys[i];
            p.lookIndexed = true;
            looks_.insert(p);
        }
    }
    if (loaded.size() >= 100000) {
        std::fprintf(stderr, "orlith-server: look-alike index of %zu names built in %.1f s\n", loaded.size(),
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::lock_guard lock(indexedMutex_);
    indexed_ = true;
    indexedChanged_.notify_all();
}

void Players::waitIndexed() {
    std::unique_lock lock(indexedMutex_);
    indexedChanged_.wait(lock, [this] { return indexed_; });
}

bool Players::indexed() {
    std::lock_guard lock(indexedMutex_);
    return indexed_;
}

void Players::expireLive(int64_t nowMs) {
    while (!liveOrder.empty() && liveOrder.begin()->first + liveMs_ <= nowMs) {
        Player& p = *liveOrder.begin()->second;
        if (p.lastSeenMs + liveMs_ <= nowMs) {
            leaveLive(p);
        } else {  // seen since it was placed: placed again, at its time
            auto node = liveOrder.extract(p.liveAt);
            node.value().first = p.lastSeenMs;
            p.liveAt = liveOrder.insert(liveOrder.end(), std::move(node));
        }
    }
}

size_t Players::liveCount(int64_t nowMs) const {
    size_t n = liveOrder.size();
    for (const auto& [placed, p] : liveOrder) {
        if (placed + liveMs_ > nowMs) break;
        if (p->lastSeenMs + liveMs_ <= nowMs) --n;
    }
    return n;
}

}  // namespace orlith::server
