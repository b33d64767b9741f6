// Ranking server, the rules every ranking request and check passes: who may register which
// nickname, who is refused and why (400, 403, 409, 429, 503), which level rise has been walked,
// when a reply is held (pacing), and what the reply holds. It never waits but for a commit:
// a registration and a level rise come back as a Commit, which commit() writes to the database
// (which judges a rise again: another instance may have served the player) before answering.
// Owns: the players, their budgets, the reply view and the write-behind (each in its room),
// and the levels' shortest paths. Reads/writes: Storage, through the write-behind and the
// levels, and directly for commits. Called by: the request handler (any thread), and, through
// writes(), the flusher. Times are steady-clock milliseconds passed in by the caller; "wall"
// times are Unix milliseconds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "budgets/budgets.h"
#include "players/players.h"
#include "rules/levels.h"
#include "storage/storage.h"
#include "storage/write_behind.h"
#include "view/view.h"

namespace orlith::server {

struct StoreOptions {
    int64_t liveMs = 10000;              // a player updated this recently is live
    int64_t viewMaxAgeMs = 25;           // the shared ranking view is rebuilt at most this often
    int32_t topLines = 128;              // global top lines in every ranking reply
    int32_t maxLines = 256;              // lines per reply: the game reads at most 256
    int64_t foreignQuietMs = 3000;       // a row written elsewhere wins after this much local quiet
    bool legacyCheck = false;            // true PIN hashes in a check without a name
    // A level's shortest path walked at this many cells a second, no faster: a rise sooner
    // than path / this after the level began is refused (server/README.md says why 18).
    double maxCellsPerSecond = 18;
    int64_t riseLagMs = 1000;            // a rise is taken to arrive at most this long after the goal
    // The step count counts cells left, at most one a movement step of the controls, and a
    // frame makes at most three (a key's and a wheel notch's two), 60 frames a second: it may
    // grow by this much a second since the last accepted state, plus the slack's worth.
    double maxStepsPerSecond = 180;
    int64_t stepSlackMs = 2000;
    size_t distanceFieldBytes = 64u << 20;  // the levels' distance fields kept for the position check; 0: none
    BudgetOptions budgets = {};          // pacing, requests a second, new nicknames, wrong PIN hashes
};

// Who sent a request: the address (IPv6 by its /64) and the connection, as keys; 0 unknown.
struct Requester {
    uint64_t client = 0;
    uint64_t connection = 0;
    bool gzip = false;                   // accepts a gzip reply
    bool sharedJudged = false;           // the budgets shared with other instances have let it through
};

// A change committed to the database before its request is answered: a new nickname that
// has passed the rules that need no database, a level rise, or (instances sharing a
// database) a PIN hash to be judged on the budgets they share.
struct Commit {
    enum class Kind { registration, rise, judge };
    Kind kind = Kind::registration;
    std::u16string name;
    std::string state;                   // the 104-character state value of the request
    Requester requester;
    int64_t nowMs = 0;                   // when the request was decided
    // judge: a named check instead of a ranking request, with its PIN hash.
    bool check = false;
    std::string pin;
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

class RankingStore {
public:
    RankingStore(Storage& storage, StoreOptions options);
    RankingStore(const RankingStore&) = delete;
    RankingStore& operator=(const RankingStore&) = delete;

    // The stored levels and players; false with a message when a row or the database is bad.
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

    // Flushes, pulls, forgets, probes the database and reports its fault (the flusher's).
    WriteBehind& writes() { return writes_; }
    LevelPaths& levels() { return levels_; }
    // Blocks until the look-alike index is complete (tests, and registrations).
    void waitIndexed() { players_.waitIndexed(); }
    size_t playerCount();
    size_t livePlayerCount(int64_t nowMs);

private:
    Reply commitRegistration(const Commit& r);
    int sharedNewNickname(uint64_t client, int64_t nowMs, bool spend, std::string& error);
    Reply commitRise(const Commit& r);
    Reply commitJudge(const Commit& r);
    // A commit that asks the budgets shared with other instances, when this request's hash
    // must be judged on them and has not been yet; otherwise none.
    std::optional<Commit> sharedJudgement(const Player& p, std::string_view stateOrPin, const Requester& who, int64_t nowMs,
                                          bool check) const;
    // The rules of a known player's request, under the players' lock: 200 with the state
    // accepted, a refusal, a rise to commit, or held until retryAtMs.
    Reply applyLocked(Player& p, std::string_view stateValue, const Requester& who, int64_t nowMs);
    void acceptLocked(Player& p, std::string_view stateValue, int64_t nowMs);
    const char* unplayedLocked(const Player& p, int32_t steps, int64_t nowMs) const;
    // Why a state of the player's level is implausible (steps beyond what play allows since
    // the last accepted state, or a cell farther from the level's start than walked), or null.
    const char* unreachableLocked(const Player& p, const Fields& next, int64_t nowMs);
    // The reply to a player whose own line is built: the top and its level's live players.
    Reply rankingReply(const Player* p, const std::string& own, int32_t level, bool gzip, int64_t nowMs);
    int64_t wallMs(int64_t nowMs) const { return nowMs + wallOffsetMs_; }
    double msPerCell() const { return 1000.0 / options_.maxCellsPerSecond; }

    Storage& storage_;
    const StoreOptions options_;
    const int64_t wallOffsetMs_;         // Unix time minus the callers' steady clock
    LevelPaths levels_;
    Players players_;
    Budgets budgets_;                    // under the players' lock
    Views views_;
    WriteBehind writes_;
    std::unordered_set<uint64_t> pendingLookAlikes_;  // registrations being committed (players' lock)
};

}  // namespace orlith::server
