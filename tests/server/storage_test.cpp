// SQLite storage on real files: durability across reopen, conflicts, and refusing damaged,
// foreign or newer databases at start.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "levels.h"
#include "maze/maze.h"
#include "ranking_store.h"
#include "server/server_test_util.h"
#include "storage.h"

namespace orlith::server {
namespace {

namespace fs = std::filesystem;

class SqliteStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orlith-storage-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = (dir / "ranking.db").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
    std::string path;
};

TEST_F(SqliteStorageTest, RisesAreWrittenAtOnceStatesByFlushAndAnOldDatabaseStartsTimingAtTheNextRequest) {
    std::string error;
    {
        // A database as the previous version left it: no marks, no levels; "old" on level 2.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        test::StateFields f;
        f.level = 2;
        f.steps = 100;
        std::string sql = "CREATE TABLE players (name TEXT PRIMARY KEY NOT NULL, pin_hash TEXT NOT NULL, state TEXT NOT NULL,"
                          " updated_ms INTEGER NOT NULL); PRAGMA user_version = 1;"
                          "INSERT INTO players VALUES('old', '1234abcd', '" + test::stateValue(f) + "', 0)";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    auto submit = [](RankingStore& store, const std::u16string& name, int32_t level, int32_t steps, int64_t at) {
        test::StateFields f;
        f.level = level;
        f.steps = steps;
        Reply r = store.submit(name, test::stateValue(f), {}, at);
        return r.commit ? store.commit(*r.commit).status : r.status;
    };
    StoreOptions o;
    o.minIntervalMs = 0;
    {
        auto s = openSqliteStorage(path, error);
        ASSERT_TRUE(s) << error;
        RankingStore store(*s, o);
        ASSERT_TRUE(store.load(error)) << error;
        ASSERT_EQ(store.levels().waitFor(3), 54);
        // Timing starts at the first request, where the player stands: 6 cells from the goal.
        EXPECT_EQ(submit(store, u"old", 2, 100, 0), 200);
        EXPECT_EQ(submit(store, u"old", 3, 106, 300), 409);
        EXPECT_EQ(submit(store, u"old", 3, 106, 400), 200);
        EXPECT_EQ(submit(store, u"\u3042&=", 1, 0, 400), 200);
        EXPECT_EQ(submit(store, u"\u3042&=", 1, 12, 500), 200);
        EXPECT_EQ(store.pendingWrites(), 2u) << "the rise is written, its state is pending";
        ASSERT_TRUE(store.flush(error)) << error;
        EXPECT_EQ(submit(store, u"\u3042&=", 1, 13, 600), 200);
    }  // no flush: as after a kill -9
    auto s = openSqliteStorage(path, error);
    ASSERT_TRUE(s) << error;
    std::vector<StoredPlayer> rows;
    ASSERT_TRUE(s->loadAll(rows, error));
    auto row = std::find_if(rows.begin(), rows.end(), [](auto& r) { return r.name == "\xe3\x81\x82&="; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ(row->state.substr(24, 8), "0000000c") << "the flushed state: 12 steps";
    // The same name again: not inserted, and the first registration is reported.
    bool inserted = true;
    StoredPlayer existing;
    ASSERT_TRUE(s->registerPlayer({row->name, "ffffffff", row->state, 0, {}}, inserted, existing, error));
    EXPECT_FALSE(inserted);
    EXPECT_EQ(existing.pinHash, "1234abcd");
    RankingStore store(*s, o);
    ASSERT_TRUE(store.load(error)) << error;
    EXPECT_EQ(submit(store, u"old", 2, 106, 1000), 409) << "level 3 is stored: level 2 falls";
    // Level 3 began after the last state seen on level 2 (at 0, 100 steps); its shortest path
    // is 54 cells, 3 s at 18 a second.
    EXPECT_EQ(submit(store, u"old", 4, 154, 2900), 409);
    EXPECT_EQ(submit(store, u"old", 4, 153, 3100), 409);
    EXPECT_EQ(submit(store, u"old", 4, 154, 3100), 200);
}

TEST_F(SqliteStorageTest, OnlyPlayersStillAtLevelOneAndLongUnseenAreForgottenHereAndInTheDatabase) {
    std::string error;
    StoreOptions o;
    o.minIntervalMs = 0;
    auto registerIn = [&](RankingStore& store, const std::u16string& name, const test::StateFields& f) {
        Reply r = store.submit(name, test::stateValue(f), {}, 0);
        return r.commit ? store.commit(*r.commit).status : r.status;
    };
    test::StateFields one, two;
    two.level = 2;
    two.steps = 6;
    {
        auto s = openSqliteStorage(path, error);
        ASSERT_TRUE(s) << error;
        RankingStore store(*s, o);
        for (const char16_t* name : {u"quiet", u"climber", u"recent"}) ASSERT_EQ(registerIn(store, name, one), 200);
        Reply rise = store.submit(u"climber", test::stateValue(two), {}, 1000);
        ASSERT_TRUE(rise.commit);
        ASSERT_EQ(store.commit(*rise.commit).status, 200);
        ASSERT_TRUE(store.flush(error)) << error;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    const int64_t day = 86'400'000;
    std::string old = "UPDATE players SET updated_ms = " + std::to_string(now - 40 * day) + " WHERE name <> 'recent'";
    ASSERT_EQ(sqlite3_exec(db, old.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    auto s = openSqliteStorage(path, error);
    ASSERT_TRUE(s) << error;
    RankingStore store(*s, o);
    ASSERT_TRUE(store.load(error)) << error;
    store.waitIndexed();
    // A slice at a time: two calls of two players each find the one to forget.
    EXPECT_EQ(store.forgetQuiet(now - 30 * day, 2, error) + store.forgetQuiet(now - 30 * day, 2, error), 1u) << error;
    EXPECT_EQ(store.playerCount(), 2u);
    std::vector<StoredPlayer> rows;
    ASSERT_TRUE(s->loadAll(rows, error));
    std::vector<std::string> names;
    for (auto& r : rows) names.push_back(r.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"climber", "recent"}));
    test::StateFields other = one;
    other.pin = "99999999";
    EXPECT_EQ(registerIn(store, u"quiet", other), 200) << "the name is free again";
}

TEST_F(SqliteStorageTest, LevelPathsAreComputedPastTheTableInTheGamesOrderAndKeptInTheDatabase) {
    std::string error;
    auto s = openSqliteStorage(path, error);
    ASSERT_TRUE(s) << error;
    // The level table holds 10,000 levels: past it the generator runs on from its last entry.
    const int32_t past = embeddedLevelTable().levels + 1;
    auto work = makeMazeWork();
    std::vector<int32_t> grid(kGridCells);
    MazeRng after;
    ASSERT_TRUE(levelMaze(past, grid.data(), after, *work));
    const int32_t expected = shortestPathLength(grid.data(), mazeEdgeForLevel(past));
    {
        LevelPaths levels(*s);
        ASSERT_TRUE(levels.load(error)) << error;
        EXPECT_EQ(levels.path(3), -1) << "not known before it is asked for";
        EXPECT_EQ(levels.waitFor(3), 54);
        EXPECT_EQ(levels.waitFor(past), expected);
    }
    // Kept: known at once after a restart, except a stored level the table contradicts.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE levels SET rng_x = rng_x + 1, path = 1 WHERE level = 3", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    LevelPaths levels(*s);
    ASSERT_TRUE(levels.load(error)) << error;
    EXPECT_EQ(levels.path(past), expected);
    EXPECT_EQ(levels.path(past - 1), levels.waitFor(past - 1)) << "the level between, computed on the way";
    EXPECT_EQ(levels.waitFor(3), 54) << "computed again";
    std::vector<StoredLevel> rows;
    ASSERT_TRUE(s->loadLevels(rows, error)) << error;
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](auto& r) { return r.level == 3 && r.path == 54; }), 1)
        << "and stored right";
}

TEST_F(SqliteStorageTest, ADamagedFileIsRefusedWithItsName) {
    {
        std::ofstream out(path, std::ios::binary);
        std::string junk(8192, '\x5a');
        out << "SQLite format 3" << junk;
    }
    std::string error;
    EXPECT_FALSE(openSqliteStorage(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
}

TEST_F(SqliteStorageTest, AForeignRowStopsTheStart) {
    std::string error;
    {
        auto s = openSqliteStorage(path, error);
        ASSERT_TRUE(s) << error;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO players(name, pin_hash, state, updated_ms) VALUES('x','1234abcd','not a state',0)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto s = openSqliteStorage(path, error);
    ASSERT_TRUE(s) << error;
    RankingStore store(*s, StoreOptions{});
    EXPECT_FALSE(store.load(error));
    EXPECT_NE(error.find("invalid player row"), std::string::npos) << error;
}

TEST_F(SqliteStorageTest, ANewerSchemaIsRefused) {
    std::string error;
    { ASSERT_TRUE(openSqliteStorage(path, error)) << error; }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_FALSE(openSqliteStorage(path, error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

}  // namespace
}  // namespace orlith::server
