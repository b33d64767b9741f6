// The real orlith-server on loopback, tried as attackers and odd clients would: one address
// taking every slot, readers that never read, PIN guessing from many addresses, junk
// registrations, a low open-file limit, and the edges of HTTP. Sources vary over 127.0.0.0/8.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <thread>

#include "platform/null_platform.h"
#include "ranking/ranking.h"
#include "server/server_process.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using test::ServerProcess;
using test::StateFields;

std::vector<RankingRecord> records(const std::string& body) {
    std::vector<RankingRecord> out(kMaxRankingRecords);
    int32_t n = 0;
    parseRankingReply(body, out.data(), n, NullPlatform{});
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string source(int i) { return "127.0.0." + std::to_string(2 + i); }

class Attack : public ::testing::Test {
protected:
    bool start(std::vector<std::string> args) {
        args.insert(args.end(), {"--db", dir.path + "/ranking.db"});
        return s.start(args);
    }
    int status(const std::string& target, int from) { return static_cast<int>(s.request(target, source(from), false).status); }
    test::TempDir dir;
    ServerProcess s;
};

TEST_F(Attack, OneAddressCannotTakeEverySlotNorReachTheAdminListener) {
    ASSERT_TRUE(start({"--max-connections", "12", "--max-connections-per-address", "5"})) << s.output();
    std::vector<int> held;
    for (int i = 0; i < 5; ++i) held.push_back(test::connectLoopback(s.port(), "127.0.0.2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string refused = test::exchangeRaw(s.port(), "GET /state/change.php?mode=check HTTP/1.1\r\n\r\n", 500);
    EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 200") << "127.0.0.1 still gets in";
    int sixth = test::connectLoopback(s.port(), "127.0.0.2");
    bool closed = false;
    EXPECT_EQ(test::readFor(sixth, 1000, closed).substr(0, 12), "HTTP/1.1 503");
    close(sixth);
    // Fill every slot from a few more addresses: the game port refuses, the admin port serves.
    for (int i = 0; i < 7; ++i) held.push_back(test::connectLoopback(s.port(), i < 5 ? "127.0.0.3" : "127.0.0.4"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status("/state/change.php?mode=check", 5), 503);
    EXPECT_EQ(s.admin("/healthz").status, 200);
    EXPECT_NE(s.admin("/metrics").body.find("orlith_connections 12"), std::string::npos);
    for (int fd : held) close(fd);
}

TEST_F(Attack, AReaderThatNeverReadsHoldsABoundedSendQueue) {
    ASSERT_TRUE(start({"--min-interval-ms", "0", "--max-registrations-per-address", "1000"})) << s.output();
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(s.get(test::rankingTarget(u"filler" + utf8ToUtf16(std::to_string(i)), StateFields{})).status, 200);
    }
    // 1,000 pipelined checks of ~17 KB each, and not one byte read back.
    int fd = test::connectLoopback(s.port(), "127.0.0.9");
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += "GET /state/change.php?mode=check HTTP/1.1\r\nHost: x\r\n\r\n";
    std::thread writer([&] { send(fd, burst.data(), burst.size(), MSG_NOSIGNAL); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The server's side of the connection: Send-Q (third column) and its socket memory.
    std::string command = "ss -tmnH state established '( sport = :" + std::to_string(s.port()) +
                          " and dst 127.0.0.9 )' 2>&1";
    std::string out;
    {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        char buf[512];
        while (pipe && fgets(buf, sizeof buf, pipe.get())) out += buf;
    }
    shutdown(fd, SHUT_RDWR);
    writer.join();
    close(fd);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(^\s*(\d+)\s+(\d+)\s)"))) << out;
    long recvQ = std::stol(m[1]), sendQ = std::stol(m[2]);
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(,w(\d+),)"))) << out;
    long queued = std::stol(m[1]);
    EXPECT_GT(sendQ, 16 * 1024) << "the reader is really stuck: " << out;
    // The bound the README states: twice SO_SNDBUF (32 KiB), plus the one write that crossed it.
    EXPECT_LE(sendQ, 96 * 1024) << out;
    EXPECT_LE(queued, 128 * 1024) << out;
    EXPECT_LE(recvQ, 64 * 1024) << "unread requests wait in a small receive buffer: " << out;
    EXPECT_EQ(s.admin("/healthz").status, 200);
}

TEST_F(Attack, PinGuessesFromManyAddressesRunOutWhileTheOwnerPlays) {
    ASSERT_TRUE(start({"--min-interval-ms", "0"})) << s.output();
    StateFields owner;
    owner.pin = "0a0b0c0d";
    ASSERT_EQ(s.get(test::rankingTarget(u"victim", owner)).status, 200);  // the owner's kept-alive handle
    int judged = 0, refused = 0;
    for (int i = 0; i < 60; ++i) {
        StateFields guess = owner;
        char pin[9];
        std::snprintf(pin, sizeof pin, "%08x", 0x1000 + i);
        guess.pin = pin;
        int st = status(test::rankingTarget(u"victim", guess), i / 3);  // a new address every 3 guesses
        judged += st == 403;
        refused += st == 429;
    }
    EXPECT_EQ(judged, 10);
    EXPECT_EQ(refused, 50);
    EXPECT_EQ(status(test::rankingTarget(u"victim", owner), 40), 429) << "the right hash from a new address";
    owner.steps = 1;
    EXPECT_EQ(s.get(test::rankingTarget(u"victim", owner)).status, 200) << "the owner keeps playing";
}

TEST_F(Attack, OneAddressRegisteringJunkLeavesNewNicknamesToOthers) {
    ASSERT_TRUE(start({"--max-registrations-per-address", "5"})) << s.output();
    int ok = 0;
    for (int i = 0; i < 8; ++i) ok += status(test::rankingTarget(u"junk" + utf8ToUtf16(std::to_string(i)), StateFields{}), 0) == 200;
    EXPECT_EQ(ok, 5);
    EXPECT_EQ(status(test::rankingTarget(u"newcomer", StateFields{}), 1), 200);
}

TEST_F(Attack, BelowTheOpenFileLimitTheCapIsTrimmedAndSaidAndTheRestGet503) {
    s.openFileLimit = 120;
    ASSERT_TRUE(start({"--max-connections", "10000", "--max-connections-per-address", "1000"})) << s.output();
    EXPECT_NE(s.output().find("open-file limit 120: --max-connections trimmed from 10000 to 40"), std::string::npos)
        << s.output();
    std::vector<int> held;
    for (int i = 0; i < 40; ++i) held.push_back(test::connectLoopback(s.port(), "127.0.0.2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status("/state/change.php?mode=check", 1), 503);
    for (int fd : held) close(fd);
}

TEST_F(Attack, EdgesOfHttpAndPacedGzipRepliesReadBackByCurlAndTheGame) {
    ASSERT_TRUE(start({"--min-interval-ms", "300", "--max-registrations-per-address", "100"})) << s.output();
    StateFields f;
    // A typed "%41", sent as it stands as the game sends it: the raw text is the second candidate.
    auto asTyped = [&](const StateFields& g) {
        std::string state = test::stateValue(g);
        return "/state/change.php?name=50%41&state=" + state +
               utf16ToUtf8(makeChecksumTag(u"name=50%41&state=" + utf8ToUtf16(state)));
    };
    ASSERT_EQ(s.get(asTyped(f)).status, 200);
    struct Case {
        std::string request;
        std::string statusLine;
        bool admin;
    } cases[] = {
        {"GET http://localhost/state/change.php?mode=check HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", false},
        {"HEAD /healthz HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", true},
        {"GET /healthz HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404", false},
    };
    for (const Case& c : cases) {
        std::string r = test::exchangeRaw(c.admin ? s.adminPort() : s.port(), c.request, 1000);
        EXPECT_EQ(r.substr(0, 12), c.statusLine) << c.request;
        if (c.admin) {
            EXPECT_TRUE(r.find("Content-Length: 3\r\n") != std::string::npos && r.ends_with("\r\n\r\n")) << r;
        }
    }
    // Paced: the next reply to the same player comes no sooner than 300 ms after the last.
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(s.get(test::rankingTarget(u"other" + utf8ToUtf16(std::to_string(i)), f)).status, 200);
    }
    f.steps = 1;
    auto t0 = std::chrono::steady_clock::now();
    test::HttpResult plain = s.request(asTyped(f), source(0), false);
    f.steps = 2;
    test::HttpResult zipped = s.request(asTyped(f), source(0), true);
    auto waited = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(plain.status, 200);
    ASSERT_EQ(zipped.status, 200);
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    auto a = records(plain.body), b = records(zipped.body);
    ASSERT_EQ(a.size(), 31u);
    ASSERT_EQ(b.size(), 31u);
    EXPECT_EQ(std::u16string(b[0].name), u"50%41");
    EXPECT_EQ(b[0].stepCount, 2);
    EXPECT_LT(zipped.wireBytes * 3, static_cast<long>(zipped.body.size())) << "sent compressed";
}

}  // namespace
}  // namespace orlith::server
