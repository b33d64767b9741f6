// Ranking server, durable storage: a table of players (nickname, PIN hash, last state value,
// what the player must still walk on its level) and one of levels (the generator's state
// before each and its shortest path). SQLite by default, PostgreSQL for several instances
// sharing one database; and the players between memory and the database (write_behind.h)
// with the thread that writes them (flusher.h).
// Owns: the database connection. Called by: the rules (registrations and level rises,
// committed before their reply; the levels), the write-behind (loading, batched state writes,
// what other instances wrote, forgetting, the health probe) and main (opening it). Every
// method is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orlith::server {

// What a player must still do on its level before it may rise: since an observation at
// sinceMs (Unix milliseconds) with step count sinceSteps, leave at least `need` more cells,
// and take at least need times the rule's milliseconds per cell.
struct LevelMarks {
    int64_t sinceMs = 0;
    int32_t sinceSteps = 0;
    int32_t need = 0;
    bool operator==(const LevelMarks&) const = default;
};

struct StoredPlayer {
    std::string name;      // UTF-8 nickname
    std::string pinHash;   // 8 lowercase hex digits
    std::string state;     // 104-character state value as last submitted
    int64_t updatedMs = 0; // database clock, milliseconds since 1970
    std::optional<LevelMarks> marks;  // none for rows stored before marks were kept
    uint64_t lookAlike = 0;  // lookAlikeKey of the name, written at registration (read back: not kept)
};

// A level rise, written only if the row is still at the level below and its marks are met:
// since_steps + need <= the new step count, and since_ms + need * msPerCell <= nowMs.
struct RiseWrite {
    std::string name;
    std::string state;     // the new state value, one level up
    LevelMarks marks;      // of the new level
    int64_t nowMs = 0;     // Unix milliseconds
    double msPerCell = 0;
};

// One level: the generator's state (x, y, z, w) before it, and its shortest path in cells left.
struct StoredLevel {
    int32_t level = 0;
    uint32_t before[4] = {};
    int32_t path = 0;
};

struct StateWrite {
    std::string name;
    std::string state;
};

// A budget the instances sharing a database keep together (wrong PIN hashes): burst events
// at once, then one per period; stored as the moment it is full again (Unix milliseconds).
struct SharedBudget {
    std::string key;
    int32_t burst = 0;
    int64_t periodMs = 0;
};

class Storage {
public:
    virtual ~Storage() = default;
    // Every player, at start, handed to take one at a time (the row is reused between calls,
    // so a million players never sit in memory twice); take returns false to stop.
    virtual bool forEachPlayer(const std::function<bool(const StoredPlayer&)>& take, std::string& error) = 0;
    bool loadAll(std::vector<StoredPlayer>& out, std::string& error) {
        return forEachPlayer([&](const StoredPlayer& p) { out.push_back(p); return true; }, error);
    }
    // Inserts a new player (with its marks) and commits before returning. When the name exists
    // already (registered through another instance), existing is filled and inserted is false.
    // A database shared by instances also holds each name's look-alike key once: when another
    // nickname holds it, inserted is false and existing is that nickname's row.
    virtual bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing,
                                std::string& error) = 0;
    // Commits a level rise as one conditional update. When the row did not qualify, applied is
    // false and current is the row as it stands (to tell why); false only when the database
    // failed or the row is missing.
    virtual bool commitRise(const RiseWrite& rise, bool& applied, StoredPlayer& current, std::string& error) = 0;
    // Writes a batch of state values in one transaction. A row whose level differs from the
    // state's, or whose step count is higher, is left as it is: another instance wrote a
    // newer state, or a rise, in the meantime.
    virtual bool writeStates(const std::vector<StateWrite>& batch, std::string& error) = 0;
    // Players written since sinceMs (database clock), and the database's clock now. Only
    // meaningful when other instances share the database.
    virtual bool changedSince(int64_t sinceMs, std::vector<StoredPlayer>& out, int64_t& nowMs,
                              std::string& error) = 0;
    // Deletes the named players that are still at level 1 and were last written before
    // cutoffMs (database clock, Unix milliseconds); a row written since is kept.
    virtual bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string& error) = 0;
    // Every stored level; and levels computed (replacing what was stored for them).
    virtual bool loadLevels(std::vector<StoredLevel>& out, std::string& error) = 0;
    virtual bool storeLevels(const std::vector<StoredLevel>& levels, std::string& error) = 0;
    // Whether the database is still the one opened and can still be written (a small write):
    // false with what is wrong; gone when the database at the location is no longer the one
    // this connection writes, so nothing written from now on would be kept.
    virtual bool probe(bool& gone, std::string& error) = 0;
    virtual bool sharedByInstances() const = 0;
    // Budgets shared by the instances: open when every one of them is open at nowMs (Unix
    // milliseconds); then, when spend, one event taken from each, in one transaction. A
    // database no other instance shares keeps none: always open.
    virtual bool spendShared(const std::vector<SharedBudget>& /*budgets*/, int64_t /*nowMs*/, bool /*spend*/, bool& open,
                             std::string& /*error*/) {
        open = true;
        return true;
    }
};


// Opens (creating and migrating the schema) the database named by location: a
// "postgresql://" or "postgres://" URL, otherwise a SQLite file path. On failure returns
// null and a message that names the database and the cause.
std::unique_ptr<Storage> openStorage(const std::string& location, std::string& error);

std::unique_ptr<Storage> openSqliteStorage(const std::string& path, std::string& error);
std::unique_ptr<Storage> openPostgresStorage(const std::string& url, std::string& error);

// A storage that keeps everything in memory, for tests and benchmarks of the logic alone.
// With a clock (Unix milliseconds), it stands for a database shared by instances, on that
// clock: each RankingStore on it is one instance.
std::unique_ptr<Storage> makeMemoryStorage(std::function<int64_t()> sharedClock = nullptr);

}  // namespace orlith::server
