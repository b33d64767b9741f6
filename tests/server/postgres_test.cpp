// Two server instances on one real PostgreSQL, started by the test in a temporary directory.
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

TEST_F(Postgres, TwoInstancesShareNicknamesAndSeeEachOthersPlayers) {
    ServerProcess a, b;
    ASSERT_TRUE(a.start({"--db", url(), "--flush-ms", "200"})) << a.output();
    ASSERT_TRUE(b.start({"--db", url(), "--flush-ms", "200"})) << b.output();

    StateFields alice;
    alice.pin = "a11ce000";
    ASSERT_EQ(a.get(test::rankingTarget(u"alice", alice)).status, 200);
    // Registered through A: B refuses the name with another hash at once (the registration
    // is in the database before A replied).
    StateFields thief = alice;
    thief.pin = "7417e700";
    EXPECT_EQ(b.get(test::rankingTarget(u"alice", thief)).status, 403);
    EXPECT_EQ(a.get(test::rankingTarget(u"alice", thief)).status, 403);

    // A's player, with a later state, shows in B's replies within about a second.
    alice.steps = 5;
    ASSERT_EQ(a.get(test::rankingTarget(u"alice", alice)).status, 200);
    StateFields bob;
    bob.pin = "b0b00000";
    bool seen = false;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 40 && !seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto r = b.get(test::rankingTarget(u"bob", bob));
        ASSERT_EQ(r.status, 200);
        seen = lists(r.body, u"alice", 5);
    }
    EXPECT_TRUE(seen) << "B never listed A's player";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
    // And the other way round.
    seen = false;
    for (int i = 0; i < 40 && !seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen = lists(a.get("/state/change.php?mode=check").body, u"bob", 0);
    }
    EXPECT_TRUE(seen) << "A never listed B's player";
    EXPECT_EQ(a.stop(SIGTERM), 0) << a.output();
    EXPECT_EQ(b.stop(SIGTERM), 0) << b.output();
}

}  // namespace
}  // namespace orlith::server
