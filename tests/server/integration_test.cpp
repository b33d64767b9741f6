// The real orlith-server on loopback: HTTP edges over raw sockets, connection caps and bad
// clients, what survives a kill -9 and a clean stop, rises that must be walked, a database
// that is damaged, deleted, replaced, made read-only or full, and attackers spread over
// 127.0.0.0/8: readers that never read, PIN guessers. Then instances on one real PostgreSQL
// started by the test (skipped where PostgreSQL is not installed): two sharing players, one
// player's requests alternating between them, and a database that turns read-only or loses
// its table under a server.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "server/path_walker.h"
#include "server/server_process.h"
#include "server/server_test_util.h"
#include "support/stub_http_server.h"

namespace orlith::server {
namespace {

using namespace test;

using Clock = std::chrono::steady_clock;
std::string source(int i) { return "127.0.0." + std::to_string(2 + i); }
std::vector<RankingRecord> checked(ServerProcess& p) { return records(p.get("/state/change.php?mode=check").body); }

class Live : public ::testing::Test {
protected:
    bool start(std::vector<std::string> args) {
        args.insert(args.end(), {"--db", db()});
        return s.start(args);
    }
    // A clean stop (exit status 0), then a start with args.
    bool restart(std::vector<std::string> args) { return s.stop(SIGTERM) == 0 && start(std::move(args)); }
    std::string db() const { return dir.path + "/ranking.db"; }
    int status(const std::string& target, int from) { return static_cast<int>(s.request(target, source(from)).status); }
    int play(const std::u16string& nick, const StateFields& f) { return static_cast<int>(s.get(test::rankingTarget(nick, f)).status); }
    // Waits until /metrics holds the line.
    bool metric(const std::string& line) { return test::eventually([&] { return s.admin("/metrics").body.find(line + "\n") != std::string::npos; }); }
    // The player's line in a check with its PIN hash (level 0 when none).
    RankingRecord own(const std::string& nick, const std::string& pin) {
        const std::vector<RankingRecord> recs = records(s.get(checkTarget(nick, pin)).body);
        const RankingRecord* r = findRecord(recs, utf8ToUtf16(nick));
        return r ? *r : RankingRecord{};
    }
    test::TempDir dir;
    test::ServerProcess s;
};

TEST_F(Live, HttpAsClientsExpectItAndMalformedInputRefused) {
    ASSERT_TRUE(start({})) << s.output();
    const std::string ranking = "GET " + test::rankingTarget(u"headers", {}) + " HTTP/1.1\r\nConnection: close\r\n\r\n";
    // What the head or the body must hold (a pattern); every connection is read until the server closes it.
    const struct { bool admin; std::string request; std::string statusLine, contains; } cases[] = {
        {true, "GET /healthz HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK", "\r\n\r\nok\n"},
        {true, "HEAD /healthz HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", "Content-Length: 3\r\n"},
        {false, "GET /healthz HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found", "Connection: close\r\n"},
        {false, "GET /state/change.php?mode=check HTTP/1.0\r\nConnection: keep-alive\r\n\r\nGET /x HTTP/1.0\r\n\r\n",
         "HTTP/1.0 200 OK", "Connection: keep-alive\r\n"},  // kept open for the next, which closes it
        {false, "GET http://localhost/state/change.php?mode=check HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", ""},
        {false, ranking, "HTTP/1.1 200 OK", "headers\r\n"},  // a registration, answered after its commit
        {false, "GET /healthz HTTP/1.1\r\nX-Fill: " + std::string(9000, 'b') + "\r\n\r\n", "HTTP/1.1 431", ""},
        {false, "BLAH\r\n\r\n", "HTTP/1.1 400", ""},
        {false, "GET /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 413", "a request has no body here\r\n"},
        {false, "HEAD /state/change.php?mode=check HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", "Content-Length: "},
        {false, std::string("GET /state/change.php?name=a\0b HTTP/1.1\r\n\r\n", 43), "HTTP/1.1 400", ""},
        // Pipelined, a registration among them: every answer in its place.
        {false, "GET /nope HTTP/1.1\r\n\r\nGET " + test::rankingTarget(u"pipelined", {}) +
                    " HTTP/1.1\r\n\r\nGET /nope HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404", "pipelined\r\n[\\s\\S]*HTTP/1.1 404"},
    };
    for (const auto& c : cases) {
        std::string r = test::exchangeRaw(c.admin ? s.adminPort() : s.port(), c.request);
        EXPECT_TRUE(r.starts_with(c.statusLine)) << c.request.substr(0, 60) << " -> " << r.substr(0, 60);
        EXPECT_TRUE(std::regex_search(r, std::regex(c.contains))) << r.substr(0, 300);
        if (c.request.starts_with("HEAD")) EXPECT_TRUE(r.ends_with("\r\n\r\n")) << "no body: " << r;
    }
}

TEST_F(Live, SlowClientsAreCutOffAndConnectionsCappedPerAddressWithinTheOpenFileLimit) {
    s.openFileLimit = 120;
    ASSERT_TRUE(start({"--header-timeout-ms", "1500", "--idle-timeout-ms", "3000", "--max-connections", "10000",
                       "--max-connections-per-address", "5"}));
    EXPECT_NE(s.output().find("open-file limit 120: --max-connections trimmed from 10000 to 40"), std::string::npos) << s.output();
    // A request, half the next, then a stall: 408 once the time-out has passed since the next
    // began. Nothing at all: closed without a word.
    const auto t0 = Clock::now();
    int slow = test::connectLoopback(s.port()), quiet = test::connectLoopback(s.port());
    const char kSlow[] = "GET /healthz HTTP/1.1\r\n\r\nGET /healthz HTTP/1.1\r\nHo";
    send(slow, kSlow, sizeof kSlow - 1, MSG_NOSIGNAL);
    bool closed = false;
    std::string answer = test::readFor(slow, 30000, closed);
    EXPECT_TRUE(closed && answer.starts_with("HTTP/1.1 404") && answer.find("HTTP/1.1 408") != std::string::npos &&
                answer.ends_with("request timeout\r\n")) << answer;
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(1500)) << "not before the time-out";
    EXPECT_TRUE(test::readFor(quiet, 30000, closed).empty() && closed);
    for (int fd : {slow, quiet}) close(fd);
    EXPECT_TRUE(metric("orlith_requests_total{status=\"408\"} 1"));
    // Kept alive: asked again within the idle time-out (twice, past the first quiet spell's end),
    // it stays open; quiet for longer, it is closed. Timed from each reply, not the first wait.
    ASSERT_EQ(s.get("/healthz").status, 404);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i < 2 ? 2000 : 3500));
        EXPECT_EQ(s.get("/healthz").newConnections, i < 2 ? 0 : 1) << "after quiet spell " << i;
    }
    // The caps, on connections that no time-out ends while they are counted.
    ASSERT_TRUE(restart({"--header-timeout-ms", "3600000", "--max-connections", "10000", "--max-connections-per-address", "5"}));
    // One address holds its five; its sixth gets 503, another address still gets in.
    std::vector<int> held;
    for (int i = 0; i < 5; ++i) held.push_back(test::connectLoopback(s.port(), "127.0.0.2"));
    ASSERT_TRUE(metric("orlith_connections 5"));
    EXPECT_EQ(test::exchangeRaw(s.port(), "", "127.0.0.2").substr(0, 12), "HTTP/1.1 503") << "the sixth";
    EXPECT_EQ(status("/state/change.php?mode=check", 1), 200);
    ASSERT_TRUE(metric("orlith_connections 5"));
    // Every slot taken from more addresses: the game port refuses, the admin port serves.
    for (int i = 0; i < 35; ++i) held.push_back(test::connectLoopback(s.port(), source(2 + i / 5).c_str()));
    ASSERT_TRUE(metric("orlith_connections 40"));
    // However the kernel spread them over the two listening sockets, each loop serves half.
    EXPECT_TRUE(metric("orlith_loop_connections{loop=\"0\"} 20") && metric("orlith_loop_connections{loop=\"1\"} 20"));
    EXPECT_EQ(status("/state/change.php?mode=check", 9), 503);
    EXPECT_EQ(s.admin("/healthz").status, 200);
    for (int fd : held) close(fd);
    ASSERT_TRUE(metric("orlith_connections 0"));
    EXPECT_EQ(status("/state/change.php?mode=check", 9), 200) << "served again once they are gone";
    held.clear();
    // Slow clients holding half a request: three an address, eight a /24 (the flags below),
    // then 503 for a new connection there, while another /24 is served.
    ASSERT_TRUE(restart({"--header-timeout-ms", "3600000", "--max-partial-per-address", "3", "--max-partial-per-group", "8"}));
    for (int i = 0; i < 12; ++i) {
        held.push_back(test::connectLoopback(s.port(), source(i / 4).c_str()));
        send(held.back(), "GET /healthz HTTP/1.1\r\nHo", 25, MSG_NOSIGNAL);
    }
    // The fourth of each address, and the ninth and later of the block.
    EXPECT_TRUE(metric("orlith_requests_total{status=\"503\"} 4"));
    EXPECT_EQ(s.request("/state/change.php?mode=check", "127.0.1.2").status, 200) << "another block";
    EXPECT_EQ(status("/state/change.php?mode=check", 3), 503) << "the block, from a new address";
    for (int fd : held) close(fd);
    EXPECT_TRUE(test::eventually([&] { return status("/state/change.php?mode=check", 3) == 200; })) << "free again";
}

// A rise is committed as a registration is, before its answer (and written so: the storage test).
TEST_F(Live, NoRegistrationIsLostToKill9AndSigtermWritesEveryState) {
    ASSERT_TRUE(start({"--flush-ms", "1000", "--min-interval-ms", "0"})) << s.output();
    ASSERT_EQ(play(u"steady", {}), 200);
    test::HttpResult kept = s.get(test::rankingTarget(u"steady", {.steps = 17}));
    EXPECT_EQ(std::make_pair(kept.status, kept.newConnections), std::make_pair(200L, 0L)) << "answered on the kept connection";
    ASSERT_EQ(play(u"lastsecond", {.pin = "99999999"}), 200);
    // The count first (every look at /metrics is counted after it), and the states written by a flush.
    for (const char* line : {"orlith_requests_total{status=\"200\"} 3", "orlith_players 2", "orlith_live_players 2", "orlith_pending_writes 0"})
        ASSERT_TRUE(metric(line)) << line;
    s.stop(SIGKILL);  // the registration a moment ago must be there all the same
    ASSERT_TRUE(start({"--flush-ms", "600000", "--min-interval-ms", "0"})) << s.output();
    EXPECT_EQ(own("steady", "1234abcd").stepCount, 17) << "the flushed state";
    EXPECT_EQ(own("lastsecond", "99999999").level, 1);
    EXPECT_EQ(play(u"lastsecond", {.pin = "12121212"}), 403) << "the old hash still owns the name";
    EXPECT_EQ(play(u"steady", {.steps = 41}), 200);
    ASSERT_TRUE(restart({})) << s.output();
    EXPECT_EQ(own("steady", "1234abcd").stepCount, 41) << "written at the stop, not by a flush";
}

// (A damaged file refused at the start, with its name: the storage test; a start refused with the
// storage's reason: the read-only file below.)
TEST_F(Live, ADatabaseDeletedReplacedReadOnlyOrFullIsNeverServedSilently) {
    // Read-only is answered with a clean exit: the open file still takes the last states.
    const struct { const char* reason; void (*harm)(const std::string& db); int exitStatus; } cases[] = {
        {"was deleted", [](const std::string& db) { for (auto end : {"", "-wal", "-shm"}) unlink((db + end).c_str()); }, 1},
        {"was replaced", [](const std::string& db) {
             std::filesystem::copy_file(db, db + ".backup");
             std::filesystem::rename(db + ".backup", db);
         }, 1},
        {"is no longer writable", [](const std::string& db) { chmod(db.c_str(), 0444); }, 0},
    };
    for (const auto& c : cases) {
        test::TempDir d;
        // Root writes any file: the server runs as an unprivileged user, as in production.
        std::string user = geteuid() == 0 && getpwnam("nobody") ? "nobody" : "", path = d.path + "/ranking.db";
        if (!user.empty()) ASSERT_EQ(chown(d.path.c_str(), getpwnam("nobody")->pw_uid, getpwnam("nobody")->pw_gid), 0);
        ASSERT_TRUE(s.start({"--db", path, "--flush-ms", "60000", "--min-interval-ms", "0"}, "/", user)) << s.output();
        ASSERT_EQ(play(u"a", {}), 200);
        ASSERT_EQ(s.admin("/healthz").status, 200);
        c.harm(path);
        test::expectLoudFault(s, c.reason);
        test::expectLastWords(s, c.exitStatus);
        if (c.exitStatus == 0) {  // why read-only is a fault: the next start refuses the file, with its name
            EXPECT_FALSE(s.start({"--db", path}, "/", user));
            EXPECT_NE(s.output().find(path + " is read-only"), std::string::npos) << s.output();
        }
    }
    // A full disk: another writer fills the write-ahead log past all the server may write.
    s.fileSizeLimit = 256 * 1024;
    ASSERT_TRUE(start({"--flush-ms", "200", "--min-interval-ms", "0"})) << s.output();
    ASSERT_EQ(play(u"a", {}), 200);
    EXPECT_TRUE(metric("orlith_healthy 1"));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 30000);  // the server's flush may hold the write lock at that moment
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA wal_autocheckpoint = 0; CREATE TABLE filler (b BLOB);"
                                  "INSERT INTO filler VALUES (zeroblob(512 * 1024))", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(play(u"a", {.steps = 3}), 200);
    test::expectLoudFault(s, "disk I/O error");  // a file past its size limit; a full disk says "disk is full"
    std::string health;
    EXPECT_TRUE(test::eventually([&] { return (health = s.admin("/healthz").body).find("exceeds three flush intervals (0.6 s)") != std::string::npos; }))
        << health;
    EXPECT_TRUE(metric("orlith_healthy 0"));
    test::expectLastWords(s, 1);
    sqlite3_close(other);
}

TEST_F(Live, AReaderThatStopsReadingHoldsABoundedSendQueueAndThenGetsEveryReplyWhole) {
    ASSERT_TRUE(start({"--min-interval-ms", "0", "--max-registrations-per-address", "1000", "--max-registrations-per-group", "1000"})) << s.output();
    for (int i = 0; i < 150; ++i) ASSERT_EQ(play(test::numbered(u"filler", i), {}), 200);
    // The reply every check will get, once the view (a few ms behind the rises) holds them all.
    std::string whole;
    ASSERT_TRUE(test::eventually([&] { return (whole = s.get("/state/change.php?mode=check").body).find("filler149\r\n") != std::string::npos; }));
    // 1,000 pipelined checks of ~17 KB each (the last one closing), and no byte read back yet.
    int fd = test::connectLoopback(s.port(), "127.0.0.9");
    std::string burst;
    for (int i = 0; i < 1000; ++i)
        burst += std::string("GET /state/change.php?mode=check HTTP/1.1\r\nHost: x\r\n") + (i % 2 ? "Accept-Encoding: gzip\r\n" : "") +
                 (i == 999 ? "Connection: close\r\n" : "") + "\r\n";
    std::thread writer([&] { send(fd, burst.data(), burst.size(), MSG_NOSIGNAL); });
    // The server's side of the connection, until it is stuck on the reader (its send queue
    // beyond a reply and the same twice), within the bound the README states at every look:
    // Send-Q (third column) within twice SO_SNDBUF (32 KiB) plus the one segment that crossed
    // it (the kernel admits a write while below the limit; loopback's segments reach 64 KiB),
    // its socket memory likewise, and the unread requests (Recv-Q) in a small receive buffer.
    std::string command = "ss -tmnH state established '( sport = :" + std::to_string(s.port()) + " and dst 127.0.0.9 )' 2>&1";
    std::string out;
    long sendQ = -1, before = -2;
    bool stuck = test::eventually([&] {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        out.clear();
        for (char buf[512]; pipe && fgets(buf, sizeof buf, pipe.get());) out += buf;
        std::smatch m;
        if (!std::regex_search(out, m, std::regex(R"(^\s*(\d+)\s+(\d+)\s[\s\S]*,w(\d+),)"))) return false;
        before = std::exchange(sendQ, std::stol(m[2]));
        EXPECT_TRUE(sendQ <= 128 * 1024 && std::stol(m[3]) <= 160 * 1024 && std::stol(m[1]) <= 64 * 1024) << out;
        return sendQ > 16 * 1024 && sendQ == before;
    });
    // Then it reads: a reply a full send buffer took in part goes on where it stopped (a plain one
    // from the view's pieces, a gzip one from the copy it was sent from), and every reply arrives
    // whole, plain and gzip by turns, each kind the same (the last one closing).
    bool closed = false;
    const std::string got = test::readFor(fd, 60000, closed);
    writer.join();
    close(fd);
    EXPECT_TRUE(stuck) << "the reader is really stuck: " << out;
    EXPECT_TRUE(closed);
    std::string head[2], body[2];
    for (size_t k = 0, at = 0; k < 2; ++k) {
        const size_t end = got.find("\r\n\r\n", at);
        std::smatch m;
        head[k] = got.substr(at, end + 2 - at);
        body[k] = got.substr(end + 4, std::regex_search(head[k], m, std::regex("Content-Length: (\\d+)")) ? std::stoul(m[1]) : 0);
        at = end + 4 + body[k].size();
    }
    std::string expected;
    for (int i = 0; i < 1000; ++i) expected += head[i % 2] + (i == 999 ? "Connection: close\r\n\r\n" : "\r\n") + body[i % 2];
    const size_t at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin();
    EXPECT_TRUE(head[0].starts_with("HTTP/1.1 200 ") && body[0] == whole && body[1].starts_with("\x1f\x8b") && got == expected)
        << "from byte " << at << ": " << got.substr(at, 200);
    EXPECT_EQ(s.admin("/healthz").status, 200);
}

// (PIN guesses from many addresses over real sockets: the nginx test below, directly and through the proxy.)
TEST_F(Live, RepliesArePacedAndGzippedAndATypedEscapeIsTakenAsTyped) {
    ASSERT_TRUE(start({"--min-interval-ms", "300", "--max-registrations-per-address", "100"})) << s.output();
    // A typed "%41", sent as it stands as the game sends it: the raw text is the second candidate.
    auto asTyped = [&](const StateFields& g) {
        std::string state = test::stateValue(g);
        return "/state/change.php?name=50%41&state=" + state + utf16ToUtf8(makeChecksumTag(u"name=50%41&state=" + utf8ToUtf16(state)));
    };
    ASSERT_EQ(s.get(asTyped({})).status, 200);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(play(test::numbered(u"other", i), {}), 200);
    // A reply may come from a view built up to 25 ms before: once one lists all 31, so do the next.
    ASSERT_TRUE(eventually([&] { return checked(s).size() == 31; }));
    // Paced: the next reply to the same player comes no sooner than 300 ms after the last.
    auto t0 = std::chrono::steady_clock::now();
    test::HttpResult plain = s.request(asTyped({.steps = 1}), source(0), false);
    test::HttpResult zipped = s.request(asTyped({.steps = 2}), source(0), true);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(records(plain.body).size(), 31u);
    auto b = records(zipped.body);
    ASSERT_EQ(b.size(), 31u);
    EXPECT_EQ(utf16ToUtf8(b[0].name) + " " + std::to_string(b[0].stepCount), "50%41 2");
    EXPECT_LT(zipped.wireBytes * 3, static_cast<long>(zipped.body.size())) << "sent compressed";
}

// nginx from Debian in front of the server, with a configuration the server ships (its
// upstream and listening port replaced): the HTTP proxy, or the TCP proxy sending PROXY
// headers (stream). Stopped with the test.
constexpr const char* kStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";
struct Nginx {
    pid_t pid = -1;
    int port = 0;
    bool start(const std::string& dir, int upstream, bool stream) {
        std::ifstream in(stream ? ORLITH_NGINX_STREAM_CONF : ORLITH_NGINX_CONF);
        std::string shipped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = orlith::test::StubHttpServer([](const std::string&) { return std::string(); }).port();  // its listener gone: free
            std::ofstream(dir + "/orlith.conf") << std::regex_replace(
                std::regex_replace(shipped, std::regex("server 127.0.0.1:8080;"), "server 127.0.0.1:" + std::to_string(upstream) + ";"),
                std::regex("listen 8000;"), "listen 127.0.0.1:" + std::to_string(port) + ";");
            const std::string include = "include " + dir + "/orlith.conf;";
            std::ofstream(dir + "/nginx.conf") << (stream ? "load_module " + std::string(kStreamModule) + ";\n" : "")
                                               << "worker_processes 1; pid " << dir << "/nginx.pid; error_log " << dir
                                               << "/error.log;\nevents { worker_connections 1024; }\n"
                                               << (stream ? include : "http { access_log off; " + include + " }") << "\n";
            const pid_t parent = getpid();
            pid = fork();
            if (pid == 0) {
                test::dieWithParent(SIGTERM, parent);  // nginx's master then stops its workers
                execl("/usr/sbin/nginx", "nginx", "-c", (dir + "/nginx.conf").c_str(), "-p", dir.c_str(), "-g", "daemon off;", nullptr);
                _exit(127);
            }
            // Ready once it answers (the check passes through to the server); gone when the
            // port was taken meanwhile, and then tried again on another.
            bool up = test::eventually([&] {
                int status = 0;
                if (waitpid(pid, &status, WNOHANG) == pid) return pid = -1, true;
                return test::exchangeRaw(port, "GET /state/change.php?mode=check HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                    .starts_with("HTTP/1.1 200");
            });
            if (up && pid > 0) return true;
            if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0), pid = -1;  // never answered: not left behind
        }
        return false;
    }
    ~Nginx() { if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0); }
};

// Through nginx as an HTTP proxy (X-Forwarded-For), then as a TCP proxy (PROXY protocol
// headers, with raw ones beside it): the same attacks, the same answers.
TEST_F(Live, BehindNginxEachClientIsItsOwnAddressAndNoGuessRidesTheOwnersConnection) {
    if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "no nginx installed";
    for (bool stream : {false, true}) {
        if (stream && !std::filesystem::exists(kStreamModule)) GTEST_SKIP() << "no nginx stream module (libnginx-mod-stream)";
        for (auto end : {"", "-wal", "-shm"}) std::filesystem::remove(db() + end);
        // Behind PROXY headers the cap counts each client's connections, and a closed one may
        // still be counted for a moment when its client's next arrives: room for a few.
        std::vector<std::string> flags = {"--trusted-proxy", "127.0.0.1/32,::1", "--max-connections-per-address", stream ? "6" : "2",
                                          "--min-interval-ms", "0"};
        if (stream) flags.push_back("--proxy-protocol");
        ASSERT_TRUE(start(flags)) << s.output();
        Nginx nginx;
        ASSERT_TRUE(nginx.start(dir.path, s.port(), stream));
        auto via = [&](const std::string& target, int from) { return static_cast<int>(s.request(target, source(from), false, nginx.port).status); };
        const std::string pin = "0a0b0c0d";
        ASSERT_EQ(via(rankingTarget(u"victim", {.pin = pin}), 0), 200);
        // Twelve wrong hashes from twelve addresses through the proxy: the nickname's five judged.
        int judged = 0;
        for (int i = 0; i < 12; ++i) judged += via(rankingTarget(u"victim", {.pin = std::to_string(10000000 + i)}), 1 + i) == 403;
        EXPECT_EQ(judged, 5);
        // A request with a forged X-Forwarded-For naming the owner's address, raw.
        const std::string forgery = "GET " + rankingTarget(u"victim", {.pin = pin}) + " HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: " +
                                    source(0) + "\r\nConnection: close\r\n\r\n";
        auto forged = [&](int port, const char* from) { return test::exchangeRaw(port, forgery, from).substr(0, 12); };
        EXPECT_EQ(via(rankingTarget(u"victim", {.pin = pin, .steps = 1}), 0), 200) << "the owner through the proxy";
        // Directly: an untrusted peer is served without a PROXY header and closed unanswered with one.
        EXPECT_EQ(status(rankingTarget(u"victim", {.pin = pin, .steps = 2}), 0), stream ? 0 : 200) << "... and directly";
        EXPECT_EQ(via(rankingTarget(u"victim", {.pin = pin}), 20), 429) << "the right hash from elsewhere, on the owner's upstream connection";
        EXPECT_EQ(forged(nginx.port, "127.0.0.30"), "HTTP/1.1 429") << "the proxy's own address is the one believed";
        EXPECT_EQ(forged(s.port(), "127.0.0.31"), stream ? "" : "HTTP/1.1 429") << "an untrusted peer's header is not read";
        // Many players at once through the proxy's few addresses: no per-address cap counts them.
        std::vector<std::thread> players;
        std::atomic<int> served{0};
        for (int t = 0; t < 16; ++t) {
            players.emplace_back([&, t] {
                for (int i = 0; i < 8; ++i) served += via(rankingTarget(test::numbered(u"crowd", t), {.steps = i}), 40 + t) == 200;
            });
        }
        for (auto& t : players) t.join();
        EXPECT_EQ(served.load(), 128);
        if (stream) {
            // Raw binary headers from the trusted peer (nginx above sent text ones), each naming its
            // client: the owner's address and another; a health check's LOCAL is the proxy itself.
            auto v4 = [](int host) { return std::string("\x7F\0\0", 3) + char(host) + std::string("\x7F\0\0\x01\x30\x39\x1F\x40", 8); };
            const std::string right = "GET " + rankingTarget(u"victim", {.pin = pin, .steps = 3}) + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
            const struct { std::string head, request, from, answer; } rows[] = {
                {test::proxyV2(0x21, 0x11, v4(2)), right, "127.0.0.1", "HTTP/1.1 200"},
                {test::proxyV2(0x21, 0x11, v4(78)), right, "127.0.0.1", "HTTP/1.1 429"},
                {test::proxyV2(0x20, 0x00, ""), "GET /state/change.php?mode=check HTTP/1.1\r\nConnection: close\r\n\r\n", "127.0.0.1", "HTTP/1.1 200"},
                {"", right, "127.0.0.1", ""},                                      // no header: closed unanswered
                {"PROXY TCP4 127.0.0.2 127.0.0.1 12345 8000\r\n", right, "127.0.0.32", ""},  // from an untrusted peer
            };
            for (const auto& r : rows) EXPECT_EQ(test::exchangeRaw(s.port(), r.head + r.request, r.from.c_str()).substr(0, 12), r.answer) << r.head;
            for (const char* line : {"{reason=\"untrusted\"} 3", "{reason=\"bad\"} 1"}) EXPECT_TRUE(metric(std::string("orlith_proxy_refused_total") + line));
        }
        // The honest walker through the proxy, in real time: levels 1 and 2 as the game sends them.
        const auto begun = Clock::now();
        int frame = 0;
        walkShortestPaths(2, [&](const std::string& state) {
            std::this_thread::sleep_until(begun + std::chrono::milliseconds(++frame * 1000 / 60));
            if (frame % 3 == 0) ASSERT_EQ(via("/state/change.php?" + rankingQuery(u"walker", state), 60), 200) << "frame " << frame;
        });
        EXPECT_EQ(s.stop(SIGTERM), 0) << s.output();
    }
}

const std::string kPgBin = "/usr/lib/postgresql/15/bin/";

class Postgres : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kPgBin + "initdb")) GTEST_SKIP() << "no PostgreSQL server in " << kPgBin;
        if (geteuid() == 0) {
            if (!getpwnam("nobody")) GTEST_SKIP() << "running as root and no user 'nobody' to run PostgreSQL";
            asUser = "runuser -u nobody -- ";
            ASSERT_EQ(chown(dir.path.c_str(), getpwnam("nobody")->pw_uid, getpwnam("nobody")->pw_gid), 0);
        }
        // Reached only through its socket in the test's own directory: no port to compete for.
        ASSERT_EQ(run(kPgBin + "initdb -D " + dir.path + "/data -A trust -U orlith --no-sync -E UTF8 > " + dir.path + "/initdb.log 2>&1"), 0);
        ASSERT_EQ(run(kPgBin + "pg_ctl -D " + dir.path + "/data -l " + dir.path + "/pg.log -w -o \"-k " + dir.path +
                      " -c listen_addresses= -c fsync=off\" start > /dev/null 2>&1"), 0);
        started = true;
    }
    void TearDown() override { if (started) run(kPgBin + "pg_ctl -D " + dir.path + "/data -m immediate -w stop > /dev/null 2>&1"); }
    int run(const std::string& command) { return std::system((asUser + command).c_str()); }
    int sql(const std::string& statements) { return run("psql -q -h " + dir.path + " -U orlith -d postgres " + statements + " > /dev/null 2>&1"); }
    std::string query(const std::string& select) {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((asUser + "psql -tA -h " + dir.path + " -U orlith -d postgres -c \"" + select + "\"").c_str(), "r"), pclose);
        std::string out;
        for (char buf[256]; pipe && fgets(buf, sizeof buf, pipe.get());) out += buf;
        return out;
    }
    std::vector<std::string> args(std::vector<std::string> more = {}) const {
        more.insert(more.end(), {"--db", "postgresql://orlith@/postgres?host=" + dir.path, "--min-interval-ms", "0"});
        return more;
    }

    test::TempDir dir;
    std::string asUser;
    bool started = false;
};

TEST_F(Postgres, TwoInstancesShareNicknamesAndPlayersAndOnePlayerMayAlternateBetweenThem) {
    ServerProcess a, b;
    ASSERT_TRUE(a.start(args({"--max-registrations-per-address", "5"}))) << a.output();
    ASSERT_TRUE(b.start(args({"--max-registrations-per-address", "5"}))) << b.output();
    ASSERT_EQ(a.get(test::rankingTarget(u"alice", {.pin = "a11ce000"})).status, 200);
    // Registered through A: B refuses the name with another hash at once (the registration
    // is in the database before A replied).
    EXPECT_EQ(b.get(test::rankingTarget(u"alice", {.pin = "7417e700"})).status, 403);
    // Two look-alikes through the two at once: the database keeps one, and both list only that one.
    long statuses[2] = {0, 0};
    std::thread other([&] { statuses[1] = b.get(test::rankingTarget(u"Bobby", {.pin = "b0bb1e00"})).status; });
    statuses[0] = a.get(test::rankingTarget(u"bobby", {.pin = "b0bb1e01"})).status;
    other.join();
    ASSERT_EQ(std::multiset<long>(statuses, statuses + 2), (std::multiset<long>{200, 409}));
    const std::u16string stood = statuses[0] == 200 ? u"bobby" : u"Bobby", refused = statuses[0] == 200 ? u"Bobby" : u"bobby";
    for (ServerProcess* s : {&a, &b}) {
        std::vector<RankingRecord> recs;
        EXPECT_TRUE(eventually([&] { return findRecord(recs = checked(*s), stood); }));
        EXPECT_FALSE(findRecord(recs, refused));
    }
    // An address's new nicknames are one budget on both: five at once (and one per 6 s), not five each.
    const auto begun = Clock::now();
    long accepted = 0;
    for (int i = 0; i < 8; ++i) accepted += (i % 2 ? b : a).request(test::rankingTarget(test::numbered(u"newcomer", i), {}), "127.0.5.1").status == 200;
    EXPECT_TRUE(accepted >= 5 && accepted <= 5 + (Clock::now() - begun) / std::chrono::seconds(6)) << accepted;
    // They share the budgets: with that one, wrong hashes alternating between them from new
    // addresses are the nickname's five judged in all (per instance it was five each).
    int judged = 0;
    for (int i = 0; i < 12; ++i)
        judged += (i % 2 ? b : a).request(test::rankingTarget(u"alice", {.pin = std::to_string(20000000 + i)}), source(i)).status == 403;
    EXPECT_EQ(judged, 4);
    // One player whose every request goes to the other instance.
    ServerProcess* instances[2] = {&a, &b};
    int turn = 0;
    auto send = [&](int32_t level, int32_t steps) {
        const float start = static_cast<float>(2 * level + 1);  // the level's start cell
        return instances[turn++ % 2]->get(test::rankingTarget(u"walker", {.level = level, .steps = steps, .pos = {start, start, start}})).status;
    };
    for (int32_t steps = 0; steps < 4; ++steps) ASSERT_EQ(send(1, steps), 200) << steps;
    // Meanwhile A's player, with a later state, shows in B's replies (B reads the others'
    // changes every half second).
    ASSERT_EQ(a.get(test::rankingTarget(u"alice", {.pin = "a11ce000", .steps = 5})).status, 200);
    std::vector<RankingRecord> recs;
    EXPECT_TRUE(eventually([&] { return findRecord(recs = checked(b), u"alice") && findRecord(recs, u"alice")->stepCount == 5; }))
        << "B never listed A's player";
    // The instance that did not see a rise takes it from the database; neither lets the next
    // level come before it is walked (level 2's 24 cells, from the 2 or 3 steps the rise's
    // instance had seen), nor two levels at once.
    ASSERT_EQ(send(2, 6), 200);
    const auto rose = std::chrono::steady_clock::now();
    const int cases[][3] = {{2, 7, 200}, {3, 25, 409}, {3, 25, 409}, {4, 90, 409}, {4, 90, 409}, {2, 8, 200}};
    for (auto& c : cases) EXPECT_EQ(send(c[0], c[1]), c[2]) << c[0] << " on " << turn % 2;
    std::this_thread::sleep_until(rose + std::chrono::milliseconds(1350));  // level 2's 24 cells take 1.33 s
    EXPECT_EQ(send(3, 40), 200);
    a.stop(SIGKILL);
    turn = 1;
    EXPECT_EQ(send(3, 41), 200) << "B plays on";
    ASSERT_TRUE(a.start(args())) << a.output();
    EXPECT_EQ(a.output().find("disagree"), std::string::npos) << "the stored levels taken as they are: " << a.output();
    turn = 0;
    EXPECT_EQ(send(3, 42), 200) << "A again, with level 3 from the database";
    EXPECT_EQ(send(4, 60), 409) << "level 3 has 54 cells, from the 7 or 8 steps of the rise";
    EXPECT_EQ(a.stop(SIGTERM), 0) << a.output();
    EXPECT_EQ(b.stop(SIGTERM), 0) << b.output();
    // A database from before look-alike keys were kept, holding a look-alike: the upgrade gives
    // the key to the first in byte order ("BOBBY"), and both go on being listed.
    ASSERT_EQ(sql("-c 'ALTER TABLE players DROP COLUMN look_alike' -c 'UPDATE orlith_schema SET version = 3' -c \"INSERT INTO"
                  " players SELECT 'BOBBY', pin_hash, state, updated_ms FROM players WHERE name = 'alice'\""), 0);
    ASSERT_TRUE(a.start(args())) << a.output();
    EXPECT_EQ(query("SELECT string_agg(name, ' ') FROM players WHERE look_alike IS NULL"), utf16ToUtf8(stood) + "\n");
    recs = checked(a);
    EXPECT_TRUE(findRecord(recs, u"BOBBY") && findRecord(recs, stood));
    EXPECT_EQ(a.stop(SIGTERM), 0) << a.output();
}

TEST_F(Postgres, ADatabaseTurnedReadOnlyOrLosingItsTableIsNoticed) {
    ServerProcess s;
    ASSERT_TRUE(s.start(args({"--flush-ms", "60000"}))) << s.output();
    ASSERT_EQ(s.get(test::rankingTarget(u"a", {})).status, 200);
    ASSERT_EQ(sql("-c 'ALTER SYSTEM SET default_transaction_read_only = on' -c 'SELECT pg_reload_conf()'"), 0);
    test::expectLoudFault(s, "read-only transaction");
    // Writable again: the fault clears by itself.
    ASSERT_EQ(sql("-c 'SET default_transaction_read_only = off' -c 'ALTER SYSTEM RESET default_transaction_read_only'"
                  " -c 'SELECT pg_reload_conf()'"), 0);
    EXPECT_TRUE(test::eventually([&] { return s.admin("/healthz").status == 200; }));
    ASSERT_EQ(sql("-c 'DROP TABLE players'"), 0);
    test::expectLoudFault(s, "\"players\" does not exist");
    test::expectLastWords(s, 1);
}

}  // namespace
}  // namespace orlith::server
