// The real orlith-server on loopback: HTTP behaviour, bad clients, and what survives a
// clean stop, a kill -9, and a database it must not use.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/null_platform.h"
#include "ranking/ranking.h"
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
    // A client that sends half a request and stalls is closed after the time-out.
    int slow = test::connectLoopback(s.port());
    ASSERT_GE(slow, 0);
    send(slow, "GET /healthz HTTP/1.1\r\nHo", 25, MSG_NOSIGNAL);
    bool closed = false;
    auto t0 = std::chrono::steady_clock::now();
    test::readFor(slow, 3000, closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    close(slow);
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
        f.level = 2;
        ASSERT_EQ(s.get(test::rankingTarget(u"term", f)).status, 200);
        EXPECT_EQ(s.stop(SIGTERM), 0) << s.output();
    }
    ServerProcess again;
    ASSERT_TRUE(again.start({"--db", db()})) << again.output();
    auto recs = records(again.get("/state/change.php?mode=check&name=term&pin=" + f.pin).body);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(std::u16string(recs[0].name), u"term");
    EXPECT_EQ(recs[0].stepCount, 41);
    EXPECT_EQ(recs[0].level, 2);
    EXPECT_EQ(std::string(recs[0].pinHash, recs[0].pinHash + 8), f.pin);
}

TEST_F(Integration, AfterKill9NoRegistrationIsLostAndStatesAreAtMostOneFlushOld) {
    StateFields f;
    StateFields g;
    g.pin = "99999999";
    {
        ServerProcess s;
        ASSERT_TRUE(s.start({"--db", db(), "--flush-ms", "200"})) << s.output();
        ASSERT_EQ(s.get(test::rankingTarget(u"steady", f)).status, 200);
        f.steps = 17;
        ASSERT_EQ(s.get(test::rankingTarget(u"steady", f)).status, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // over three flush intervals
        ASSERT_EQ(s.get(test::rankingTarget(u"lastsecond", g)).status, 200);
        s.stop(SIGKILL);  // registered just now: must be there all the same
    }
    ServerProcess again;
    ASSERT_TRUE(again.start({"--db", db()})) << again.output();
    auto steady = records(again.get("/state/change.php?mode=check&name=steady&pin=" + f.pin).body);
    ASSERT_FALSE(steady.empty());
    EXPECT_EQ(std::u16string(steady[0].name), u"steady");
    EXPECT_EQ(steady[0].stepCount, 17);
    auto last = records(again.get("/state/change.php?mode=check&name=lastsecond&pin=" + g.pin).body);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(std::u16string(last[0].name), u"lastsecond");
    // The old hash still owns the name after the crash.
    StateFields thief = g;
    thief.pin = "12121212";
    EXPECT_EQ(again.get(test::rankingTarget(u"lastsecond", thief)).status, 403);
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

TEST_F(Integration, AReadOnlyDatabaseStopsTheStartWithAClearError) {
    {
        ServerProcess s;
        ASSERT_TRUE(s.start({"--db", db()})) << s.output();
        ASSERT_EQ(s.get(test::rankingTarget(u"someone", StateFields{})).status, 200);
        ASSERT_EQ(s.stop(SIGTERM), 0);
    }
    // Root writes any file, so as root the server runs as an unprivileged user instead.
    std::string user;
    if (geteuid() == 0) {
        if (!getpwnam("nobody")) GTEST_SKIP() << "running as root and no user 'nobody' to drop to";
        user = "nobody";
    } else {
        chmod(db().c_str(), 0444);
    }
    chmod(dir.path.c_str(), 0755);
    ServerProcess s;
    EXPECT_FALSE(s.start({"--db", db()}, "/", user)) << s.output();
    EXPECT_NE(s.output().find("read-only"), std::string::npos) << s.output();
}

}  // namespace
}  // namespace orlith::server
