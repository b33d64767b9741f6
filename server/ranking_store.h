// Ranking server, the players: who is registered with which PIN hash, each player's last
// state and what it must still walk before it may rise, the request rules (403, 409, 429,
// 503 and the pacing of replies), the budgets against PIN guessing and junk registrations,
// the ranking replies, the batched writes and the health of the database.
// Owns: the players in memory, kept in ranking order by an ordered index (a changed player
// moves, nobody is sorted), a rebuilt, read-only view of what replies show, and the levels'
// shortest paths. Reads/writes: Storage. Called by: the request handler (any thread) and the
// flusher thread. Times are steady-clock milliseconds passed in by the caller; "wall" times
// are Unix milliseconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "levels.h"
#include "reply_text.h"
#include "storage.h"

namespace orlith::server {

struct StoreOptions {
    int64_t liveMs = 10000;              // a player updated this recently is live
    int64_t viewMaxAgeMs = 25;           // the shared ranking view is rebuilt at most this often
    int32_t ratePerSecond = 120;         // ranking requests per nickname per second
    int64_t minIntervalMs = 50;          // replies to one player at least this far apart
    int32_t registrationsPerSecond = 200;   // new nicknames per second, all addresses together
    int32_t registrationsPerAddress = 20;   // new nicknames one address may register at once,
    int64_t registrationPeriodMs = 6000;    // then one per this
    int32_t topLines = 128;              // global top lines in every ranking reply
    int32_t maxLines = 256;              // lines per reply: the game reads at most 256
    int64_t foreignQuietMs = 3000;       // a row written elsewhere wins after this much local quiet
    bool legacyCheck = false;            // true PIN hashes in a check without a name
    // A level's shortest path walked at this many cells a second, no faster: a rise sooner
    // than path / this after the level began is refused (server/README.md says why 18).
    double maxCellsPerSecond = 18;
    int64_t riseLagMs = 1000;            // a rise is taken to arrive at most this long after the goal
    // Wrong PIN hashes (budgets refill one per period up to the burst).
    int32_t guessesPerName = 10;         // against one nickname, from anywhere
    int64_t guessNamePeriodMs = 600000;
    int32_t guessesPerAddress = 30;      // from one address, against any nickname
    int64_t guessAddressPeriodMs = 2000;
    int32_t guessesFromOwner = 3;        // from the address the owner last played from
    int64_t guessOwnerPeriodMs = 1200000;
};

// Who sent a request: the address (IPv6 by its /64) and the connection, as keys; 0 unknown.
struct Requester {
    uint64_t client = 0;
    uint64_t connection = 0;
    bool gzip = false;                   // accepts a gzip reply
};

// A change committed to the database before its request is answered: a new nickname that
// has passed the rules that need no database, or a level rise.
struct Commit {
    enum class Kind { registration, rise };
    Kind kind = Kind::registration;
    std::u16string name;
    std::string state;                   // the 104-character state value of the request
    Requester requester;
    int64_t nowMs = 0;                   // when the request was decided
};

struct Reply {
    int status = 200;
    const char* reason = nullptr;        // refusals: why, for the log
    ReplyText body;
    std::optional<Commit> commit;        // commit() this, then it is answered
    int64_t retryAtMs = 0;               // paced: nothing happened, ask again at this time

    Reply() = default;
    Reply(int status_, const char* reason_, ReplyText body_ = {})  // NOLINT: a refusal
        : status(status_), reason(reason_), body(std::move(body_)) {}
};

struct AddressBudgets;

class RankingStore {
public:
    RankingStore(Storage& storage, StoreOptions options);
    ~RankingStore();
    RankingStore(const RankingStore&) = delete;
    RankingStore& operator=(const RankingStore&) = delete;

    // Loads every stored player; false with a message when a row or the database is bad.
    // The look-alike index of the loaded names is built afterwards on a thread of its own;
    // registrations wait for it in commit().
    bool load(std::string& error);

    // A ranking request that has passed parsing and its checksum; never waits.
    Reply submit(const std::u16string& name, std::string_view stateValue, const Requester& who, int64_t nowMs);
    // Stores a registration (waits for the look-alike index and the database) or a level rise
    // (the database judges it again: another instance may have served the player) and answers
    // its request; a nickname registered meanwhile is answered by its own rules.
    Reply commit(const Commit& change);
    // A check: name null for the original "mode=check"; a registered orName is taken when name
    // is not (the two readings of a nickname with a '%' in it).
    Reply check(const std::u16string* name, std::string_view pin, const Requester& who, int64_t nowMs,
                const std::u16string* orName = nullptr);

    // Writes every state changed since the last flush; false (and the states stay pending)
    // when the database refuses or is not the one opened any more.
    bool flush(std::string& error);
    // Checks the database (see Storage::probe); false when something is wrong. A fault found
    // here or by any write refuses registrations and rises (503) until a probe passes with
    // the last flush written, or for good when the database is not the one opened any more.
    // Logged when it changes.
    bool probe();
    // What is wrong with the database, empty when nothing is; and whether the database is
    // not the one opened any more (a fault that never clears).
    std::string fault();
    bool databaseGone();
    // Takes in what other instances sharing the database have written.
    bool pull(int64_t nowMs, std::string& error);
    // Forgets players still at level 1 and last seen before cutoffWallMs, here and in the
    // database. Looks at no more than `scan` players a call, resuming where the last stopped,
    // so a full pass over a million players is spread over many calls.
    size_t forgetQuiet(int64_t cutoffWallMs, size_t scan, std::string& error);
    // Blocks until the look-alike index is complete (tests, and registrations).
    void waitIndexed();

    size_t playerCount();
    size_t livePlayerCount(int64_t nowMs);
    size_t pendingWrites();
    // The nicknames of states not yet written, at most limit of them (for the last words).
    std::vector<std::string> pendingNames(size_t limit);
    bool sharedStorage() const { return storage_.sharedByInstances(); }
    LevelPaths& levels() { return *levels_; }

    struct Player;  // opaque outside ranking_store.cpp

private:
    struct Index;
    struct View;

    Player* find(std::u16string_view name);
    // bulk: not yet in the order (load() puts everyone in at once).
    Player* addLocked(std::u16string_view name, std::string_view state, int64_t seenMs, int64_t seenWallMs,
                      uint64_t lookAlike, bool live, bool bulk = false);
    void removeLocked(Player& p);
    void updateLocked(Player& p, std::string_view state, int64_t seenMs, int64_t seenWallMs, int64_t nowMs);
    Reply applyLocked(Player& p, std::string_view stateValue, const Requester& who, int64_t nowMs);
    void acceptLocked(Player& p, std::string_view stateValue, int64_t nowMs);
    const char* unplayedLocked(const Player& p, int32_t steps, int64_t nowMs) const;
    Reply commitRegistration(const Commit& r);
    Reply commitRise(const Commit& r);
    void noteFault(const std::string& reason, bool lasting);
    void writeFailed(const std::string& error);
    int64_t wallMs(int64_t nowMs) const { return nowMs + wallOffsetMs_; }
    double msPerCell() const { return 1000.0 / options_.maxCellsPerSecond; }
    int guessLocked(Player& p, bool right, const Requester& who, int64_t nowMs);
    void ownLine(std::string& out, const Player& p, std::string_view pin) const;
    // The reply after its own lines: the top (or, for a check, the whole ranked block) and the
    // live block of the level, if any; the requester is skipped where it stands.
    void rankingBody(const std::shared_ptr<const View>& view, const Player* requester, std::string_view ownLines,
                     size_t topLines, const int32_t* level, bool gzip, ReplyText& out) const;
    std::shared_ptr<const View> currentView(int64_t nowMs);
    std::shared_ptr<const View> buildViewLocked(const std::shared_ptr<const View>& previous, int64_t nowMs);
    void indexLookAlikes(const std::vector<Player*>& loaded);

    Storage& storage_;
    StoreOptions options_;
    int64_t wallOffsetMs_;               // Unix time minus the callers' steady clock
    std::unique_ptr<LevelPaths> levels_;
    std::mutex faultMutex_;
    std::string fault_;                  // what is wrong with the database; empty: nothing
    bool faultLasting_ = false;          // the database is not the one opened: never clears
    std::atomic<bool> faulted_{false};   // fault_ is not empty (read without the lock)
    std::atomic<bool> flushFailing_{false};  // the last flush with states to write failed
    std::mutex mutex_;                   // everything below up to the view, and every Player
    std::unique_ptr<Index> index_;
    std::atomic<uint64_t> changes_{0};   // bumped on every change the view shows
    int64_t registrationSecond_ = -1;
    int32_t registrationsThisSecond_ = 0;
    std::unique_ptr<AddressBudgets> newByAddress_;    // new nicknames
    std::unique_ptr<AddressBudgets> wrongByAddress_;  // wrong PIN hashes
    std::unordered_set<uint64_t> pendingLookAlikes_;         // registrations being committed
    int64_t pulledUpToMs_ = 0;           // database clock of the last pull
    size_t forgetCursor_ = 0;

    std::mutex indexedMutex_;
    std::condition_variable indexedChanged_;
    bool indexed_ = true;               // false while the loaded names are being indexed
    std::atomic<bool> stopping_{false};
    std::thread indexer_;

    std::mutex viewMutex_;               // view_
    std::mutex rebuildMutex_;            // one rebuild at a time; others keep the old view
    std::shared_ptr<const View> view_;
};

}  // namespace orlith::server
