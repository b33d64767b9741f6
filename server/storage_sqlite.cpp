// SQLite storage: one file in WAL mode; synchronous=FULL so a committed registration survives
// a crash of the process or the machine.
#include <sqlite3.h>

#include <chrono>
#include <mutex>

#include "storage.h"

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
};

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

class SqliteStorage final : public Storage {
public:
    ~SqliteStorage() override {
        if (db_) sqlite3_close_v2(db_);
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
        Statement s(db_, "SELECT name, pin_hash, state, updated_ms FROM players");
        if (!s) return fail("cannot read", error);
        int rc;
        StoredPlayer row;
        auto text = [&](int col, std::string& out) {
            const unsigned char* t = sqlite3_column_text(s.get(), col);
            out.assign(t ? reinterpret_cast<const char*>(t) : "", static_cast<size_t>(sqlite3_column_bytes(s.get(), col)));
        };
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            text(0, row.name);
            text(1, row.pinHash);
            text(2, row.state);
            row.updatedMs = sqlite3_column_int64(s.get(), 3);
            if (!take(row)) return false;
        }
        return rc == SQLITE_DONE || fail("cannot read", error);
    }

    bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing,
                        std::string& error) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "INSERT INTO players(name, pin_hash, state, updated_ms) VALUES(?,?,?,?)"
                         " ON CONFLICT(name) DO NOTHING");
        if (!s) return fail("cannot write", error);
        bindText(s.get(), 1, player.name);
        bindText(s.get(), 2, player.pinHash);
        bindText(s.get(), 3, player.state);
        sqlite3_bind_int64(s.get(), 4, wallMs());
        if (sqlite3_step(s.get()) != SQLITE_DONE) return fail("cannot write", error);
        inserted = sqlite3_changes(db_) == 1;
        if (inserted) return true;
        Statement q(db_, "SELECT name, pin_hash, state, updated_ms FROM players WHERE name = ?");
        if (!q) return fail("cannot read", error);
        bindText(q.get(), 1, player.name);
        if (sqlite3_step(q.get()) != SQLITE_ROW) return fail("cannot read", error);
        existing = {columnText(q.get(), 0), columnText(q.get(), 1), columnText(q.get(), 2),
                    sqlite3_column_int64(q.get(), 3)};
        return true;
    }

    bool writeStates(const std::vector<StateWrite>& batch, std::string& error) override {
        if (batch.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!exec("BEGIN IMMEDIATE", error)) return false;
        Statement s(db_, "UPDATE players SET state = ?, updated_ms = ? WHERE name = ?");
        bool ok = static_cast<bool>(s);
        int64_t now = wallMs();
        for (size_t i = 0; ok && i < batch.size(); ++i) {
            bindText(s.get(), 1, batch[i].state);
            sqlite3_bind_int64(s.get(), 2, now);
            bindText(s.get(), 3, batch[i].name);
            ok = sqlite3_step(s.get()) == SQLITE_DONE;
            sqlite3_reset(s.get());
        }
        if (!ok) {
            fail("cannot write", error);
            std::string ignored;
            exec("ROLLBACK", ignored);
            return false;
        }
        return exec("COMMIT", error);
    }

    bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string& error) override {
        if (names.empty()) return true;
        std::lock_guard lock(mutex_);
        if (!exec("BEGIN IMMEDIATE", error)) return false;
        Statement s(db_, "DELETE FROM players WHERE name = ? AND updated_ms < ? AND substr(state, 17, 8) = '00000001'");
        bool ok = static_cast<bool>(s);
        for (size_t i = 0; ok && i < names.size(); ++i) {
            bindText(s.get(), 1, names[i]);
            sqlite3_bind_int64(s.get(), 2, cutoffMs);
            ok = sqlite3_step(s.get()) == SQLITE_DONE;
            sqlite3_reset(s.get());
        }
        if (!ok) {
            fail("cannot delete from", error);
            std::string ignored;
            exec("ROLLBACK", ignored);
            return false;
        }
        return exec("COMMIT", error);
    }

    bool changedSince(int64_t, std::vector<StoredPlayer>&, int64_t& nowMs, std::string&) override {
        nowMs = wallMs();
        return true;
    }
    bool sharedByInstances() const override { return false; }

private:
    bool fail(const char* what, std::string& error) {
        error = std::string("database ") + path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
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
        if (!exec("BEGIN IMMEDIATE", error)) return false;
        for (int k = version; k < latest; ++k) {
            if (!exec(kMigrations[k], error)) {
                std::string ignored;
                exec("ROLLBACK", ignored);
                return false;
            }
        }
        std::string setVersion = "PRAGMA user_version = " + std::to_string(latest);
        if (!exec(setVersion.c_str(), error)) return false;
        return exec("COMMIT", error);
    }

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace

std::unique_ptr<Storage> openSqliteStorage(const std::string& path, std::string& error) {
    auto s = std::make_unique<SqliteStorage>();
    if (!s->open(path, error)) return nullptr;
    return s;
}

}  // namespace orlith::server
