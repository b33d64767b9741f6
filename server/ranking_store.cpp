// The players of the ranking server and the rules every ranking request passes.
#include "ranking_store.h"

#include <boost/intrusive/set.hpp>
#include <boost/intrusive/unordered_set.hpp>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "block.h"
#include "core_bridge.h"
#include "names.h"
#include "request.h"

namespace orlith::server {

namespace bi = boost::intrusive;

namespace {

constexpr std::string_view kMaskedPin = "00000000";
constexpr size_t kStateBytes = kStateValueLength / 2;
constexpr size_t kSlabPlayers = 4096;
const char kHex[] = "0123456789abcdef";

int64_t wallNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A budget of `burst` events refilled one per `period`, kept as one time: the moment at which
// it is full again. Open while that moment is less than burst - 1 periods away.
bool budgetOpen(int64_t fullAt, int64_t now, int32_t burst, int64_t period) {
    return fullAt - now <= static_cast<int64_t>(burst - 1) * period;
}
void spend(int64_t& fullAt, int64_t now, int64_t period) { fullAt = std::max(fullAt, now) + period; }

}  // namespace

// Per-address budgets: only spent ones are kept, and full ones are dropped as the map grows,
// so an address costs memory only while its budget is spent.
struct AddressBudgets {
    std::unordered_map<uint64_t, int64_t> fullAt;
    size_t pruneAt = 4096;

    bool open(uint64_t client, int64_t now, int32_t burst, int64_t period) const {
        auto it = fullAt.find(client);
        return client == 0 || it == fullAt.end() || budgetOpen(it->second, now, burst, period);
    }
    void spend(uint64_t client, int64_t now, int64_t period) {
        if (client == 0) return;
        auto [it, added] = fullAt.try_emplace(client, 0);
        if (added && fullAt.size() >= pruneAt) {
            std::erase_if(fullAt, [&](const auto& kv) { return kv.second <= now && kv.first != client; });
            pruneAt = std::max<size_t>(4096, 2 * fullAt.size());
            it = fullAt.find(client);
        }
        server::spend(it->second, now, period);
    }
};

namespace {

int hexDigit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// The state value is checked lowercase hex before it gets here: two digits a byte.
void toBytes(std::string_view hex, uint8_t* out, size_t n = kStateBytes) {
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(hexDigit(hex[2 * i]) * 16 + hexDigit(hex[2 * i + 1]));
    }
}

void appendHex(std::string& out, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 15]);
    }
}

uint32_t word(const uint8_t* state, size_t field) {
    const uint8_t* b = state + 4 * field;
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

// The fields of a state value the rules and the order use (fields 0..12 of 8 digits each).
struct Fields {
    int32_t level, steps, distance;
    bool finite;
    float position[3];
};

Fields fieldsOf(const uint8_t* state) {
    Fields f;
    f.level = static_cast<int32_t>(word(state, 2));
    f.steps = static_cast<int32_t>(word(state, 3));
    f.finite = true;
    for (size_t k = 0; k < 9; ++k) {
        float v = std::bit_cast<float>(word(state, 4 + k));
        f.finite = f.finite && std::isfinite(v);
        if (k < 3) f.position[k] = v;
    }
    f.distance = goalDistance(f.position);
    return f;
}

Fields fieldsOf(std::string_view stateValue) {
    uint8_t bytes[kStateBytes];
    toBytes(stateValue, bytes);
    return fieldsOf(bytes);
}

constexpr const char* kNotWritable = "the database cannot be written now";

}  // namespace

struct RankingStore::Player {
    bi::set_member_hook<bi::optimize_size<true>> rankHook;
    bi::unordered_set_member_hook<bi::store_hash<true>> nameHook;
    bi::unordered_set_member_hook<> lookHook;
    uint64_t lookAlike = 0;          // lookAlikeKey of the name, once indexed
    char16_t name[32] = {};          // terminated
    uint8_t nameLength = 0;
    bool used = false;               // a slot of the slab in use
    bool dirty = false;              // state not yet written to the database
    bool live = false;               // in the live sets
    bool inRanked = false;           // in the current view's ranked block ...
    bool inTop = false;              // ... and within its top lines
    bool lookIndexed = false;
    uint8_t state[kStateBytes] = {}; // last accepted state value
    int32_t level = 0;               // the order's key, from the state
    int32_t distance = 0;
    int32_t steps = 0;
    uint32_t seenWallSec = 0;        // last seen, Unix seconds (for forgetting)
    int64_t lastSeenMs = INT64_MIN / 2;   // last update, this instance or another
    int64_t lastLocalMs = INT64_MIN / 2;  // last update through this instance
    int64_t nextReplyMs = 0;         // pacing: no reply before this
    int32_t rateSecond = -1;
    int32_t rateCount = 0;
    int64_t nameGuessAt = 0;         // wrong-hash budget of this nickname
    int64_t ownerGuessAt = 0;        // ... of the owner's own address
    uint64_t ownerClient = 0;        // address that last presented the right hash
    uint64_t ownerConnection = 0;    // connection that last presented it
    // What the player must still walk on its level before it may rise (LevelMarks).
    int64_t sinceWallMs = 0;         // Unix ms of the observation the marks start from
    int32_t sinceSteps = 0;          // its step count
    int32_t need = -1;               // cells to leave from there; -1: none yet (stored before marks)
};

namespace {

using Player = RankingStore::Player;

void setMarks(Player& p, const std::optional<LevelMarks>& m) {
    if (!m) return;
    p.sinceWallMs = m->sinceMs;
    p.sinceSteps = m->sinceSteps;
    p.need = m->need;
}

// The game's order: higher level, nearer the goal, fewer steps, then the name.
bool before(const Player& a, const Player& b) {
    if (a.level != b.level) return a.level > b.level;
    if (a.distance != b.distance) return a.distance < b.distance;
    if (a.steps != b.steps) return a.steps < b.steps;
    return compareNicknames(a.name, b.name) < 0;
}
struct Before {
    bool operator()(const Player& a, const Player& b) const { return before(a, b); }
    bool operator()(const Player* a, const Player* b) const { return before(*a, *b); }
};

std::u16string_view nameOf(const Player& p) { return {p.name, p.nameLength}; }
struct NameHash {
    size_t operator()(const Player& p) const { return (*this)(nameOf(p)); }
    size_t operator()(std::u16string_view n) const { return std::hash<std::u16string_view>()(n); }
};
struct NameEqual {
    bool operator()(const Player& a, const Player& b) const { return nameOf(a) == nameOf(b); }
    bool operator()(std::u16string_view n, const Player& b) const { return n == nameOf(b); }
};
struct LookHash {
    size_t operator()(const Player& p) const { return p.lookAlike; }
    size_t operator()(uint64_t key) const { return key; }
};
struct LookEqual {
    bool operator()(const Player& a, const Player& b) const { return a.lookAlike == b.lookAlike; }
    bool operator()(uint64_t key, const Player& b) const { return key == b.lookAlike; }
};

using RankSet = bi::multiset<Player, bi::member_hook<Player, decltype(Player::rankHook), &Player::rankHook>,
                             bi::compare<Before>>;
using NameSet = bi::unordered_set<Player, bi::member_hook<Player, decltype(Player::nameHook), &Player::nameHook>,
                                  bi::hash<NameHash>, bi::equal<NameEqual>, bi::power_2_buckets<true>,
                                  bi::store_hash<true>>;
using LookSet = bi::unordered_multiset<Player, bi::member_hook<Player, decltype(Player::lookHook), &Player::lookHook>,
                                       bi::hash<LookHash>, bi::equal<LookEqual>, bi::power_2_buckets<true>>;

// An intrusive hash set with the bucket array it needs, doubled as it fills.
template <typename Set>
struct Hashed {
    std::vector<typename Set::bucket_type> buckets{1024};
    Set set{typename Set::bucket_traits(buckets.data(), buckets.size())};
    void reserve(size_t n) {
        if (n <= buckets.size()) return;
        std::vector<typename Set::bucket_type> bigger(std::bit_ceil(n));
        set.rehash(typename Set::bucket_traits(bigger.data(), bigger.size()));
        buckets.swap(bigger);
    }
    void insert(Player& p) {
        reserve(set.size() + 1 > buckets.size() ? buckets.size() * 2 : 0);
        set.insert(p);
    }
};

}  // namespace

struct RankingStore::Index {
    // The slab comes first: the containers below link its players and go before it.
    std::vector<std::unique_ptr<Player[]>> slabs;
    size_t slots = 0;
    std::vector<Player*> free;
    size_t count = 0;
    Hashed<NameSet> names;
    Hashed<LookSet> looks;
    RankSet rank;
    std::map<int32_t, std::set<Player*, Before>> liveByLevel;   // few: live players only
    std::set<std::pair<int64_t, Player*>> liveOrder;            // by last seen, to expire them
    std::vector<Player*> dirty;
    std::vector<Player*> ranked;     // the current view's ranked block, in order
    std::set<int32_t> dirtyLevels;   // levels whose live block must be rebuilt
    bool rankedDirty = true;

    Player* slot(size_t i) { return &slabs[i / kSlabPlayers][i % kSlabPlayers]; }
    Player* allocate() {
        ++count;
        if (!free.empty()) {
            Player* p = free.back();
            free.pop_back();
            return p;
        }
        if (slots % kSlabPlayers == 0) slabs.push_back(std::make_unique<Player[]>(kSlabPlayers));
        return slot(slots++);
    }
    void leaveLive(Player& p) {
        liveOrder.erase({p.lastSeenMs, &p});
        auto it = liveByLevel.find(p.level);
        it->second.erase(&p);
        if (it->second.empty()) liveByLevel.erase(it);
        dirtyLevels.insert(p.level);
        p.live = false;
    }
    void joinLive(Player& p) {
        liveOrder.insert({p.lastSeenMs, &p});
        liveByLevel[p.level].insert(&p);
        dirtyLevels.insert(p.level);
        p.live = true;
    }
};

struct RankingStore::View {
    int64_t builtMs = 0;
    uint64_t changes = 0;
    std::shared_ptr<const Block> ranked;   // first maxLines players; the top is its first topLines
    std::map<int32_t, std::shared_ptr<const Block>> live;  // live players outside the top, by level
};

RankingStore::RankingStore(Storage& storage, StoreOptions options)
    : storage_(storage),
      options_(options),
      wallOffsetMs_(wallNowMs() - std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch()).count()),
      levels_(std::make_unique<LevelPaths>(storage)),
      index_(std::make_unique<Index>()),
      newByAddress_(std::make_unique<AddressBudgets>()),
      wrongByAddress_(std::make_unique<AddressBudgets>()) {}

RankingStore::~RankingStore() {
    stopping_ = true;
    if (indexer_.joinable()) indexer_.join();
}

RankingStore::Player* RankingStore::find(std::u16string_view name) {
    auto it = index_->names.set.find(name, NameHash(), NameEqual());
    return it == index_->names.set.end() ? nullptr : &*it;
}

RankingStore::Player* RankingStore::addLocked(std::u16string_view name, std::string_view state, int64_t seenMs,
                                              int64_t seenWallMs, uint64_t lookAlike, bool live, bool bulk) {
    Index& x = *index_;
    Player* p = x.allocate();
    p->used = true;
    std::copy(name.begin(), name.end(), p->name);
    p->name[name.size()] = 0;
    p->nameLength = static_cast<uint8_t>(name.size());
    x.names.insert(*p);
    if (lookAlike) {
        p->lookAlike = lookAlike;
        p->lookIndexed = true;
        x.looks.insert(*p);
    }
    toBytes(state, p->state);
    Fields f = fieldsOf(p->state);
    p->level = f.level;
    p->distance = f.distance;
    p->steps = f.steps;
    p->seenWallSec = static_cast<uint32_t>(std::max<int64_t>(0, seenWallMs / 1000));
    p->lastSeenMs = seenMs;
    if (!bulk) x.rank.insert(*p);
    if (x.ranked.size() < static_cast<size_t>(options_.maxLines) || before(*p, *x.ranked.back())) x.rankedDirty = true;
    if (live) x.joinLive(*p);
    changes_.fetch_add(1);
    return p;
}

void RankingStore::removeLocked(Player& p) {
    Index& x = *index_;
    if (p.live) x.leaveLive(p);
    x.rank.erase(x.rank.iterator_to(p));
    x.names.set.erase(x.names.set.iterator_to(p));
    if (p.lookIndexed) x.looks.set.erase(x.looks.set.iterator_to(p));
    if (p.inRanked) {
        x.rankedDirty = true;
        std::erase(x.ranked, &p);
    }
    p.~Player();
    new (&p) Player();
    x.free.push_back(&p);
    --x.count;
    changes_.fetch_add(1);
}

// A new state (or only a sign of life) for a player; moves it in the order only when its
// key changed, and marks what the next view must rebuild.
void RankingStore::updateLocked(Player& p, std::string_view state, int64_t seenMs, int64_t seenWallMs, int64_t nowMs) {
    Index& x = *index_;
    uint8_t bytes[kStateBytes];
    toBytes(state, bytes);
    Fields f = fieldsOf(bytes);
    bool stateChanged = std::memcmp(p.state, bytes, kStateBytes) != 0;
    bool keyChanged = f.level != p.level || f.distance != p.distance || f.steps != p.steps;
    bool wasLive = p.live;
    if (wasLive) x.leaveLive(p);
    if (keyChanged) x.rank.erase(x.rank.iterator_to(p));
    std::memcpy(p.state, bytes, kStateBytes);
    p.level = f.level;
    p.distance = f.distance;
    p.steps = f.steps;
    if (keyChanged) x.rank.insert(p);
    p.lastSeenMs = std::max(p.lastSeenMs, seenMs);
    p.seenWallSec = std::max(p.seenWallSec, static_cast<uint32_t>(std::max<int64_t>(0, seenWallMs / 1000)));
    if (p.lastSeenMs + options_.liveMs > nowMs) x.joinLive(p);
    if (stateChanged && (p.inRanked || x.ranked.size() < static_cast<size_t>(options_.maxLines) ||
                         before(p, *x.ranked.back()))) {
        x.rankedDirty = true;
    }
    // The view is rebuilt only for what it shows: a new state, or a player turning live.
    if (stateChanged || !wasLive) changes_.fetch_add(1);
}

bool RankingStore::load(std::string& error) {
    if (!levels_->load(error)) return false;
    std::vector<Player*> loaded;
    {
        std::lock_guard lock(mutex_);
        std::u16string name;
        std::string bad;
        bool read = storage_.forEachPlayer(
            [&](const StoredPlayer& row) {
                // A row that this server could not have written means the database is not ours
                // or is damaged; refuse to start rather than serve a partial ranking.
                if (!strictUtf8ToUtf16(row.name, name) || checkNickname(name) != nullptr ||
                    row.state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(row.state) ||
                    row.pinHash.size() != 8 || row.state.compare(8, 8, row.pinHash) != 0) {
                    bad = row.name.substr(0, 64);
                    return false;
                }
                if (index_->names.set.size() + 1 > index_->names.buckets.size()) {
                    index_->names.reserve(index_->names.buckets.size() * 4);  // fewer, larger steps
                }
                if (!find(name)) {
                    loaded.push_back(addLocked(name, row.state, INT64_MIN / 2, row.updatedMs, 0, false, true));
                    setMarks(*loaded.back(), row.marks);
                }
                return true;
            },
            error);
        if (!bad.empty() || !read) {
            if (!bad.empty()) error = "database holds an invalid player row (nickname \"" + bad + "\")";
            return false;
        }
        // The order is built in one go: sorted by key in a flat array, then appended at the end
        // of the index, which costs no search. Names decide only between equal keys.
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
        for (const Key& k : keys) index_->rank.insert(index_->rank.end(), *k.p);
    }
    if (!loaded.empty()) {
        {
            std::lock_guard lock(indexedMutex_);
            indexed_ = false;
        }
        indexer_ = std::thread([this, loaded = std::move(loaded)] { indexLookAlikes(loaded); });
    }
    return true;
}

void RankingStore::indexLookAlikes(const std::vector<Player*>& loaded) {
    // Names never change and no player is removed before this ends, so the keys are
    // computed without the lock and only linked in under it.
    constexpr size_t kBatch = 2048;
    auto start = std::chrono::steady_clock::now();
    std::vector<uint64_t> keys(kBatch);
    for (size_t first = 0; first < loaded.size() && !stopping_; first += kBatch) {
        size_t n = std::min(kBatch, loaded.size() - first);
        for (size_t i = 0; i < n; ++i) keys[i] = lookAlikeKey(nameOf(*loaded[first + i]));
        std::lock_guard lock(mutex_);
        index_->looks.reserve(index_->looks.set.size() + n);
        for (size_t i = 0; i < n; ++i) {
            Player& p = *loaded[first + i];
            p.lookAlike = keys[i];
            p.lookIndexed = true;
            index_->looks.insert(p);
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

void RankingStore::waitIndexed() {
    std::unique_lock lock(indexedMutex_);
    indexedChanged_.wait(lock, [this] { return indexed_; });
}

// The budgets against PIN guessing. 0: judge the hash; 429: refuse without judging it, so a
// refusal never tells a right hash from a wrong one. The owner's own connection is always
// judged; the owner's last address is judged on a small budget of its own while the
// nickname or the address is out of budget.
int RankingStore::guessLocked(Player& p, bool right, const Requester& who, int64_t now) {
    const StoreOptions& o = options_;
    bool ownConnection = who.connection != 0 && p.ownerConnection == who.connection;
    bool ownAddress = who.client != 0 && p.ownerClient == who.client;
    if (!ownConnection) {
        bool open = budgetOpen(p.nameGuessAt, now, o.guessesPerName, o.guessNamePeriodMs) &&
                    wrongByAddress_->open(who.client, now, o.guessesPerAddress, o.guessAddressPeriodMs);
        if (!open && !(ownAddress && budgetOpen(p.ownerGuessAt, now, o.guessesFromOwner, o.guessOwnerPeriodMs))) {
            return 429;
        }
    }
    if (right) {
        p.ownerConnection = who.connection;
        if (who.client) p.ownerClient = who.client;
        return 0;
    }
    spend(p.nameGuessAt, now, o.guessNamePeriodMs);
    wrongByAddress_->spend(who.client, now, o.guessAddressPeriodMs);
    if (ownAddress) spend(p.ownerGuessAt, now, o.guessOwnerPeriodMs);
    return 0;
}

Reply RankingStore::applyLocked(Player& p, std::string_view stateValue, const Requester& who, int64_t nowMs) {
    uint8_t pin[4];
    toBytes(stateValue.substr(8, 8), pin, 4);
    bool right = std::memcmp(p.state + 4, pin, 4) == 0;
    if (guessLocked(p, right, who, nowMs) == 429) return {429, "too many wrong PIN hashes"};
    if (!right) return {403, "nickname is registered with another PIN hash"};
    if (nowMs < p.nextReplyMs) {
        Reply paced;
        paced.retryAtMs = p.nextReplyMs;
        return paced;
    }
    // Counted only once the PIN hash matched: others cannot spend a player's budget.
    int32_t second = static_cast<int32_t>(nowMs / 1000);
    if (p.rateSecond != second) {
        p.rateSecond = second;
        p.rateCount = 0;
    }
    if (++p.rateCount > options_.ratePerSecond) return {429, "more than the allowed requests a second"};
    Fields next = fieldsOf(stateValue);
    if (!next.finite) return {409, "position or camera vector is not finite"};
    if (next.level < p.level) return {409, "level falls"};
    if (next.steps < p.steps) return {409, "step count falls"};
    if (next.level > p.level) {
        // Judged here on what this instance knows, then committed by the database, which
        // judges it again: another instance sharing it may have raised the player meanwhile,
        // and then only the database knows the player's level.
        if (next.level > p.level + 1 && !storage_.sharedByInstances()) return {409, "level rises by more than 1"};
        if (next.level == p.level + 1) {
            if (const char* why = unplayedLocked(p, next.steps, nowMs)) return {409, why};
        }
        if (faulted_) return {503, kNotWritable};
        Reply rise;
        rise.commit = Commit{Commit::Kind::rise, std::u16string(nameOf(p)), std::string(stateValue), who, nowMs};
        return rise;
    }
    acceptLocked(p, stateValue, nowMs);
    return {};
}

void RankingStore::acceptLocked(Player& p, std::string_view stateValue, int64_t nowMs) {
    uint8_t bytes[kStateBytes];
    toBytes(stateValue, bytes);
    bool changed = std::memcmp(p.state, bytes, kStateBytes) != 0;
    updateLocked(p, stateValue, nowMs, wallNowMs(), nowMs);
    p.lastLocalMs = nowMs;
    if (changed && !p.dirty) {
        p.dirty = true;
        index_->dirty.push_back(&p);
    }
    p.nextReplyMs = nowMs + options_.minIntervalMs;
    if (p.need < 0) {
        // Stored before marks were kept: timing starts here, from where the player stands.
        Fields f = fieldsOf(p.state);
        int32_t path = levels_->path(f.level);
        int32_t cells = cellsToGoalAtLeast(f.position, f.level);
        p.sinceWallMs = wallMs(nowMs);
        p.sinceSteps = f.steps;
        p.need = path >= 0 ? std::min(path, cells) : cells;
    }
}

// Why a rise from the player's level is refused, or null. Since the marks the step count must
// have grown by what the level still asked, and that must have taken the time to walk it.
const char* RankingStore::unplayedLocked(const Player& p, int32_t steps, int64_t nowMs) const {
    if (p.need < 0) return nullptr;  // timing starts with this request
    if (int64_t{steps} - p.sinceSteps < p.need) return "level rise with fewer steps than the level's shortest path";
    if (static_cast<double>(p.sinceWallMs) + p.need * msPerCell() > static_cast<double>(wallMs(nowMs))) {
        return "level rise sooner than its shortest path can be walked";
    }
    return nullptr;
}

void RankingStore::ownLine(std::string& out, const Player& p, std::string_view pin) const {
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

Reply RankingStore::submit(const std::u16string& name, std::string_view stateValue, const Requester& who,
                           int64_t nowMs) {
    std::string own;
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(mutex_);
        p = find(name);
        if (!p) {
            if (const char* why = checkNewNickname(name)) return {400, why};
            // A new nickname starts as the game starts it: level 1, finite, no steps taken
            // below zero. Anything else would buy a place in the ranking with one request.
            uint8_t bytes[kStateBytes];
            toBytes(stateValue, bytes);
            Fields first = fieldsOf(bytes);
            if (first.level != 1 || first.steps < 0 || !first.finite) return {409, "a new nickname must start at level 1"};
            // The address's budget first, so one address cannot use up everyone's.
            if (!newByAddress_->open(who.client, nowMs, options_.registrationsPerAddress, options_.registrationPeriodMs)) {
                return {429, "too many new nicknames from this address"};
            }
            int32_t second = static_cast<int32_t>(nowMs / 1000);
            if (registrationSecond_ != second) {
                registrationSecond_ = second;
                registrationsThisSecond_ = 0;
            }
            if (++registrationsThisSecond_ > options_.registrationsPerSecond) {
                return {429, "too many new nicknames this second"};
            }
            if (faulted_) return {503, kNotWritable};
            newByAddress_->spend(who.client, nowMs, options_.registrationPeriodMs);
            Reply reply;
            reply.commit = Commit{Commit::Kind::registration, name, std::string(stateValue), who, nowMs};
            return reply;
        }
        // The common case, under one lock: the rules, then the requester's own line.
        Reply reply = applyLocked(*p, stateValue, who, nowMs);
        if (reply.status != 200 || reply.retryAtMs || reply.commit) return reply;
        ownLine(own, *p, kMaskedPin);
        level = p->level;
    }
    // The view's blocks are immutable: the bulk of the reply points into them, uncopied.
    Reply reply;
    rankingBody(currentView(nowMs), p, own, static_cast<size_t>(options_.topLines), &level, who.gzip, reply.body);
    return reply;
}

Reply RankingStore::commit(const Commit& change) {
    if (faulted_) return {503, kNotWritable};
    return change.kind == Commit::Kind::rise ? commitRise(change) : commitRegistration(change);
}

Reply RankingStore::commitRegistration(const Commit& r) {
    waitIndexed();
    uint64_t key = lookAlikeKey(r.name);
    bool reserved = false;
    {
        std::lock_guard lock(mutex_);
        if (!find(r.name)) {
            auto like = index_->looks.set.find(key, LookHash(), LookEqual());
            if (like != index_->looks.set.end() || pendingLookAlikes_.count(key)) {
                return {409, "nickname looks like a registered one"};
            }
            pendingLookAlikes_.insert(key);
            reserved = true;
        }
    }
    StoredPlayer existing;
    bool inserted = false;
    // A new game: level 1 from its start cell with no steps, begun at most the lag before its
    // first request arrived. Where the request says the player stands is not believed.
    int32_t path = levels_->path(1);
    LevelMarks marks{wallMs(r.nowMs) - options_.riseLagMs, 0, path >= 0 ? path : levelPathAtLeast(1)};
    levels_->path(2);  // ready by the first rise
    if (reserved) {
        // Committed before the reply, outside the player lock: the commit waits for the disk.
        StoredPlayer row{toUtf8(r.name), r.state.substr(8, 8), r.state, 0, marks};
        std::string error;
        bool stored = storage_.registerPlayer(row, inserted, existing, error);
        if (!stored) {
            writeFailed(error);
            std::lock_guard lock(mutex_);
            pendingLookAlikes_.erase(key);
            return {503, "registration could not be stored"};
        }
    }
    std::string own;
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(mutex_);
        if (reserved) pendingLookAlikes_.erase(key);
        p = find(r.name);
        if (!p) {
            // Registered here, or a moment ago through another instance sharing the database.
            const std::string& state = inserted ? r.state : existing.state;
            if (state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(state)) {
                return {503, "stored player row is invalid"};
            }
            p = addLocked(r.name, state, r.nowMs, wallNowMs(), key, true);
            setMarks(*p, inserted ? std::optional(marks) : existing.marks);
        }
        p->nextReplyMs = std::min(p->nextReplyMs, r.nowMs);  // a registration is never held
        Reply reply = applyLocked(*p, r.state, r.requester, r.nowMs);
        if (reply.status != 200 || reply.commit) return reply.commit ? Reply{409, "level rises at registration"} : reply;
        ownLine(own, *p, kMaskedPin);
        level = p->level;
    }
    Reply reply;
    rankingBody(currentView(r.nowMs), p, own, static_cast<size_t>(options_.topLines), &level, r.requester.gzip,
                reply.body);
    return reply;
}

Reply RankingStore::commitRise(const Commit& r) {
    Fields next = fieldsOf(r.state);
    RiseWrite rise{toUtf8(r.name), r.state, {}, wallMs(r.nowMs), msPerCell()};
    int32_t path = levels_->path(next.level);
    if (next.level < INT32_MAX) levels_->path(next.level + 1);  // ready by the next rise
    {
        // The new level began after every state this instance accepted before, and at most
        // the lag before this request: from there the player walks the whole level, from its
        // start cell. Where the request says the player stands is not believed.
        std::lock_guard lock(mutex_);
        Player* p = find(r.name);
        if (!p) return {503, "player row is missing"};
        int64_t since = rise.nowMs - options_.riseLagMs;
        if (p->lastLocalMs > INT64_MIN / 2) since = std::max(since, wallMs(p->lastLocalMs));
        rise.marks = {since, p->steps, path >= 0 ? path : levelPathAtLeast(next.level)};
    }
    bool applied = false;
    StoredPlayer row;
    std::string error;
    if (!storage_.commitRise(rise, applied, row, error)) {
        writeFailed(error);
        return {503, "level rise could not be stored"};
    }
    std::string own;
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(mutex_);
        p = find(r.name);
        if (!p) return {503, "player row is missing"};
        if (applied) {
            setMarks(*p, rise.marks);
        } else {
            Fields stored = row.state.size() == static_cast<size_t>(kStateValueLength) && isLowerHex(row.state)
                                ? fieldsOf(row.state)
                                : Fields{};
            if (stored.level < next.level - 1) return {409, "level rises by more than 1"};
            if (stored.level > next.level) return {409, "level falls"};
            if (stored.level == next.level - 1) {
                const LevelMarks m = row.marks.value_or(LevelMarks{});
                return {409, int64_t{next.steps} - m.sinceSteps < m.need
                                 ? "level rise with fewer steps than the level's shortest path"
                                 : "level rise sooner than its shortest path can be walked"};
            }
            // Raised through another instance a moment ago: an ordinary state of that level.
            setMarks(*p, row.marks);
        }
        if (next.level < p->level) return {409, "level falls"};
        if (next.steps < p->steps) return {409, "step count falls"};
        acceptLocked(*p, r.state, r.nowMs);
        ownLine(own, *p, kMaskedPin);
        level = p->level;
    }
    Reply reply;
    rankingBody(currentView(r.nowMs), p, own, static_cast<size_t>(options_.topLines), &level, r.requester.gzip,
                reply.body);
    return reply;
}

void RankingStore::rankingBody(const std::shared_ptr<const View>& view, const Player* requester,
                               std::string_view ownLines, size_t topLines, const int32_t* level, bool gzip,
                               ReplyText& out) const {
    out.keep = view;
    std::optional<GzipWriter> gz;
    if (gzip) gz.emplace(out);
    if (gz && !ownLines.empty()) gz->raw(ownLines, false);
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

std::shared_ptr<const RankingStore::View> RankingStore::currentView(int64_t nowMs) {
    auto stale = [&](const std::shared_ptr<const View>& v) {
        if (!v) return true;
        // Rebuilt after changes, and at least once a second so quiet players stop being live.
        return (v->changes != changes_.load() && nowMs - v->builtMs >= options_.viewMaxAgeMs) ||
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
        rebuild.lock();
    }
    {
        std::lock_guard lock(viewMutex_);
        v = view_;
    }
    if (!stale(v)) return v;
    {
        std::lock_guard lock(mutex_);
        v = buildViewLocked(v, nowMs);
    }
    std::lock_guard lock(viewMutex_);
    view_ = v;
    return v;
}

// Only what changed is rebuilt: the ranked block when a change reached it, and the live
// blocks of the levels where something moved; the rest is shared with the previous view.
std::shared_ptr<const RankingStore::View> RankingStore::buildViewLocked(const std::shared_ptr<const View>& previous,
                                                                         int64_t nowMs) {
    Index& x = *index_;
    auto view = std::make_shared<View>();
    view->builtMs = nowMs;
    view->changes = changes_.load();
    while (!x.liveOrder.empty() && x.liveOrder.begin()->first + options_.liveMs <= nowMs) {
        x.leaveLive(*x.liveOrder.begin()->second);
    }
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

Reply RankingStore::check(const std::u16string* name, std::string_view pin, const Requester& who, int64_t nowMs,
                          const std::u16string* orName) {
    std::shared_ptr<const View> view = currentView(nowMs);
    Reply reply;
    std::string own;
    const Player* named = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (name) {
            Player* p = find(*name);
            if (!p && orName) p = find(*orName);
            if (p) {
                std::string stored;
                appendHex(stored, p->state + 4, 4);
                bool right = pin == stored;
                if (guessLocked(*p, right, who, nowMs) == 429) return {429, "too many wrong PIN hashes"};
                if (right) {
                    ownLine(own, *p, stored);
                } else {
                    // Differs from the given hash, so the game refuses the start; never the
                    // stored hash, so the check reveals nothing to someone guessing.
                    static constexpr std::string_view kStandIns[] = {"00000000", "11111111", "22222222"};
                    for (std::string_view s : kStandIns) {
                        if (s != pin && s != stored) {
                            ownLine(own, *p, s);
                            break;
                        }
                    }
                }
                named = p;
            }
        } else if (options_.legacyCheck) {
            // True hashes, for clients built to the original protocol: rare, built here.
            size_t n = 0;
            for (const Player& p : index_->rank) {
                if (n++ >= static_cast<size_t>(options_.maxLines)) break;
                std::string hash;
                appendHex(hash, p.state + 4, 4);
                ownLine(own, p, hash);
            }
            reply.body = std::move(own);
            return reply;
        }
    }
    rankingBody(view, named, own, static_cast<size_t>(options_.maxLines), nullptr, who.gzip, reply.body);
    return reply;
}

bool RankingStore::flush(std::string& error) {
    {
        std::lock_guard lock(faultMutex_);
        if (faultLasting_) {
            // Whatever were written now would go to a file nobody opens again.
            error = fault_;
            return false;
        }
    }
    std::vector<StateWrite> batch;
    {
        std::lock_guard lock(mutex_);
        batch.reserve(index_->dirty.size());
        for (Player* p : index_->dirty) {
            std::string state;
            appendHex(state, p->state, kStateBytes);
            batch.push_back({toUtf8(nameOf(*p)), std::move(state)});
            p->dirty = false;
        }
        index_->dirty.clear();
    }
    if (storage_.writeStates(batch, error)) {
        if (!batch.empty()) flushFailing_ = false;
        return true;
    }
    flushFailing_ = true;
    writeFailed(error);
    // Pending again: the next flush retries them (a newer state, if any, is already there).
    std::lock_guard lock(mutex_);
    for (const StateWrite& w : batch) {
        if (Player* p = find(toUtf16(w.name)); p && !p->dirty) {
            p->dirty = true;
            index_->dirty.push_back(p);
        }
    }
    return false;
}

bool RankingStore::pull(int64_t nowMs, std::string& error) {
    if (!storage_.sharedByInstances()) return true;
    std::vector<StoredPlayer> rows;
    int64_t dbNow = 0;
    // Overlap the previous pull: a batch committed late may carry an earlier clock value.
    int64_t since = pulledUpToMs_ == 0 ? 0 : pulledUpToMs_ - 5000;
    if (!storage_.changedSince(since, rows, dbNow, error)) return false;
    std::lock_guard lock(mutex_);
    pulledUpToMs_ = dbNow;
    for (const StoredPlayer& row : rows) {
        std::u16string name;
        if (!strictUtf8ToUtf16(row.name, name) || checkNickname(name) != nullptr ||
            row.state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(row.state)) {
            continue;
        }
        int64_t seen = nowMs - std::max<int64_t>(0, dbNow - row.updatedMs);
        Player* p = find(name);
        if (!p) {
            Player* added = addLocked(name, row.state, seen, row.updatedMs, lookAlikeKey(name), seen + options_.liveMs > nowMs);
            setMarks(*added, row.marks);
            continue;
        }
        // The instance that serves a player right now holds its newest state; a row from
        // elsewhere wins only after this instance has not heard from the player for a while.
        if (nowMs - p->lastLocalMs < options_.foreignQuietMs) continue;
        uint8_t bytes[kStateBytes];
        toBytes(row.state, bytes);
        if (std::memcmp(p->state, bytes, kStateBytes) == 0) continue;
        if (std::memcmp(p->state + 4, bytes + 4, 4) != 0) continue;
        updateLocked(*p, row.state, seen, row.updatedMs, nowMs);
        setMarks(*p, row.marks);
    }
    return true;
}

size_t RankingStore::forgetQuiet(int64_t cutoffWallMs, size_t scan, std::string& error) {
    {
        std::lock_guard lock(indexedMutex_);
        if (!indexed_) return 0;  // the indexer holds pointers to the loaded players
    }
    std::vector<std::string> names;
    for (size_t done = 0; done < scan;) {
        std::lock_guard lock(mutex_);
        Index& x = *index_;
        if (x.slots == 0) break;
        // A slice at a time under the lock, so requests never wait long behind it.
        for (size_t k = 0; k < 4096 && done < scan; ++k, ++done) {
            if (forgetCursor_ >= x.slots) forgetCursor_ = 0;
            Player& p = *x.slot(forgetCursor_++);
            if (p.used && p.level == 1 && !p.live && !p.dirty && int64_t{p.seenWallSec} * 1000 < cutoffWallMs) {
                names.push_back(toUtf8(nameOf(p)));
                removeLocked(p);
            }
        }
    }
    if (names.empty()) return 0;
    // Rows written since the cutoff (by another instance) stay; a failure leaves the rows,
    // and they come back at the next start.
    if (!storage_.forgetPlayers(names, cutoffWallMs, error)) return 0;
    return names.size();
}

size_t RankingStore::playerCount() {
    std::lock_guard lock(mutex_);
    return index_->count;
}

size_t RankingStore::livePlayerCount(int64_t nowMs) {
    std::lock_guard lock(mutex_);
    size_t n = index_->liveOrder.size();
    for (const auto& [seen, p] : index_->liveOrder) {
        if (seen + options_.liveMs > nowMs) break;
        --n;
    }
    return n;
}

size_t RankingStore::pendingWrites() {
    std::lock_guard lock(mutex_);
    return index_->dirty.size();
}

std::vector<std::string> RankingStore::pendingNames(size_t limit) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (size_t i = 0; i < index_->dirty.size() && i < limit; ++i) names.push_back(toUtf8(nameOf(*index_->dirty[i])));
    return names;
}

void RankingStore::noteFault(const std::string& reason, bool lasting) {
    std::lock_guard lock(faultMutex_);
    if (faultLasting_ || (fault_ == reason && faultLasting_ == lasting)) return;
    std::fprintf(stderr, "orlith-server: DATABASE FAULT: %s; new nicknames and level rises are refused (503) and "
                 "/healthz fails %s\n", reason.c_str(), lasting ? "until the server is restarted" : "until a write succeeds");
    fault_ = reason;
    faultLasting_ = lasting;
    faulted_ = true;
}

// A write failed: the probe tells a database that is gone from one that refused this once.
void RankingStore::writeFailed(const std::string& error) {
    bool gone = false;
    std::string why;
    if (!storage_.probe(gone, why) && gone) noteFault(why, true);
    else noteFault(error, false);
}

bool RankingStore::probe() {
    bool gone = false;
    std::string why;
    if (!storage_.probe(gone, why)) {
        noteFault(why, gone);
        return false;
    }
    // A small write passing says little while the states fail: they clear it by being written.
    if (faulted_ && !flushFailing_) {
        std::lock_guard lock(faultMutex_);
        if (!faultLasting_) {
            std::fprintf(stderr, "orlith-server: the database is written again\n");
            fault_.clear();
            faulted_ = false;
        }
    }
    return !faulted_;
}

std::string RankingStore::fault() {
    std::lock_guard lock(faultMutex_);
    return fault_;
}

bool RankingStore::databaseGone() {
    std::lock_guard lock(faultMutex_);
    return faultLasting_;
}

}  // namespace orlith::server
