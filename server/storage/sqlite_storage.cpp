// SQLite storage: one file in WAL mode; synchronous=FULL so a committed registration or rise
// survives a crash of the process or the machine. The file is watched: deleted, replaced or
// made read-only under the running server, it is refused before anything more is written.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "storage/storage.h"

namespace orlith::server {

namespace {

int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

// Schema versions in order; a database at version k runs migrations k..end at start.
const char* const kMigrations[] = {
    "CREATE TABLE players (name TEXT PRIMARY KEY NOT NULL, pin_hash TEXT NOT NULL,"
    " state TEXT NOT NULL, updated_ms INTEGER NOT NULL);"
    "CREATE INDEX players_updated ON players(updated_ms);",
    // Players stored before these columns start their timing at their next request.
    "ALTER TABLE players ADD COLUMN since_ms INTEGER;"
    "ALTER TABLE players ADD COLUMN since_steps INTEGER;"
    "ALTER TABLE players ADD COLUMN need INTEGER;"
    "CREATE TABLE levels (level INTEGER PRIMARY KEY NOT NULL, rng_x INTEGER NOT NULL, rng_y INTEGER NOT NULL,"
    " rng_z INTEGER NOT NULL, rng_w INTEGER NOT NULL, path INTEGER NOT NULL);"
    "CREATE TABLE heartbeat (id INTEGER PRIMARY KEY NOT NULL, at_ms INTEGER NOT NULL);"
    "INSERT INTO heartbeat VALUES (1, 0);",
};

constexpr const char* kPlayerColumns = "name, pin_hash, state, updated_ms, since_ms, since_steps, need";

// Level and step count of a state value as the lowercase hex text they are stored in: equal
// texts are equal numbers, and the text order is the unsigned order.
std::string levelText(const std::string& state) { return state.substr(16, 8); }
std::string stepsText(const std::string& state) { return state.substr(24, 8); }

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

void bindText(sqlite3_stmt* s, int index, const std::string& text) {
    sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* s, int col) {
    const unsigned char* t = sqlite3_column_text(s, col);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, col)))
             : std::string();
}

// A row of kPlayerColumns into `row` (reused between rows: no allocation once warm).
void readPlayer(sqlite3_stmt* s, StoredPlayer& row) {
    auto text = [&](int col, std::string& out) {
        const unsigned char* t = sqlite3_column_text(s, col);
        out.assign(t ? reinterpret_cast<const char*>(t) : "", static_cast<size_t>(sqlite3_column_bytes(s, col)));
    };
    text(0, row.name);
    text(1, row.pinHash);
    text(2, row.state);
    row.updatedMs = sqlite3_column_int64(s, 3);
    row.marks.reset();
    if (sqlite3_column_type(s, 4) != SQLITE_NULL) {
        row.marks = LevelMarks{sqlite3_column_int64(s, 4), sqlite3_column_int(s, 5), sqlite3_column_int(s, 6)};
    }
}

void bindMarks(sqlite3_stmt* s, int first, const std::optional<LevelMarks>& marks) {
    if (!marks) {
        for (int i = 0; i < 3; ++i) sqlite3_bind_null(s, first + i);
        return;
    }
    sqlite3_bind_int64(s, first, marks->sinceMs);
    sqlite3_bind_int(s, first + 1, marks->sinceSteps);
    sqlite3_bind_int(s, first + 2, marks->need);
}

class SqliteStorage final : public Storage {
public:
    ~SqliteStorage() override {
        if (db_) sqlite3_close_v2(db_);
        // Last: closing any descriptor of the file drops the process's POSIX locks, SQLite's too.
        if (lockFd_ >= 0) ::close(lockFd_);
    }

    bool open(const std::string& path, std::string& error) {
        path_ = path;
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK) {
            return fail("cannot open", error);
        }
        sqlite3_busy_timeout(db_, 5000);
        if (sqlite3_db_readonly(db_, "main") == 1) {
            error = "database " + path + " is read-only; the server must be able to write it";
            return false;
        }
        struct stat st{};
        if (stat(path.c_str(), &st) != 0) return fail("cannot find the file of", error);
        device_ = st.st_dev;
        inode_ = st.st_ino;
        // One server per file: two would each trust their own memory of the players and
        // never see the other's registrations. flock is apart from SQLite's own POSIX locks.
        lockFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (lockFd_ < 0) return fail("cannot open", error);
        if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            error = "database " + path + " is in use by another orlith-server (one server per SQLite file; "
                    "instances that share players share a PostgreSQL database)";
            return false;
        }
        // A damaged file is refused at start: serving an empty ranking would silently
        // invite every nickname to be registered again by someone else.
        if (!exec("PRAGMA journal_mode=WAL", error) || !exec("PRAGMA synchronous=FULL", error)) return false;
        Statement check(db_, "PRAGMA quick_check");
        if (!check || sqlite3_step(check.get()) != SQLITE_ROW || columnText(check.get(), 0) != "ok") {
            return fail("integrity check failed for", error);
        }
        return migrate(error);
    }

    bool forEachPlayer(const std::function<bool(const StoredPlayer&)>& take, std::string& error) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, (std::string("SELECT ") + kPlayerColumns + " FROM players").c_str());
        if (!s) return fail("cannot read", error);
        int rc;
        StoredPlayer row;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            readPlayer(s.get(), row);
            if (!take(row)) return false;
        }
        return rc == SQLITE_DONE || fail("cannot read", error);
    }

    bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing,
                        std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!stillOurs(error)) return false;
        Statement s(db_, "INSERT INTO players(name, pin_hash, state, updated_ms, since_ms, since_steps, need)"
                         " VALUES(?,?,?,?,?,?,?) ON CONFLICT(name) DO NOTHING");
        if (!s) return fail("cannot write", error);
        bindText(s.get(), 1, player.name);
        bindText(s.get(), 2, player.pinHash);
        bindText(s.get(), 3, player.state);
        sqlite3_bind_int64(s.get(), 4, wallMs());
        bindMarks(s.get(), 5, player.marks);
        if (sqlite3_step(s.get()) != SQLITE_DONE) return fail("cannot write", error);
        inserted = sqlite3_changes(db_) == 1;
        return inserted || readRow(player.name, existing, error);
    }

    bool commitRise(const RiseWrite& rise, bool& applied, StoredPlayer& current, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!stillOurs(error)) return false;
        // Rows stored before marks were kept have none: the instance judged the rise itself.
        Statement s(db_, "UPDATE players SET state = ?1, updated_ms = ?2, since_ms = ?3, since_steps = ?4, need = ?5"
                         " WHERE name = ?6 AND substr(state, 17, 8) = ?7 AND (since_ms IS NULL OR"
                         " (since_steps + need <= ?8 AND since_ms + need * ?9 <= ?10))");
        if (!s) return fail("cannot write", error);
        bindText(s.get(), 1, rise.state);
        sqlite3_bind_int64(s.get(), 2, wallMs());
        bindMarks(s.get(), 3, rise.marks);
        bindText(s.get(), 6, rise.name);
        char below[9];
        std::snprintf(below, sizeof below, "%08x", static_cast<uint32_t>(std::stoul(levelText(rise.state), nullptr, 16) - 1));
        sqlite3_bind_text(s.get(), 7, below, 8, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s.get(), 8, static_cast<int32_t>(std::stoul(stepsText(rise.state), nullptr, 16)));
        sqlite3_bind_double(s.get(), 9, rise.msPerCell);
        sqlite3_bind_int64(s.get(), 10, rise.nowMs);
        if (sqlite3_step(s.get()) != SQLITE_DONE) return fail("cannot write", error);
        applied = sqlite3_changes(db_) == 1;
        return applied || readRow(rise.name, current, error);
    }

    bool writeStates(const std::vector<StateWrite>& batch, std::string& error) override {
        if (batch.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!stillOurs(error)) return false;
        return transaction(error, [&] {
            Statement s(db_, "UPDATE players SET state = ?1, updated_ms = ?2 WHERE name = ?3"
                             " AND substr(state, 17, 8) = substr(?1, 17, 8) AND substr(state, 25, 8) <= substr(?1, 25, 8)");
            bool ok = static_cast<bool>(s);
            int64_t now = wallMs();
            for (size_t i = 0; ok && i < batch.size(); ++i) {
                bindText(s.get(), 1, batch[i].state);
                sqlite3_bind_int64(s.get(), 2, now);
                bindText(s.get(), 3, batch[i].name);
                ok = sqlite3_step(s.get()) == SQLITE_DONE;
                sqlite3_reset(s.get());
            }
            return ok || fail("cannot write", error);
        });
    }

    bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string& error) override {
        if (names.empty()) return true;
        std::lock_guard lock(mutex_);
        return transaction(error, [&] {
            Statement s(db_, "DELETE FROM players WHERE name = ? AND updated_ms < ? AND substr(state, 17, 8) = '00000001'");
            bool ok = static_cast<bool>(s);
            for (size_t i = 0; ok && i < names.size(); ++i) {
                bindText(s.get(), 1, names[i]);
                sqlite3_bind_int64(s.get(), 2, cutoffMs);
                ok = sqlite3_step(s.get()) == SQLITE_DONE;
                sqlite3_reset(s.get());
            }
            return ok || fail("cannot delete from", error);
        });
    }

    bool changedSince(int64_t, std::vector<StoredPlayer>&, int64_t& nowMs, std::string&) override {
        nowMs = wallMs();
        return true;
    }

    bool loadLevels(std::vector<StoredLevel>& out, std::string& error) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "SELECT level, rng_x, rng_y, rng_z, rng_w, path FROM levels ORDER BY level");
        if (!s) return fail("cannot read", error);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            StoredLevel l;
            l.level = sqlite3_column_int(s.get(), 0);
            for (int k = 0; k < 4; ++k) l.before[k] = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 1 + k));
            l.path = sqlite3_column_int(s.get(), 5);
            out.push_back(l);
        }
        return rc == SQLITE_DONE || fail("cannot read", error);
    }

    bool storeLevels(const std::vector<StoredLevel>& levels, std::string& error) override {
        if (levels.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!stillOurs(error)) return false;
        return transaction(error, [&] {
            Statement s(db_, "INSERT INTO levels VALUES(?,?,?,?,?,?) ON CONFLICT(level) DO UPDATE SET rng_x = excluded.rng_x,"
                             " rng_y = excluded.rng_y, rng_z = excluded.rng_z, rng_w = excluded.rng_w, path = excluded.path");
            bool ok = static_cast<bool>(s);
            for (size_t i = 0; ok && i < levels.size(); ++i) {
                sqlite3_bind_int(s.get(), 1, levels[i].level);
                for (int k = 0; k < 4; ++k) sqlite3_bind_int64(s.get(), 2 + k, levels[i].before[k]);
                sqlite3_bind_int(s.get(), 6, levels[i].path);
                ok = sqlite3_step(s.get()) == SQLITE_DONE;
                sqlite3_reset(s.get());
            }
            return ok || fail("cannot write", error);
        });
    }

    bool probe(bool& gone, std::string& error) override {
        std::lock_guard lock(mutex_);
        gone = !stillOurs(error);
        if (gone) return false;
        // As the server's own user: root may write the file whatever its mode.
        if (faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) {
            error = "database " + path_ + " is no longer writable: " + std::strerror(errno);
            return false;
        }
        Statement s(db_, "UPDATE heartbeat SET at_ms = ?");
        if (!s) return fail("cannot write", error);
        sqlite3_bind_int64(s.get(), 1, wallMs());
        return sqlite3_step(s.get()) == SQLITE_DONE || fail("cannot write", error);
    }

    bool sharedByInstances() const override { return false; }

private:
    // The file at the path is still the one this connection writes: deleted or replaced, every
    // later write would go to a file nobody will ever open again.
    bool stillOurs(std::string& error) {
        struct stat st{};
        if (stat(path_.c_str(), &st) != 0) {
            error = "database " + path_ + " was deleted while the server ran";
            return false;
        }
        int moved = 0;
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved);
        if (moved || st.st_dev != device_ || st.st_ino != inode_) {
            error = "database " + path_ + " was replaced by another file while the server ran";
            return false;
        }
        return true;
    }
    bool readRow(const std::string& name, StoredPlayer& row, std::string& error) {
        Statement q(db_, (std::string("SELECT ") + kPlayerColumns + " FROM players WHERE name = ?").c_str());
        if (!q) return fail("cannot read", error);
        bindText(q.get(), 1, name);
        int rc = sqlite3_step(q.get());
        if (rc == SQLITE_DONE) {
            error = "database " + path_ + " has no row for the player";
            return false;
        }
        if (rc != SQLITE_ROW) return fail("cannot read", error);
        readPlayer(q.get(), row);
        return true;
    }
    bool fail(const char* what, std::string& error) {
        error = std::string("database ") + path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        return false;
    }
    // Every write of several statements: BEGIN IMMEDIATE, body (false with error set when a
    // statement failed), COMMIT. After any failure the transaction is rolled back if SQLite has
    // not done so, so the next one starts clean; the first error is the one kept.
    template <typename Body>
    bool transaction(std::string& error, Body body) {
        if (!exec("BEGIN IMMEDIATE", error)) return false;
        if (body() && exec("COMMIT", error)) return true;
        if (!sqlite3_get_autocommit(db_)) {
            std::string ignored;
            exec("ROLLBACK", ignored);
        }
        return false;
    }
    bool exec(const char* sql, std::string& error) {
        char* msg = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
        error = "database " + path_ + ": " + sql + ": " + (msg ? msg : sqlite3_errmsg(db_));
        sqlite3_free(msg);
        return false;
    }
    bool migrate(std::string& error) {
        Statement v(db_, "PRAGMA user_version");
        if (!v || sqlite3_step(v.get()) != SQLITE_ROW) return fail("cannot read the schema version of", error);
        int version = sqlite3_column_int(v.get(), 0);
        int latest = static_cast<int>(std::size(kMigrations));
        if (version > latest) {
            error = "database " + path_ + " has schema version " + std::to_string(version) +
                    ", newer than this server knows (" + std::to_string(latest) + ")";
            return false;
        }
        // A write at start also proves the file is writable before the first player arrives.
        return transaction(error, [&] {
            for (int k = version; k < latest; ++k) {
                if (!exec(kMigrations[k], error)) return false;
            }
            return exec(("PRAGMA user_version = " + std::to_string(latest)).c_str(), error);
        });
    }

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string path_;
    dev_t device_ = 0;   // the file opened, to tell it from another at the same path
    ino_t inode_ = 0;
    int lockFd_ = -1;    // holds the file's flock while the server runs
};

}  // namespace

std::unique_ptr<Storage> openSqliteStorage(const std::string& path, std::string& error) {
    auto s = std::make_unique<SqliteStorage>();
    if (!s->open(path, error)) return nullptr;
    return s;
}

}  // namespace orlith::server
