// Server instances on one real PostgreSQL, started by the test in a temporary directory: two
// sharing players (one player's requests alternating between them), and a database that turns
// read-only or loses its table under a server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/null_platform.h"
#include "ranking/ranking.h"
#include "server/server_process.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using test::ServerProcess;
using test::StateFields;

const char* const kPgBin = "/usr/lib/postgresql/15/bin";

int freePort() {
    // Asking the kernel for a port, then releasing it just before PostgreSQL binds it.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

class Postgres : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::string(kPgBin) + "/initdb")) {
            GTEST_SKIP() << "PostgreSQL server binaries not found in " << kPgBin << " (package postgresql)";
        }
        if (geteuid() == 0) {
            if (!getpwnam("nobody")) GTEST_SKIP() << "running as root and no user 'nobody' to run PostgreSQL";
            asUser = "runuser -u nobody -- ";
            ASSERT_EQ(chown(dir.path.c_str(), getpwnam("nobody")->pw_uid, getpwnam("nobody")->pw_gid), 0);
        }
        data = dir.path + "/data";
        port = freePort();
        ASSERT_EQ(run(std::string(kPgBin) + "/initdb -D " + data + " -A trust -U orlith --no-sync -E UTF8 > " +
                      dir.path + "/initdb.log 2>&1"), 0);
        ASSERT_EQ(run(std::string(kPgBin) + "/pg_ctl -D " + data + " -l " + dir.path + "/pg.log -w -o \"-p " +
                      std::to_string(port) + " -k " + dir.path + " -c listen_addresses=127.0.0.1 -c fsync=off\" start > " +
                      dir.path + "/pgctl.log 2>&1"), 0);
        started = true;
    }
    void TearDown() override {
        if (started) run(std::string(kPgBin) + "/pg_ctl -D " + data + " -m immediate -w stop > /dev/null 2>&1");
    }
    int run(const std::string& command) { return std::system((asUser + command).c_str()); }
    int sql(const std::string& statements) {
        return run("psql -q -h 127.0.0.1 -p " + std::to_string(port) + " -U orlith -d postgres " + statements +
                   " > /dev/null 2>&1");
    }
    std::string url() const { return "postgresql://orlith@127.0.0.1:" + std::to_string(port) + "/postgres"; }

    test::TempDir dir;
    std::string asUser, data;
    int port = 0;
    bool started = false;
};

std::vector<RankingRecord> records(const std::string& body) {
    std::vector<RankingRecord> out(kMaxRankingRecords);
    int32_t n = 0;
    parseRankingReply(body, out.data(), n, NullPlatform{});
    out.resize(static_cast<size_t>(n));
    return out;
}

bool lists(const std::string& body, const std::u16string& name, int32_t steps) {
    for (auto& r : records(body)) {
        if (name == r.name && r.stepCount == steps) return true;
    }
    return false;
}

TEST_F(Postgres, TwoInstancesShareNicknamesAndPlayersAndOnePlayerMayAlternateBetweenThem) {
    ServerProcess a, b;
    ASSERT_TRUE(a.start({"--db", url(), "--min-interval-ms", "0"})) << a.output();
    ASSERT_TRUE(b.start({"--db", url(), "--min-interval-ms", "0"})) << b.output();
    StateFields alice;
    alice.pin = "a11ce000";
    ASSERT_EQ(a.get(test::rankingTarget(u"alice", alice)).status, 200);
    // Registered through A: B refuses the name with another hash at once (the registration
    // is in the database before A replied).
    StateFields thief = alice;
    thief.pin = "7417e700";
    EXPECT_EQ(b.get(test::rankingTarget(u"alice", thief)).status, 403);
    EXPECT_EQ(a.get(test::rankingTarget(u"alice", thief)).status, 403);

    // One player whose every request goes to the other instance.
    ServerProcess* instances[2] = {&a, &b};
    int turn = 0;
    StateFields f;
    auto send = [&](int32_t level, int32_t steps) {
        f.level = level;
        f.steps = steps;
        return instances[turn++ % 2]->get(test::rankingTarget(u"walker", f)).status;
    };
    for (int32_t steps = 0; steps < 4; ++steps) ASSERT_EQ(send(1, steps), 200) << steps;
    // Meanwhile A's player, with a later state, shows in B's replies within about a second.
    alice.steps = 5;
    ASSERT_EQ(a.get(test::rankingTarget(u"alice", alice)).status, 200);
    auto t0 = std::chrono::steady_clock::now();
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(4)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen = lists(b.get("/state/change.php?mode=check").body, u"alice", 5);
    }
    EXPECT_TRUE(seen) << "B never listed A's player";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // level 1: 6 cells, a third of a second
    // The instance that did not see a rise takes it from the database; neither lets the next
    // level come before it can be walked.
    struct Case {
        int32_t level, steps;
        int status;
    } cases[] = {{2, 6, 200}, {2, 7, 200}, {3, 40, 409}, {3, 40, 409}, {4, 90, 409}, {4, 90, 409}, {2, 8, 200}};
    for (const Case& c : cases) EXPECT_EQ(send(c.level, c.steps), c.status) << c.level << " on " << turn % 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(1400));  // level 2: 24 cells
    EXPECT_EQ(send(3, 40), 200);
    a.stop(SIGKILL);
    turn = 1;
    EXPECT_EQ(send(3, 41), 200) << "B plays on";
    ASSERT_TRUE(a.start({"--db", url(), "--min-interval-ms", "0"})) << a.output();
    turn = 0;
    EXPECT_EQ(send(3, 42), 200) << "A again, with level 3 from the database";
    EXPECT_EQ(send(4, 100), 409) << "level 3 has 54 cells";
    EXPECT_EQ(a.stop(SIGTERM), 0) << a.output();
    EXPECT_EQ(b.stop(SIGTERM), 0) << b.output();
}

TEST_F(Postgres, ADatabaseTurnedReadOnlyOrLosingItsTableIsNoticedWithinASecond) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--db", url(), "--flush-ms", "60000", "--min-interval-ms", "0"})) << s.output();
    ASSERT_EQ(s.get(test::rankingTarget(u"a", StateFields{})).status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_EQ(sql("-c 'ALTER SYSTEM SET default_transaction_read_only = on' -c 'SELECT pg_reload_conf()'"), 0);
    test::expectLoudFault(s, "read-only transaction");
    // Writable again: the fault clears by itself.
    ASSERT_EQ(sql("-c 'SET default_transaction_read_only = off' -c 'ALTER SYSTEM RESET default_transaction_read_only'"
                  " -c 'SELECT pg_reload_conf()'"), 0);
    int waited = 0;
    for (; waited < 2000 && s.admin("/healthz").status != 200; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(waited, 1000);
    ASSERT_EQ(sql("-c 'DROP TABLE players'"), 0);
    test::expectLoudFault(s, "\"players\" does not exist");
    test::expectLastWords(s, 1);
}

}  // namespace
}  // namespace orlith::server
