// Writes a ranking database of N players straight into SQLite, for the million-player
// benchmark: "player0".."player999" (PIN 73915) at level 1 with no steps, for the load
// generator to move; everyone else spread over levels 1-40, as a long-running server would
// hold them. Usage: orlith-bench-db N path
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "base/text.h"
#include "ranking/ranking.h"
#include "storage/storage.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: orlith-bench-db N path\n");
        return 2;
    }
    long n = std::atol(argv[1]);
    std::string path = argv[2], error;
    // The server's own code creates the schema.
    if (!orlith::server::openSqliteStorage(path, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO players(name, pin_hash, state, updated_ms) VALUES(?,?,?,?)", -1, &insert, nullptr);
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    std::mt19937 rng(1);
    for (long i = 0; i < n; ++i) {
        std::string name = (i < 1000 ? "player" : "p") + std::to_string(i);
        std::u16string wide = orlith::utf8ToUtf16(name);
        char16_t pin[9];
        orlith::makePinHash(wide, u"73915", pin);
        bool mover = i < 1000;
        int32_t level = mover ? 1 : 1 + static_cast<int32_t>(rng() % 40);
        int32_t steps = mover ? 0 : static_cast<int32_t>(rng() % 100000);
        float pos[3], view[3] = {0, 0, 1}, up[3] = {0, 1, 0};
        for (float& c : pos) c = mover ? 3.0f : static_cast<float>(rng() % (2 * level + 3));
        std::string state = orlith::utf16ToUtf8(orlith::formatStateValue(1700000000u, pin, level, steps, pos, view, up));
        std::string pinHash = orlith::utf16ToUtf8(pin);
        sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, pinHash.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, state.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 4, now);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "insert failed: %s\n", sqlite3_errmsg(db));
            return 1;
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}
