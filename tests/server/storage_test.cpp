// SQLite storage on real files: durability across reopen, conflicts, and refusing damaged,
// foreign or newer databases at start.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
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

TEST_F(SqliteStorageTest, OnlyPlayersStillAtLevelOneAndLongUnseenAreForgottenHereAndInTheDatabase) {
    std::string error;
    StoreOptions o;
    o.minIntervalMs = 0;
    auto registerIn = [&](RankingStore& store, const std::u16string& name, const test::StateFields& f) {
        Reply r = store.submit(name, test::stateValue(f), {}, 0);
        return r.registration ? store.commit(*r.registration).status : r.status;
    };
    test::StateFields one, two;
    two.level = 2;
    {
        auto s = openSqliteStorage(path, error);
        ASSERT_TRUE(s) << error;
        RankingStore store(*s, o);
        for (const char16_t* name : {u"quiet", u"climber", u"recent"}) ASSERT_EQ(registerIn(store, name, one), 200);
        ASSERT_EQ(store.submit(u"climber", test::stateValue(two), {}, 10).status, 200);
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
