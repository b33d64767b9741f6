// PostgreSQL storage: the shared database of several server instances. Registrations rely on
// the primary key, so one nickname has one PIN hash whichever instance registered it first;
// a level rise is one conditional update, so whichever instance serves a player, the
// database holds its level and what it must still walk.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>

#include "budgets/budgets.h"
#include "players/names.h"
#include "storage/storage.h"

namespace orlith::server {

namespace {

// Each look-alike key held by one nickname, so the database decides between look-alikes
// registered through two instances at once, as the primary key does for one name. Filled for
// the rows already there by fillLookAlikes.
constexpr const char* kLookAlikeSchema =
    "ALTER TABLE players ADD COLUMN look_alike BIGINT;"
    "CREATE UNIQUE INDEX players_look_alike ON players(look_alike);";

const char* const kMigrations[] = {
    "CREATE TABLE players (name TEXT PRIMARY KEY, pin_hash TEXT NOT NULL, state TEXT NOT NULL,"
    " updated_ms BIGINT NOT NULL);"
    "CREATE INDEX players_updated ON players(updated_ms);",
    // Players stored before these columns start their timing at their next request.
    "ALTER TABLE players ADD COLUMN since_ms BIGINT, ADD COLUMN since_steps INTEGER, ADD COLUMN need INTEGER;"
    "CREATE TABLE levels (level INTEGER PRIMARY KEY, rng_x BIGINT NOT NULL, rng_y BIGINT NOT NULL,"
    " rng_z BIGINT NOT NULL, rng_w BIGINT NOT NULL, path INTEGER NOT NULL);"
    "CREATE TABLE heartbeat (id INTEGER PRIMARY KEY, at_ms BIGINT NOT NULL);"
    "INSERT INTO heartbeat VALUES (1, 0);",
    // Budgets every instance spends from: a key and the moment its budget is full again.
    "CREATE TABLE budgets (key TEXT PRIMARY KEY, full_at BIGINT NOT NULL);",
    kLookAlikeSchema,
};
constexpr int kLookAlikeMigration = 4;

constexpr const char* kNowMs = "(extract(epoch from clock_timestamp()) * 1000)::bigint";
constexpr const char* kPlayerColumns = "name, pin_hash, state, updated_ms, since_ms, since_steps, need";
// The database as opened: a dropped and recreated database or table gets new object ids.
constexpr const char* kIdentity =
    "(SELECT oid FROM pg_database WHERE datname = current_database()) || '/' || 'players'::regclass::oid";

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
        Result r(PQexec(conn_, (std::string("SELECT ") + kPlayerColumns + " FROM players").c_str()));
        if (!r.ok()) return fail("cannot read", error);
        StoredPlayer row;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            readRow(r.get(), i, row);
            if (!take(row)) return false;
        }
        return true;
    }

    bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing,
                        std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        // Either key, the name or its look-alike, held by another row: nothing inserted.
        std::string sql = std::string("INSERT INTO players(") + kPlayerColumns + ", look_alike) VALUES($1,$2,$3," + kNowMs +
                          ",$4::bigint,$5::integer,$6::integer,$7::bigint) ON CONFLICT DO NOTHING";
        std::string m[3];
        if (player.marks) {
            m[0] = std::to_string(player.marks->sinceMs);
            m[1] = std::to_string(player.marks->sinceSteps);
            m[2] = std::to_string(player.marks->need);
        }
        const std::string key = std::to_string(static_cast<int64_t>(player.lookAlike));
        const char* values[7] = {player.name.c_str(), player.pinHash.c_str(), player.state.c_str(),
                                 player.marks ? m[0].c_str() : nullptr, player.marks ? m[1].c_str() : nullptr,
                                 player.marks ? m[2].c_str() : nullptr, player.lookAlike ? key.c_str() : nullptr};
        Result r(PQexecParams(conn_, sql.c_str(), 7, nullptr, values, nullptr, nullptr, 0));
        if (!r.ok()) return fail("cannot write", error);
        inserted = std::string(PQcmdTuples(r.get())) == "1";
        return inserted || readPlayer(player.name, existing, error, values[6]);
    }

    bool commitRise(const RiseWrite& rise, bool& applied, StoredPlayer& current, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        // Rows stored before marks were kept have none: the instance judged the rise itself.
        std::string sql = std::string("UPDATE players SET state = $1, updated_ms = ") + kNowMs +
                          ", since_ms = $2::bigint, since_steps = $3::integer, need = $4::integer"
                          " WHERE name = $5 AND substr(state, 17, 8) = $6 AND (since_ms IS NULL OR"
                          " (since_steps::bigint + need <= $7::bigint AND since_ms + need * $8::float8 <= $9::bigint))";
        char below[9];
        std::snprintf(below, sizeof below, "%08x",
                      static_cast<uint32_t>(std::stoul(rise.state.substr(16, 8), nullptr, 16) - 1));
        std::string since = std::to_string(rise.marks.sinceMs), sinceSteps = std::to_string(rise.marks.sinceSteps),
                    need = std::to_string(rise.marks.need),
                    steps = std::to_string(static_cast<int32_t>(std::stoul(rise.state.substr(24, 8), nullptr, 16))),
                    perCell(32, '\0'), now = std::to_string(rise.nowMs);
        perCell.resize(static_cast<size_t>(std::snprintf(perCell.data(), perCell.size(), "%.17g", rise.msPerCell)));
        const char* values[9] = {rise.state.c_str(), since.c_str(), sinceSteps.c_str(), need.c_str(), rise.name.c_str(),
                                 below, steps.c_str(), perCell.c_str(), now.c_str()};
        Result r(PQexecParams(conn_, sql.c_str(), 9, nullptr, values, nullptr, nullptr, 0));
        if (!r.ok()) return fail("cannot write", error);
        applied = std::string(PQcmdTuples(r.get())) == "1";
        return applied || readPlayer(rise.name, current, error);
    }

    bool writeStates(const std::vector<StateWrite>& batch, std::string& error) override {
        if (batch.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        std::string sql = std::string("UPDATE players SET state = $2, updated_ms = ") + kNowMs +
                          " WHERE name = $1 AND substr(state, 17, 8) = substr($2, 17, 8)"
                          " AND substr(state, 25, 8) COLLATE \"C\" <= substr($2, 25, 8) COLLATE \"C\"";
        return transaction(error, [&] {
            for (const StateWrite& w : batch) {
                const char* values[2] = {w.name.c_str(), w.state.c_str()};
                Result r(PQexecParams(conn_, sql.c_str(), 2, nullptr, values, nullptr, nullptr, 0));
                if (!r.ok()) return fail("cannot write", error);
            }
            return true;
        });
    }

    bool changedSince(int64_t sinceMs, std::vector<StoredPlayer>& out, int64_t& nowMs, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        Result n(PQexec(conn_, (std::string("SELECT ") + kNowMs).c_str()));
        if (!n.ok() || PQntuples(n.get()) != 1) return fail("cannot read", error);
        nowMs = std::stoll(PQgetvalue(n.get(), 0, 0));
        std::string since = std::to_string(sinceMs);
        const char* values[1] = {since.c_str()};
        std::string sql = std::string("SELECT ") + kPlayerColumns + " FROM players WHERE updated_ms > $1";
        Result r(PQexecParams(conn_, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
        if (!r.ok()) return fail("cannot read", error);
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            out.emplace_back();
            readRow(r.get(), i, out.back());
        }
        return true;
    }

    bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string& error) override {
        if (names.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        std::string cutoff = std::to_string(cutoffMs);
        return transaction(error, [&] {
            for (const std::string& name : names) {
                const char* values[2] = {name.c_str(), cutoff.c_str()};
                Result r(PQexecParams(conn_,
                                      "DELETE FROM players WHERE name = $1 AND updated_ms < $2::bigint"
                                      " AND substr(state, 17, 8) = '00000001'",
                                      2, nullptr, values, nullptr, nullptr, 0));
                if (!r.ok()) return fail("cannot delete from", error);
            }
            return true;
        });
    }

    bool loadLevels(std::vector<StoredLevel>& out, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        Result r(PQexec(conn_, "SELECT level, rng_x, rng_y, rng_z, rng_w, path FROM levels ORDER BY level"));
        if (!r.ok()) return fail("cannot read", error);
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            StoredLevel l;
            l.level = std::stoi(PQgetvalue(r.get(), i, 0));
            for (int k = 0; k < 4; ++k) l.before[k] = static_cast<uint32_t>(std::stoll(PQgetvalue(r.get(), i, 1 + k)));
            l.path = std::stoi(PQgetvalue(r.get(), i, 5));
            out.push_back(l);
        }
        return true;
    }

    bool storeLevels(const std::vector<StoredLevel>& levels, std::string& error) override {
        if (levels.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        return transaction(error, [&] {
            for (const StoredLevel& l : levels) {
                std::string v[6] = {std::to_string(l.level), std::to_string(l.before[0]), std::to_string(l.before[1]),
                                    std::to_string(l.before[2]), std::to_string(l.before[3]), std::to_string(l.path)};
                const char* values[6] = {v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str(), v[4].c_str(), v[5].c_str()};
                Result r(PQexecParams(conn_, "INSERT INTO levels VALUES($1,$2,$3,$4,$5,$6) ON CONFLICT(level) DO UPDATE SET"
                                      " rng_x = excluded.rng_x, rng_y = excluded.rng_y, rng_z = excluded.rng_z,"
                                      " rng_w = excluded.rng_w, path = excluded.path", 6,
                                      nullptr, values, nullptr, nullptr, 0));
                if (!r.ok()) return fail("cannot write", error);
            }
            return true;
        });
    }

    bool probe(bool& gone, std::string& error) override {
        std::lock_guard lock(mutex_);
        gone = false;
        if (!ensureConnected(error)) return false;
        std::string sql = std::string("UPDATE heartbeat SET at_ms = ") + kNowMs + " RETURNING " + kIdentity;
        Result r(PQexec(conn_, sql.c_str()));
        if (!r.ok() || PQntuples(r.get()) != 1) return fail("cannot write", error);
        if (identity_ != PQgetvalue(r.get(), 0, 0)) {
            gone = true;
            error = "database " + where() + " was replaced (dropped and created again) while the server ran";
            return false;
        }
        return true;
    }

    bool sharedByInstances() const override { return true; }

    bool spendShared(const std::vector<SharedBudget>& budgets, int64_t nowMs, bool spend, bool& open,
                     std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!ensureConnected(error)) return false;
        // Keys in one order, locked in it: two instances judging together cannot deadlock.
        std::vector<SharedBudget> sorted = budgets;
        std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
        std::vector<const char*> keys;
        std::string list;
        for (const SharedBudget& b : sorted) {
            keys.push_back(b.key.c_str());
            list += (list.empty() ? "$" : ", $") + std::to_string(keys.size());
        }
        const int n = static_cast<int>(keys.size());
        return transaction(error, [&] {
            std::string rows;
            for (int k = 1; k <= n; ++k) rows += (k > 1 ? ", ($" : "($") + std::to_string(k) + ", 0)";
            Result added(PQexecParams(conn_, ("INSERT INTO budgets VALUES " + rows + " ON CONFLICT DO NOTHING").c_str(), n,
                                      nullptr, keys.data(), nullptr, nullptr, 0));
            if (!added.ok()) return fail("cannot write", error);
            Result r(PQexecParams(conn_, ("SELECT key, full_at FROM budgets WHERE key IN (" + list + ") ORDER BY key FOR UPDATE").c_str(),
                                  n, nullptr, keys.data(), nullptr, nullptr, 0));
            if (!r.ok() || PQntuples(r.get()) != n) return fail("cannot read", error);
            open = true;
            for (int i = 0; i < n; ++i) {
                open = open && budgetOpen(std::stoll(PQgetvalue(r.get(), i, 1)), nowMs, sorted[static_cast<size_t>(i)].burst,
                                          sorted[static_cast<size_t>(i)].periodMs);
            }
            for (size_t i = 0; open && spend && i < sorted.size(); ++i) {
                const std::string now = std::to_string(nowMs), period = std::to_string(sorted[i].periodMs);
                const char* values[3] = {keys[i], now.c_str(), period.c_str()};
                Result u(PQexecParams(conn_, "UPDATE budgets SET full_at = GREATEST(full_at, $2::bigint) + $3::bigint WHERE key = $1",
                                      3, nullptr, values, nullptr, nullptr, 0));
                if (!u.ok()) return fail("cannot write", error);
            }
            return true;
        });
    }

private:
    static void readRow(PGresult* r, int i, StoredPlayer& row) {
        row.name = PQgetvalue(r, i, 0);
        row.pinHash = PQgetvalue(r, i, 1);
        row.state = PQgetvalue(r, i, 2);
        row.updatedMs = std::stoll(PQgetvalue(r, i, 3));
        row.marks.reset();
        if (!PQgetisnull(r, i, 4)) {
            row.marks = LevelMarks{std::stoll(PQgetvalue(r, i, 4)), std::stoi(PQgetvalue(r, i, 5)),
                                   std::stoi(PQgetvalue(r, i, 6))};
        }
    }
    // The row of name; or, with lookAlike, of the name or else of the nickname holding that key.
    bool readPlayer(const std::string& name, StoredPlayer& row, std::string& error, const char* lookAlike = nullptr) {
        const char* values[2] = {name.c_str(), lookAlike};
        std::string sql = std::string("SELECT ") + kPlayerColumns + " FROM players WHERE name = $1";
        if (lookAlike) sql += " OR look_alike = $2::bigint ORDER BY name = $1 DESC LIMIT 1";
        Result q(PQexecParams(conn_, sql.c_str(), lookAlike ? 2 : 1, nullptr, values, nullptr, nullptr, 0));
        if (!q.ok()) return fail("cannot read", error);
        if (PQntuples(q.get()) != 1) {
            error = "database " + where() + " has no row for the player";
            return false;
        }
        readRow(q.get(), 0, row);
        return true;
    }
    // The URL may hold a password: name only what follows the '@'.
    std::string where() const { return url_.substr(url_.find('@') == std::string::npos ? 0 : url_.find('@') + 1); }
    bool ensureConnected(std::string& error) {
        if (PQstatus(conn_) == CONNECTION_OK) return true;
        PQreset(conn_);
        return PQstatus(conn_) == CONNECTION_OK || fail("lost the connection to", error);
    }
    bool fail(const char* what, std::string& error) {
        error = std::string("database ") + what + " " + where() + ": " + PQerrorMessage(conn_);
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return false;
    }
    bool exec(const std::string& sql, std::string& error) {
        Result r(PQexec(conn_, sql.c_str()));
        return r.ok() || fail("cannot run a statement on", error);
    }
    // Every write of several statements: BEGIN, body (false with error set when a statement
    // failed), COMMIT. After any failure a transaction still open is rolled back, so the
    // connection starts the next one clean; the first error is the one kept.
    template <typename Body>
    bool transaction(std::string& error, Body body) {
        if (!exec("BEGIN", error)) return false;
        if (body() && exec("COMMIT", error)) return true;
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            std::string ignored;
            exec("ROLLBACK", ignored);
        }
        return false;
    }
    bool migrate(std::string& error) {
        bool migrated = transaction(error, [&] {
            // The advisory lock keeps two instances starting together from migrating twice.
            if (!exec("SELECT pg_advisory_xact_lock(4242001)", error) ||
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
            if (version < kLookAlikeMigration && !fillLookAlikes(error)) return false;
            return version == latest ||
                   exec("DELETE FROM orlith_schema; INSERT INTO orlith_schema VALUES (" + std::to_string(latest) + ")", error);
        });
        if (!migrated) return false;
        Result id(PQexec(conn_, (std::string("SELECT ") + kIdentity).c_str()));
        if (!id.ok() || PQntuples(id.get()) != 1) return fail("cannot read", error);
        identity_ = PQgetvalue(id.get(), 0, 0);
        return true;
    }

    // The look-alike keys of the rows stored before they were kept, computed here (the database
    // knows no confusable skeletons), in one COPY and one UPDATE. Where stored names already
    // look alike, the first in byte order holds the key; the others keep playing without one.
    bool fillLookAlikes(std::string& error) {
        Result names(PQexec(conn_, "SELECT name FROM players ORDER BY name COLLATE \"C\""));
        if (!names.ok()) return fail("cannot read", error);
        std::unordered_set<uint64_t> taken;
        std::string rows;
        for (int i = 0; i < PQntuples(names.get()); ++i) {
            const std::string name = PQgetvalue(names.get(), i, 0);
            std::u16string utf16;
            if (!strictUtf8ToUtf16(name, utf16)) continue;  // refused at load as it stands
            const uint64_t key = lookAlikeKey(utf16);
            if (!taken.insert(key).second) continue;
            // COPY's text form: a backslash escapes; names hold no tab or line break (checkNickname).
            for (char c : name) rows += c == '\\' ? std::string("\\\\") : std::string(1, c);
            rows += '\t' + std::to_string(static_cast<int64_t>(key)) + '\n';
        }
        if (rows.empty()) return true;
        if (!exec("CREATE TEMPORARY TABLE look_alikes (name TEXT, look_alike BIGINT) ON COMMIT DROP", error)) return false;
        Result copy(PQexec(conn_, "COPY look_alikes FROM STDIN"));
        if (PQresultStatus(copy.get()) != PGRES_COPY_IN || PQputCopyData(conn_, rows.data(), static_cast<int>(rows.size())) != 1 ||
            PQputCopyEnd(conn_, nullptr) != 1) {
            return fail("cannot write", error);
        }
        Result copied(PQgetResult(conn_));
        while (PGresult* more = PQgetResult(conn_)) PQclear(more);
        return (copied.ok() || fail("cannot write", error)) &&
               exec("UPDATE players SET look_alike = l.look_alike FROM look_alikes l WHERE players.name = l.name", error);
    }

    std::mutex mutex_;
    PGconn* conn_ = nullptr;
    std::string url_;
    std::string identity_;  // kIdentity as opened
};

}  // namespace

std::unique_ptr<Storage> openPostgresStorage(const std::string& url, std::string& error) {
    auto s = std::make_unique<PostgresStorage>();
    if (!s->open(url, error)) return nullptr;
    return s;
}

}  // namespace orlith::server
