// Ranking server, the players in memory: each registered nickname with its last state value
// (which holds its PIN hash), where it stands in the ranking and whether it is live, what it
// must still walk on its level, its own budgets, and whether its state waits to be written.
// Owns: the players (in slabs: a player never moves in memory), the ordered index (a red-black
// tree in the game's order: a changed player moves within it, nobody is ever sorted), the
// nickname and look-alike hash sets, the live players by level, the list of states not yet
// written, what the next reply view must rebuild, and the thread that indexes the look-alikes
// of the players loaded at start. Reads/writes nothing outside memory.
// Called by: the rules, the view and the write-behind, each holding `mutex`, which guards
// everything here and every Player. Times are the callers' steady-clock milliseconds; "wall"
// times are Unix milliseconds.
#pragma once

#include <pthread.h>

#include <boost/intrusive/set.hpp>
#include <boost/intrusive/unordered_set.hpp>

#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "budgets/budgets.h"
#include "players/state_value.h"

namespace orlith::server {

namespace bi = boost::intrusive;

// The players' lock: held a microsecond or two per request by every loop, so a waiter spins
// a moment before it sleeps; a sleep and a wake-up cost more than the wait.
class PlayersMutex {
public:
    PlayersMutex() {
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&m_, &a);
        pthread_mutexattr_destroy(&a);
    }
    ~PlayersMutex() { pthread_mutex_destroy(&m_); }
    PlayersMutex(const PlayersMutex&) = delete;
    PlayersMutex& operator=(const PlayersMutex&) = delete;
    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }
    bool try_lock() { return pthread_mutex_trylock(&m_) == 0; }

private:
    pthread_mutex_t m_;
};

struct Player;
// Live players by the time they were placed, to expire them: a player seen again keeps its place
// (its lastSeenMs moves on) until expiry reaches it and places it again, so a request touches no
// tree; each keeps its own place, so moving one never searches.
using LiveOrder = std::set<std::pair<int64_t, Player*>>;

struct Player {
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
    LiveOrder::iterator liveAt{};    // its place in the live order, while live
    PlayerBudgets budgets;
    // What the player must still walk on its level before it may rise (LevelMarks).
    int64_t sinceWallMs = 0;         // Unix ms of the observation the marks start from
    int32_t sinceSteps = 0;          // its step count
    int32_t need = -1;               // cells to leave from there; -1: none yet (stored before marks)
};

inline std::u16string_view nameOf(const Player& p) { return {p.name, p.nameLength}; }

// The game's order: higher level, nearer the goal, fewer steps, then the name.
bool before(const Player& a, const Player& b);

struct Before {
    bool operator()(const Player& a, const Player& b) const { return before(a, b); }
    bool operator()(const Player* a, const Player* b) const { return before(*a, *b); }
};
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

class Players {
    static constexpr size_t kSlabPlayers = 4096;
    // The slabs come first: every container below links their players and goes before them.
    std::vector<std::unique_ptr<Player[]>> slabs_;
    std::vector<Player*> free_;

public:
    // liveMs: a player seen this recently is live; maxLines: the view's ranked block, whose
    // changes the players mark for the next view.
    Players(int64_t liveMs, size_t maxLines);
    ~Players();
    Players(const Players&) = delete;
    Players& operator=(const Players&) = delete;

    PlayersMutex mutex;              // everything below, and every Player

    Player* find(std::u16string_view name);
    // A player that looks like the key, registered or loaded (once indexed), or null.
    const Player* lookingLike(uint64_t lookAlike);
    // bulk: not yet in the order (order() puts the loaded players in at once).
    Player* add(std::u16string_view name, std::string_view state, int64_t seenMs, int64_t seenWallMs, uint64_t lookAlike,
                bool live, bool bulk = false);
    void remove(Player& p);
    // A new state (or only a sign of life) for a player; moves it in the order only when its
    // key changed, and marks what the next view must rebuild.
    void update(Player& p, std::string_view state, int64_t seenMs, int64_t seenWallMs, int64_t nowMs);
    // The player's state waits for the next write (once, however often it changes).
    void markPending(Player& p);
    // The players added in bulk, into the order in one go.
    void order(const std::vector<Player*>& loaded);
    // Indexes the look-alikes of the players added in bulk on a thread of its own; a
    // registration waits for it (waitIndexed), and nobody may be removed before it ends.
    void indexLater(std::vector<Player*> loaded);
    void waitIndexed();
    bool indexed();
    // Players no longer live at nowMs leave the live sets.
    void expireLive(int64_t nowMs);
    size_t liveCount(int64_t nowMs) const;

    size_t count = 0;
    size_t slots = 0;                // slots of the slabs handed out, used or free
    Player* slot(size_t i) { return &slabs_[i / kSlabPlayers][i % kSlabPlayers]; }
    RankSet rank;
    std::map<int32_t, std::set<Player*, Before>> liveByLevel;   // few: live players only
    LiveOrder liveOrder;
    std::vector<Player*> pending;    // states not yet written
    // For the next view: its ranked block as the last view had it, in order, whether a change
    // reached it, and the levels whose live block must be rebuilt.
    std::vector<Player*> ranked;
    bool rankedDirty = true;
    std::set<int32_t> dirtyLevels;
    std::atomic<uint64_t> changes{0};   // bumped on every change a view shows (read without the lock)

private:
    // A live player's nodes of the live sets, taken out while its keys change and put back:
    // a request that moves a player allocates nothing.
    struct LiveNodes {
        decltype(liveOrder)::node_type order;
        std::set<Player*, Before>::node_type level;
    };
    Player* allocate();
    void leaveLive(Player& p, LiveNodes* keep = nullptr);
    void joinLive(Player& p, LiveNodes* reuse = nullptr);
    void indexLookAlikes(const std::vector<Player*>& loaded);

    const int64_t liveMs_;
    const size_t maxLines_;
    Hashed<NameSet> names_;
    Hashed<LookSet> looks_;

    std::mutex indexedMutex_;
    std::condition_variable indexedChanged_;
    bool indexed_ = true;            // false while the loaded names are being indexed
    std::atomic<bool> stopping_{false};
    std::thread indexer_;
};

}  // namespace orlith::server
