// SQLite storage on real files: durability across reopen, conflicts, and refusing damaged,
// foreign or newer databases at start.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

TEST_F(SqliteStorageTest, RegistrationsAndStatesSurviveAReopen) {
    test::StateFields f;
    std::string state = test::stateValue(f);
    std::string error;
    {
        auto s = openSqliteStorage(path, error);
        ASSERT_TRUE(s) << error;
        bool inserted = false;
        StoredPlayer existing;
        ASSERT_TRUE(s->registerPlayer({"\xe3\x81\x82&=", "1234abcd", state, 0}, inserted, existing, error));
        EXPECT_TRUE(inserted);
        f.steps = 77;
        ASSERT_TRUE(s->writeStates({{"\xe3\x81\x82&=", test::stateValue(f)}}, error)) << error;
        // The same name again: not inserted, and the first registration is reported.
        ASSERT_TRUE(s->registerPlayer({"\xe3\x81\x82&=", "ffffffff", state, 0}, inserted, existing, error));
        EXPECT_FALSE(inserted);
        EXPECT_EQ(existing.pinHash, "1234abcd");
    }
    auto s = openSqliteStorage(path, error);
    ASSERT_TRUE(s) << error;
    std::vector<StoredPlayer> rows;
    ASSERT_TRUE(s->loadAll(rows, error));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "\xe3\x81\x82&=");
    EXPECT_EQ(rows[0].state, test::stateValue(f));
}

TEST_F(SqliteStorageTest, TheStoreFlushesPendingStatesAndLoadsThemBack) {
    std::string error;
    test::StateFields f;
    {
        auto s = openSqliteStorage(path, error);
        ASSERT_TRUE(s) << error;
        RankingStore store(*s, [] { StoreOptions o; o.minIntervalMs = 0; return o; }());
        Reply first = store.submit(u"carol", test::stateValue(f), {}, 0);
        ASSERT_TRUE(first.registration);
        ASSERT_EQ(store.commit(*first.registration).status, 200);
        f.steps = 12;
        f.level = 2;
        ASSERT_EQ(store.submit(u"carol", test::stateValue(f), {}, 10).status, 200);
        EXPECT_EQ(store.pendingWrites(), 1u);
        ASSERT_TRUE(store.flush(error)) << error;
        EXPECT_EQ(store.pendingWrites(), 0u);
    }
    auto s = openSqliteStorage(path, error);
    ASSERT_TRUE(s) << error;
    RankingStore store(*s, StoreOptions{});
    ASSERT_TRUE(store.load(error)) << error;
    EXPECT_EQ(store.playerCount(), 1u);
    // The loaded state is the base of the rules: level 2 may not fall back to 1.
    test::StateFields back = f;
    back.level = 1;
    EXPECT_EQ(store.submit(u"carol", test::stateValue(back), {}, 5000).status, 409);
    EXPECT_EQ(store.submit(u"carol", test::stateValue(f), {}, 5000).status, 200);
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
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO players VALUES('x','1234abcd','not a state',0)", nullptr, nullptr, nullptr),
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
