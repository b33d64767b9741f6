// The real orlith-server on loopback: HTTP behaviour, bad clients, what survives a clean stop
// and a kill -9, rises that must be walked, and a database that is damaged, deleted, replaced,
// made read-only or full.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/null_platform.h"
#include "ranking/ranking.h"
#include "server/path_walker.h"
#include "server/server_process.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using test::HttpResult;
using test::ServerProcess;
using test::StateFields;
using test::TempDir;

std::vector<RankingRecord> records(const std::string& body) {
    std::vector<RankingRecord> out(kMaxRankingRecords);
    int32_t n = 0;
    parseRankingReply(body, out.data(), n, NullPlatform{});
    out.resize(static_cast<size_t>(n));
    return out;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

class Integration : public ::testing::Test {
protected:
    std::string db() const { return dir.path + "/ranking.db"; }
    TempDir dir;
};

TEST_F(Integration, ServesTheGameOverKeptAliveConnections) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--db", db()})) << s.output();
    StateFields f;
    HttpResult first = s.get(test::rankingTarget(u"\u3042lice&=", f));
    ASSERT_EQ(first.status, 200) << first.body;
    auto recs = records(first.body);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(std::u16string(recs[0].name), u"\u3042lice&=");
    f.steps = 3;
    HttpResult second = s.get(test::rankingTarget(u"\u3042lice&=", f));
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.newConnections, 0) << "the connection is kept alive";
    EXPECT_EQ(s.get("/state/change.php?mode=check").status, 200);
    EXPECT_EQ(s.admin("/healthz").body, "ok\n");
    HttpResult metrics = s.admin("/metrics");
    EXPECT_NE(metrics.body.find("orlith_requests_total{status=\"200\"} 4"), std::string::npos) << metrics.body;
    EXPECT_NE(metrics.body.find("orlith_players 1"), std::string::npos);
    EXPECT_NE(metrics.body.find("orlith_live_players 1"), std::string::npos);
    EXPECT_NE(metrics.body.find("orlith_flush_lag_seconds"), std::string::npos);
    EXPECT_EQ(s.get("/nothing").status, 404);
    EXPECT_EQ(s.get("/state/change.php?name=a%0D%0Ab").status, 400);
}

TEST_F(Integration, Http10PipeliningAndMalformedInput) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--db", db()})) << s.output();
    // HTTP/1.0 without keep-alive: one answer in HTTP/1.0, then the server closes.
    std::string r10 = test::exchangeRaw(s.adminPort(), "GET /healthz HTTP/1.0\r\n\r\n", 2000);
    EXPECT_TRUE(r10.starts_with("HTTP/1.0 200")) << r10;
    EXPECT_TRUE(r10.ends_with("ok\n"));
    // Three pipelined requests in one write: three answers, in order.
    std::string pipelined = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
                            "GET /nope HTTP/1.1\r\nHost: x\r\n\r\n"
                            "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::string rp = test::exchangeRaw(s.adminPort(), pipelined, 2000);
    size_t a = rp.find("HTTP/1.1 200"), b = rp.find("HTTP/1.1 404"), c = rp.rfind("HTTP/1.1 200");
    EXPECT_EQ(countOf(rp, "HTTP/1.1 "), 3u) << rp;
    EXPECT_TRUE(a < b && b < c && c != std::string::npos) << rp;
    // Oversized request line and oversized headers.
    std::string longLine = "GET /state/change.php?mode=check&name=" + std::string(9000, 'a') + "&pin=00000000 HTTP/1.1\r\n\r\n";
    std::string r1 = test::exchangeRaw(s.port(), longLine, 2000);
    EXPECT_TRUE(r1.starts_with("HTTP/1.1 431") || r1.starts_with("HTTP/1.1 400")) << r1.substr(0, 40);
    std::string bigHeader = "GET /healthz HTTP/1.1\r\nX-Fill: " + std::string(9000, 'b') + "\r\n\r\n";
    EXPECT_TRUE(test::exchangeRaw(s.port(), bigHeader, 2000).starts_with("HTTP/1.1 431"));
    EXPECT_TRUE(test::exchangeRaw(s.port(), "BLAH\r\n\r\n", 2000).starts_with("HTTP/1.1 400"));
    std::string withBody = test::exchangeRaw(s.port(), "GET /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 2000);
    EXPECT_TRUE(withBody.starts_with("HTTP/1.1 413") && withBody.ends_with("a request has no body here\r\n")) << withBody;
    EXPECT_TRUE(test::exchangeRaw(s.port(), "POST /state/change.php?mode=check HTTP/1.1\r\nHost: x\r\n"
                                            "Connection: close\r\n\r\n", 2000).starts_with("HTTP/1.1 405"));
    // A raw NUL or LF in the target is refused by the HTTP parser itself.
    EXPECT_TRUE(test::exchangeRaw(s.port(), std::string("GET /state/change.php?name=a\0b HTTP/1.1\r\n\r\n", 43), 2000)
                    .starts_with("HTTP/1.1 400"));
    EXPECT_EQ(s.get("/state/change.php?mode=check").status, 200) << "still serving";
}

TEST_F(Integration, StatusLinesAndHeadersAsHttpClientsExpectThem) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--db", db()})) << s.output();
    std::string ranking = test::rankingTarget(u"headers", StateFields{});
    struct Case {
        std::string request;
        std::string statusLine;
        const char* connection;  // the Connection header expected, or null for none
        int readMs = 2000;       // how long to read: a kept-alive connection is not closed
    } cases[] = {
        {"GET /state/change.php?mode=check HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK", "close"},
        {"GET /state/change.php?mode=check HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "HTTP/1.0 200 OK", "keep-alive", 300},
        {"GET /state/change.php?mode=check HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", nullptr},
        {"GET /nope HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "close"},
        // A registration (answered after its commit) and the same player again.
        {"GET " + ranking + " HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK", "close"},
        {"GET " + ranking + " HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK", "close"},
    };
    for (const Case& c : cases) {
        std::string r = test::exchangeRaw(s.port(), c.request, c.readMs);
        EXPECT_TRUE(r.starts_with(c.statusLine + "\r\n")) << r.substr(0, 60);
        size_t end = r.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << r;
        std::string head = r.substr(0, end + 2), body = r.substr(end + 4);
        EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nContent-Type: text/plain"), std::string::npos) << head;
        if (c.connection) {
            EXPECT_NE(head.find(std::string("\r\nConnection: ") + c.connection + "\r\n"), std::string::npos) << head;
        } else {
            EXPECT_EQ(head.find("Connection:"), std::string::npos) << head;
        }
    }
    // A registration pipelined between two requests: its answer still comes in its place.
    std::string newcomer = test::rankingTarget(u"pipelined", StateFields{});
    std::string rp = test::exchangeRaw(s.port(),
                                       "GET /nope HTTP/1.1\r\n\r\nGET " + newcomer +
                                           " HTTP/1.1\r\n\r\nGET /nope HTTP/1.1\r\nConnection: close\r\n\r\n",
                                       2000);
    size_t a = rp.find("HTTP/1.1 404"), b = rp.find("pipelined\r\n"), c = rp.find("HTTP/1.1 404", b);
    EXPECT_TRUE(a < b && b != std::string::npos && c != std::string::npos) << rp.substr(0, 300);
}

TEST_F(Integration, IdleAndSlowClientsAreCutOffAndConnectionsAreCapped) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--db", db(), "--idle-timeout-ms", "400", "--max-connections", "4"})) << s.output();
    // A client that sends half a request and stalls gets a 408 after the time-out; one that
    // sends nothing is closed without a word.
    int slow = test::connectLoopback(s.port()), quiet = test::connectLoopback(s.port());
    ASSERT_GE(slow, 0);
    send(slow, "GET /healthz HTTP/1.1\r\nHo", 25, MSG_NOSIGNAL);
    bool closed = false;
    auto t0 = std::chrono::steady_clock::now();
    std::string answer = test::readFor(slow, 3000, closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 408") && answer.ends_with("request timeout\r\n")) << answer;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_EQ(test::readFor(quiet, 3000, closed), "");
    EXPECT_TRUE(closed);
    close(slow);
    close(quiet);
    EXPECT_NE(s.admin("/metrics").body.find("orlith_requests_total{status=\"408\"} 1\n"), std::string::npos);
    // Four idle connections fill the cap; the fifth is answered 503 and closed.
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) held.push_back(test::connectLoopback(s.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string refused = test::exchangeRaw(s.port(), "GET /healthz HTTP/1.1\r\n\r\n", 1000);
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 503")) << refused;
    for (int fd : held) close(fd);
    // Once they are gone (or timed out) the server serves again.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(s.get("/state/change.php?mode=check").status, 200);
}

TEST_F(Integration, SigtermWritesEveryPendingState) {
    StateFields f;
    {
        ServerProcess s;
        ASSERT_TRUE(s.start({"--db", db(), "--flush-ms", "600000"})) << s.output();
        ASSERT_EQ(s.get(test::rankingTarget(u"term", f)).status, 200);
        f.steps = 41;
        ASSERT_EQ(s.get(test::rankingTarget(u"term", f)).status, 200);
        EXPECT_EQ(s.stop(SIGTERM), 0) << s.output();
    }
    ServerProcess again;
    ASSERT_TRUE(again.start({"--db", db()})) << again.output();
    auto recs = records(again.get("/state/change.php?mode=check&name=term&pin=" + f.pin).body);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(std::u16string(recs[0].name), u"term");
    EXPECT_EQ(recs[0].stepCount, 41);
    EXPECT_EQ(std::string(recs[0].pinHash, recs[0].pinHash + 8), f.pin);
}

TEST_F(Integration, AfterKill9NoRegistrationNorRiseIsLostAndThePlayerPlaysOn) {
    StateFields f, g, climber;
    g.pin = "99999999";
    auto sleepMs = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    {
        ServerProcess s;
        ASSERT_TRUE(s.start({"--db", db(), "--flush-ms", "1000", "--min-interval-ms", "0"})) << s.output();
        ASSERT_EQ(s.get(test::rankingTarget(u"steady", f)).status, 200);
        ASSERT_EQ(s.get(test::rankingTarget(u"climber", climber)).status, 200);
        f.steps = 17;
        ASSERT_EQ(s.get(test::rankingTarget(u"steady", f)).status, 200);
        // Level 1's path is 6 cells and level 2's 24: a third of a second, then 1.33 s more.
        sleepMs(400);
        climber.level = 2;
        climber.steps = 6;
        ASSERT_EQ(s.get(test::rankingTarget(u"climber", climber)).status, 200);
        sleepMs(1000);
        climber.level = 3;
        climber.steps = 30;
        ASSERT_EQ(s.get(test::rankingTarget(u"climber", climber)).status, 200);
        ASSERT_EQ(s.get(test::rankingTarget(u"lastsecond", g)).status, 200);
        s.stop(SIGKILL);  // the rises and the registration a moment ago must be there all the same
    }
    ServerProcess again;
    ASSERT_TRUE(again.start({"--db", db(), "--min-interval-ms", "0"})) << again.output();
    auto steady = records(again.get("/state/change.php?mode=check&name=steady&pin=" + f.pin).body);
    ASSERT_FALSE(steady.empty());
    EXPECT_EQ(std::u16string(steady[0].name), u"steady");
    EXPECT_EQ(steady[0].stepCount, 17) << "a second passed: the state was flushed";
    auto risen = records(again.get("/state/change.php?mode=check&name=climber&pin=" + climber.pin).body);
    ASSERT_FALSE(risen.empty());
    EXPECT_EQ(risen[0].level, 3);
    auto last = records(again.get("/state/change.php?mode=check&name=lastsecond&pin=" + g.pin).body);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(std::u16string(last[0].name), u"lastsecond");
    // The old hash still owns the name after the crash.
    StateFields thief = g;
    thief.pin = "12121212";
    EXPECT_EQ(again.get(test::rankingTarget(u"lastsecond", thief)).status, 403);
    // The climber plays on: its state, then level 4 once level 3's 54 cells could be walked.
    climber.steps = 40;
    EXPECT_EQ(again.get(test::rankingTarget(u"climber", climber)).status, 200);
    climber.level = 4;
    climber.steps = 60;
    EXPECT_EQ(again.get(test::rankingTarget(u"climber", climber)).status, 409) << "too soon";
    sleepMs(2700);
    EXPECT_EQ(again.get(test::rankingTarget(u"climber", climber)).status, 200) << again.output();
}

TEST_F(Integration, AClimbingScriptIsHeldToTheMazeWhileAPlayerWalkingItRises) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--db", db(), "--min-interval-ms", "0"})) << s.output();
    // The walker sends its state every frame until it has walked level 1's 6 cells, the script
    // the next level as fast as it is answered (its step count far ahead).
    test::PathWalker walker;
    StateFields f;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(s.request(test::rankingTarget(u"script", f), "127.0.0.2", false).status, 200);
    std::atomic<bool> walking = true;
    std::thread script([&] {
        while (walking) {
            f.level += 1;
            f.steps = 1000 * f.level;
            if (s.request(test::rankingTarget(u"script", f), "127.0.0.2", false).status != 200) f.level -= 1;
        }
    });
    auto next = std::chrono::steady_clock::now();
    std::vector<long> statuses;
    for (int frame = 0; walker.level() == 1 && frame < 600; ++frame) {
        walker.frame();
        statuses.push_back(s.get("/state/change.php?" + test::rankingQuery(u"walker", walker.stateValue())).status);
        std::this_thread::sleep_until(next += std::chrono::microseconds(16667));
    }
    // The script goes on to 2.6 s: level 2 after a third of a second, level 3 after 1.33 s (at
    // the latest at the next whole second: up to then 120 refusals a second use up its
    // requests), level 4 not before 3.3 s.
    std::this_thread::sleep_until(start + std::chrono::milliseconds(2600));
    walking = false;
    script.join();
    EXPECT_EQ(walker.level(), 2);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), static_cast<long>(statuses.size()));
    EXPECT_GE(f.level, 3);
    EXPECT_LE(f.level, std::chrono::steady_clock::now() - start < std::chrono::milliseconds(3300) ? 3 : 4);
}

TEST_F(Integration, ACorruptDatabaseStopsTheStartWithAClearError) {
    {
        std::ofstream out(db(), std::ios::binary);
        out << "this is not a database" << std::string(5000, 'x');
    }
    ServerProcess s;
    EXPECT_FALSE(s.start({"--db", db()}));
    EXPECT_EQ(s.waitExit(), -1) << "already exited";
    EXPECT_NE(s.output().find("database"), std::string::npos) << s.output();
    EXPECT_NE(s.output().find(db()), std::string::npos) << s.output();
}

TEST_F(Integration, ADatabaseDeletedReplacedOrMadeReadOnlyIsNoticedWithinASecond) {
    struct Case {
        const char* reason;
        void (*harm)(const std::string& db);
        int exitStatus;  // read-only: the open file still takes the last states
    } cases[] = {
        {"was deleted", [](const std::string& db) { for (auto end : {"", "-wal", "-shm"}) unlink((db + end).c_str()); }, 1},
        {"was replaced", [](const std::string& db) {
             std::filesystem::copy_file(db, db + ".backup");
             std::filesystem::rename(db + ".backup", db);
         }, 1},
        {"is no longer writable", [](const std::string& db) { chmod(db.c_str(), 0444); }, 0},
    };
    for (const Case& c : cases) {
        TempDir d;
        // Root writes any file: the server runs as an unprivileged user, as in production.
        std::string user = geteuid() == 0 && getpwnam("nobody") ? "nobody" : "";
        if (!user.empty()) ASSERT_EQ(chown(d.path.c_str(), getpwnam("nobody")->pw_uid, getpwnam("nobody")->pw_gid), 0);
        ServerProcess s;
        std::string path = d.path + "/ranking.db";
        ASSERT_TRUE(s.start({"--db", path, "--flush-ms", "60000", "--min-interval-ms", "0"}, "/", user)) << s.output();
        ASSERT_EQ(s.get(test::rankingTarget(u"a", StateFields{})).status, 200);
        ASSERT_EQ(s.admin("/healthz").status, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        c.harm(path);
        test::expectLoudFault(s, c.reason);
        test::expectLastWords(s, c.exitStatus);
        if (c.exitStatus == 0) {
            // Why read-only is a fault: the next start refuses the file, with its name.
            ServerProcess again;
            EXPECT_FALSE(again.start({"--db", path}, "/", user));
            EXPECT_NE(again.output().find(path + " is read-only"), std::string::npos) << again.output();
        }
    }
}

TEST_F(Integration, AFullDiskFailsHealthAndRisesAndTheExitNamesWhatWasNotWritten) {
    ServerProcess s;
    s.fileSizeLimit = 256 * 1024;
    ASSERT_TRUE(s.start({"--db", db(), "--flush-ms", "200", "--min-interval-ms", "0"})) << s.output();
    ASSERT_EQ(s.get(test::rankingTarget(u"a", StateFields{})).status, 200);
    EXPECT_NE(s.admin("/metrics").body.find("orlith_healthy 1\n"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // Another writer fills the write-ahead log past all the server may write: its next
    // write fails as on a full disk.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA wal_autocheckpoint = 0; CREATE TABLE filler (b BLOB);"
                                  "INSERT INTO filler VALUES (zeroblob(512 * 1024))", nullptr, nullptr, nullptr), SQLITE_OK);
    StateFields a;
    a.steps = 3;
    ASSERT_EQ(s.get(test::rankingTarget(u"a", a)).status, 200);
    test::expectLoudFault(s, "disk I/O error");  // a file past its size limit; a full disk says "disk is full"
    std::string health;
    for (int i = 0; i < 40 && health.find("exceeds three flush intervals (0.6 s)") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        health = s.admin("/healthz").body;
    }
    EXPECT_NE(health.find("exceeds three flush intervals (0.6 s)"), std::string::npos) << health;
    EXPECT_NE(s.admin("/metrics").body.find("orlith_healthy 0\n"), std::string::npos);
    test::expectLastWords(s, 1);
    sqlite3_close(other);
}

}  // namespace
}  // namespace orlith::server
