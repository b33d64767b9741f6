// PostgreSQL storage: the shared database of several server instances. Registrations rely on
// the primary key, so one nickname has one PIN hash whichever instance registered it first.
#include <libpq-fe.h>

#include <mutex>

#include "storage.h"

namespace orlith::server {

namespace {

const char* const kMigrations[] = {
    "CREATE TABLE players (name TEXT PRIMARY KEY, pin_hash TEXT NOT NULL, state TEXT NOT NULL,"
    " updated_ms BIGINT NOT NULL);"
    "CREATE INDEX players_updated ON players(updated_ms);",
};

constexpr const char* kNowMs = "(extract(epoch from clock_timestamp()) * 1000)::bigint";

class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return r_; }
    bool ok() const {
        auto st = PQresultStatus(r_);
        return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    }

private:
    PGresult* r_;
};

class PostgresStorage final : public Storage {
public:
    ~PostgresStorage() override {
        if (conn_) PQfinish(conn_);
    }

    bool open(const std::string& url, std::string& error) {
        url_ = url;
        conn_ = PQconnectdb(url.c_str());
        if (PQstatus(conn_) != CONNECTION_OK) return fail("cannot connect to", error);
        Result quiet(PQexec(conn_, "SET client_min_messages = warning"));
        return migrate(error);
    }

    bool forEachPlayer(const std::function<bool(const StoredPlayer&)>& take, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        Result r(PQexec(conn_, "SELECT name, pin_hash, state, updated_ms FROM players"));
        if (!r.ok()) return fail("cannot read", error);
        StoredPlayer row;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            row = {PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1), PQgetvalue(r.get(), i, 2),
                   std::stoll(PQgetvalue(r.get(), i, 3))};
            if (!take(row)) return false;
        }
        return true;
    }

    bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing,
                        std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        std::string sql = std::string("INSERT INTO players(name, pin_hash, state, updated_ms) VALUES($1,$2,$3,") +
                          kNowMs + ") ON CONFLICT(name) DO NOTHING";
        const char* values[3] = {player.name.c_str(), player.pinHash.c_str(), player.state.c_str()};
        Result r(PQexecParams(conn_, sql.c_str(), 3, nullptr, values, nullptr, nullptr, 0));
        if (!r.ok()) return fail("cannot write", error);
        inserted = std::string(PQcmdTuples(r.get())) == "1";
        if (inserted) return true;
        Result q(PQexecParams(conn_, "SELECT name, pin_hash, state, updated_ms FROM players WHERE name = $1", 1,
                              nullptr, values, nullptr, nullptr, 0));
        std::vector<StoredPlayer> rows;
        if (!q.ok()) return fail("cannot read", error);
        readRows(q.get(), rows);
        if (rows.empty()) {
            error = "database: a conflicting nickname vanished";
            return false;
        }
        existing = rows[0];
        return true;
    }

    bool writeStates(const std::vector<StateWrite>& batch, std::string& error) override {
        if (batch.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        if (!exec("BEGIN", error)) return false;
        std::string sql = std::string("UPDATE players SET state = $2, updated_ms = ") + kNowMs + " WHERE name = $1";
        for (const StateWrite& w : batch) {
            const char* values[2] = {w.name.c_str(), w.state.c_str()};
            Result r(PQexecParams(conn_, sql.c_str(), 2, nullptr, values, nullptr, nullptr, 0));
            if (!r.ok()) {
                fail("cannot write", error);
                std::string ignored;
                exec("ROLLBACK", ignored);
                return false;
            }
        }
        return exec("COMMIT", error);
    }

    bool changedSince(int64_t sinceMs, std::vector<StoredPlayer>& out, int64_t& nowMs, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        Result n(PQexec(conn_, (std::string("SELECT ") + kNowMs).c_str()));
        if (!n.ok() || PQntuples(n.get()) != 1) return fail("cannot read", error);
        nowMs = std::stoll(PQgetvalue(n.get(), 0, 0));
        std::string since = std::to_string(sinceMs);
        const char* values[1] = {since.c_str()};
        Result r(PQexecParams(conn_, "SELECT name, pin_hash, state, updated_ms FROM players WHERE updated_ms > $1", 1,
                              nullptr, values, nullptr, nullptr, 0));
        if (!r.ok()) return fail("cannot read", error);
        readRows(r.get(), out);
        return true;
    }

    bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string& error) override {
        if (names.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        if (!exec("BEGIN", error)) return false;
        std::string cutoff = std::to_string(cutoffMs);
        for (const std::string& name : names) {
            const char* values[2] = {name.c_str(), cutoff.c_str()};
            Result r(PQexecParams(conn_,
                                  "DELETE FROM players WHERE name = $1 AND updated_ms < $2::bigint"
                                  " AND substr(state, 17, 8) = '00000001'",
                                  2, nullptr, values, nullptr, nullptr, 0));
            if (!r.ok()) {
                fail("cannot delete from", error);
                std::string ignored;
                exec("ROLLBACK", ignored);
                return false;
            }
        }
        return exec("COMMIT", error);
    }

    bool sharedByInstances() const override { return true; }

private:
    static void readRows(PGresult* r, std::vector<StoredPlayer>& out) {
        for (int i = 0; i < PQntuples(r); ++i) {
            out.push_back({PQgetvalue(r, i, 0), PQgetvalue(r, i, 1), PQgetvalue(r, i, 2),
                           std::stoll(PQgetvalue(r, i, 3))});
        }
    }
    bool ensureConnected(std::string& error) {
        if (PQstatus(conn_) == CONNECTION_OK) return true;
        PQreset(conn_);
        return PQstatus(conn_) == CONNECTION_OK || fail("lost the connection to", error);
    }
    bool fail(const char* what, std::string& error) {
        // The URL may hold a password: name only what follows the '@'.
        std::string where = url_.substr(url_.find('@') == std::string::npos ? 0 : url_.find('@') + 1);
        error = std::string("database ") + what + " " + where + ": " + PQerrorMessage(conn_);
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return false;
    }
    bool exec(const std::string& sql, std::string& error) {
        Result r(PQexec(conn_, sql.c_str()));
        return r.ok() || fail("cannot run a statement on", error);
    }
    bool migrate(std::string& error) {
        // The advisory lock keeps two instances starting together from migrating twice.
        if (!exec("BEGIN", error) || !exec("SELECT pg_advisory_xact_lock(4242001)", error) ||
            !exec("CREATE TABLE IF NOT EXISTS orlith_schema (version INTEGER NOT NULL)", error)) {
            return false;
        }
        Result v(PQexec(conn_, "SELECT max(version) FROM orlith_schema"));
        if (!v.ok()) return fail("cannot read the schema version of", error);
        int version = PQgetisnull(v.get(), 0, 0) ? 0 : std::stoi(PQgetvalue(v.get(), 0, 0));
        int latest = static_cast<int>(std::size(kMigrations));
        if (version > latest) {
            error = "database schema version " + std::to_string(version) + " is newer than this server knows";
            return false;
        }
        for (int k = version; k < latest; ++k) {
            if (!exec(kMigrations[k], error)) return false;
        }
        if (version < latest &&
            !exec("DELETE FROM orlith_schema; INSERT INTO orlith_schema VALUES (" + std::to_string(latest) + ")", error)) {
            return false;
        }
        return exec("COMMIT", error);
    }

    std::mutex mutex_;
    PGconn* conn_ = nullptr;
    std::string url_;
};

}  // namespace

std::unique_ptr<Storage> openPostgresStorage(const std::string& url, std::string& error) {
    auto s = std::make_unique<PostgresStorage>();
    if (!s->open(url, error)) return nullptr;
    return s;
}

}  // namespace orlith::server
