// Ranking server, durable storage: one table of players (nickname, PIN hash, last state
// value). SQLite by default, PostgreSQL for several instances sharing one database.
// Owns: the database connection. Called by: the ranking store (registrations, batched state
// writes, and pulling what other instances wrote). Every method is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orlith::server {

struct StoredPlayer {
    std::string name;      // UTF-8 nickname
    std::string pinHash;   // 8 lowercase hex digits
    std::string state;     // 104-character state value as last submitted
    int64_t updatedMs = 0; // database clock, milliseconds since 1970
};

struct StateWrite {
    std::string name;
    std::string state;
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
    // Inserts a new player and commits before returning. When the name exists already
    // (registered through another instance), existing is filled and inserted is false.
    virtual bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing,
                                std::string& error) = 0;
    // Writes a batch of state values in one transaction.
    virtual bool writeStates(const std::vector<StateWrite>& batch, std::string& error) = 0;
    // Players written since sinceMs (database clock), and the database's clock now. Only
    // meaningful when other instances share the database.
    virtual bool changedSince(int64_t sinceMs, std::vector<StoredPlayer>& out, int64_t& nowMs,
                              std::string& error) = 0;
    // Deletes the named players that are still at level 1 and were last written before
    // cutoffMs (database clock, Unix milliseconds); a row written since is kept.
    virtual bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string& error) = 0;
    virtual bool sharedByInstances() const = 0;
};

// Opens (creating and migrating the schema) the database named by location: a
// "postgresql://" or "postgres://" URL, otherwise a SQLite file path. On failure returns
// null and a message that names the database and the cause.
std::unique_ptr<Storage> openStorage(const std::string& location, std::string& error);

std::unique_ptr<Storage> openSqliteStorage(const std::string& path, std::string& error);
std::unique_ptr<Storage> openPostgresStorage(const std::string& url, std::string& error);

// A storage that keeps everything in memory, for tests and benchmarks of the logic alone.
std::unique_ptr<Storage> makeMemoryStorage();

}  // namespace orlith::server
