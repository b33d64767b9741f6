// The ranking client on the wire: the real exchange routine and the system's client (curl on
// Linux, WinINet on Windows) against hostile local servers, the nickname's escaping and checksum
// against the real orlith-server, and the worker's hand-over with a slow, a failing and a silent
// server.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "base/text.h"
#include "ranking/network.h"
#include "ranking/ranking.h"
#include "support/fake_network.h"
#include "support/stub_http_server.h"
#ifdef _WIN32
#include "platform/win32/wininet_http.h"
#else
#include "platform/curl/curl_http.h"
#include "server/server_process.h"
#endif

namespace orlith {
namespace {

#ifdef _WIN32
using SystemClient = WinInetHttpClient;
constexpr int kTimedOutCode = 12002;  // ERROR_INTERNET_TIMEOUT
constexpr int kRefusedCode = 12029;   // ERROR_INTERNET_CANNOT_CONNECT

// The Linux server the test fixture started (this test runs under Wine); its port in a file.
struct RealServer {
    int port = 0;
    bool start() { return static_cast<bool>(std::ifstream(ORLITH_SERVER_PORT_FILE) >> port); }
    std::string output() const { return "no port in " ORLITH_SERVER_PORT_FILE; }
};
#else
using SystemClient = CurlHttpClient;
constexpr int kTimedOutCode = 28;  // CURLE_OPERATION_TIMEDOUT
constexpr int kRefusedCode = 7;     // CURLE_COULDNT_CONNECT

struct RealServer {
    server::test::TempDir dir;
    server::test::ServerProcess process;
    int port = 0;
    bool start() { return process.start({"--db", dir.path + "/ranking.db"}) && (port = process.port()) > 0; }
    std::string output() { return process.output(); }
};
#endif

using namespace orlith::test;

std::string line(const std::string& name, int32_t steps = 5, int32_t level = 1) {
    float pos[3] = {3, 3, 3}, zero[3] = {0, 0, 0};
    return utf16ToUtf8(formatStateValue(0, u"00000000", level, steps, pos, zero, zero)) + name;
}

std::string ok(const std::string& body) { return StubHttpServer::response(200, body); }
// A 500 reply's box, and the close request that follows it when a worker or the frames run the exchange.
const std::vector<std::string> kFailed500 = {"box: line 3458 : error in HttpQueryInfo[500]\ncode = 0", "close"};

// The body as one stored (uncompressed) deflate block in a gzip stream: a compressed reply. The
// bodies hold no '&' or '=' (which crcUpdate skips), so their CRC is gzip's.
std::string gzipped(const std::string& data) {
    const auto size = static_cast<uint32_t>(data.size());
    std::string out("\x1f\x8b\x08\0\0\0\0\0\0\xff\x01", 11);
    auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    };
    put(size, 2), put(~size, 2), out += data;
    put(crcUpdate(0, data.data(), static_cast<int32_t>(size)), 4), put(size, 4);
    return StubHttpServer::response(200, out, "Content-Encoding: gzip\r\n");
}

TEST(Exchange, HostileRepliesParseOrFailWithTheirBox) {
    const std::string alice = line("alice"), bob = line("bob"), value = line("");
    std::string many;
    for (int k = 0; k < 300; ++k) many += line("p" + std::to_string(k)) + "\r\n";
    const std::string sendFailed = "box: line 3442 : error in HttpSendRequest\ncode = ";
    struct Case {
        const char* what;
        std::string reply;
        int32_t count;
        std::u16string first;
        std::string box;  // none: the exchange succeeds
        uint32_t timeoutMs = kExchangeTimeoutMs;
        bool refused = false;
    };
    const Case cases[] = {
        {"no line breaks", ok(alice), 1, u"alice", ""},
        {"lone CR and lone LF", ok(alice + "\r" + bob + "\n\n\r" + alice), 3, u"alice", ""},
        {"exactly 104 characters", ok(value + "\r\n" + value), 0, u"", ""},
        {"a NUL byte ends the body", ok(alice + std::string(1, '\0') + bob), 1, u"alice", ""},
        {"invalid UTF-8", ok(line("a\xFF\xC3") + "b"), 1, u"a\uFFFD\uFFFDb", ""},
        {"300 records", ok(many), 256, u"p0", ""},
        {"65,535 bytes in one line", ok(std::string(65535, '7')), 1, std::u16string(31, u'7'), ""},
        {"64 KiB in one line", ok(std::string(65536, '7')), 0, u"", "box: line 3468 : error in InternetReadFile\ncode = 0"},
        {"far more than 64 KiB", ok(std::string(300000, '7')), 0, u"", "box: line 3468 : error in InternetReadFile\ncode = 0"},
        {"compressed", gzipped(alice + "\r\n" + bob), 2, u"alice", ""},
        {"304", "HTTP/1.1 304 Not Modified\r\n\r\n", 0, u"", "box: line 3458 : error in HttpQueryInfo[304]\ncode = 0"},
        {"500", StubHttpServer::response(500, alice), 0, u"", kFailed500[0]},
        // A server that accepts and never answers: the exchange gives up at its time-out (shortened here).
        {"silent", "", 0, u"", sendFailed + std::to_string(kTimedOutCode), 1000},
        // Nobody listening: the send fails with the system's own code for it.
        {"refused", ok(alice), 0, u"", sendFailed + std::to_string(kRefusedCode), kExchangeTimeoutMs, true},
    };
    for (const Case& c : cases) {  // one check exchange each, through the system's client
        SCOPED_TRACE(c.what);
        StubHttpServer server([&c](const std::string&) { return c.reply; });
        // refused: a port whose listener has just gone, so nobody accepts there.
        const int port = c.refused ? StubHttpServer([](const std::string&) { return std::string(); }).port() : server.port();
        auto host = std::make_shared<FakeNetworkHost>();
        auto client = std::make_unique<RankingClient>();
        client->http = std::make_shared<SystemClient>(kConnectTimeoutMs, c.timeoutMs);
        client->host = host;
        ASSERT_TRUE(client->http->openSession() && client->http->connect(u"127.0.0.1", port));
        int32_t count = -1;
        EXPECT_EQ(httpGetRecords(*client, u"/state/change.php?mode=check", client->records, count), c.box.empty() ? 1 : 0);
        client->http->closeRequest();
        EXPECT_EQ(count, c.count);
        if (c.count > 0) EXPECT_EQ(std::u16string(client->records[0].name), c.first);
        if (c.count == 256) EXPECT_EQ(std::u16string(client->records[255].name), u"p255");
        EXPECT_EQ(host->events(), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
        // Every request asks for what the client can decode, compressed replies included.
        EXPECT_EQ(server.heads().size(), c.refused ? 0u : 1u);
        for (const std::string& head : server.heads())
            EXPECT_TRUE(std::regex_search(head, std::regex("\r\naccept-encoding:[^\r]*gzip", std::regex::icase))) << head;
    }
}

TEST(Escaping, NamesTravelEscapedAndTheRealServerListsThemAsTyped) {
    const std::pair<std::u16string, std::u16string> names[] = {
        {u"a b", u"a%20b"},    {u"a&b", u"a&b"},       {u"x=y", u"x=y"},
        {u"50%", u"50%25"},    {u"#1", u"%231"},       {u"what?", u"what%3F"},
        {u"café", u"caf%C3%A9"}, {u"日本", u"%E6%97%A5%E6%9C%AC"}, {u"\U0001F600", u"%F0%9F%98%80"},
    };
    auto escape = [](std::u16string_view name) { char16_t text[400]; return escapeNickname(name, text, 400), std::u16string(text); };
    // Control characters, the first character past ASCII, a lone surrogate as U+FFFD.
    EXPECT_EQ(escape(u"\x01\x7F\x80\xD800"), u"%01%7F%C2%80%EF%BF%BD");
    RealServer server;
    ASSERT_TRUE(server.start()) << server.output();
    auto state = std::shared_ptr<GameState>(makeGameState());
    state->cameraEye = {3, 3, 3, 0}, state->cameraFocus = {3, 3, 2, 0}, state->cameraUp = {0, 1, 0, 0};
    copyText(state->pinHash, 32, u"1234abcd");
    auto client = std::make_unique<RankingClient>();
    client->http = std::make_shared<SystemClient>();
    client->host = std::make_shared<FakeNetworkHost>();
    ASSERT_TRUE(client->http->openSession() && client->http->connect(u"127.0.0.1", server.port));
    char16_t path[1024];
    int32_t count = 0;
    for (const auto& [name, escaped] : names) {
        SCOPED_TRACE(utf16ToUtf8(name));
        EXPECT_EQ(escape(name), escaped);
        copyText(state->nickname, 32, name);
        ASSERT_GT(buildRankingPath(*state, 1700000000u, path, 1024), 0);
        // A new nickname is registered only when its checksum matches the name as typed.
        EXPECT_EQ(httpGetRecords(*client, path, client->records, count), 1);
        ASSERT_GT(buildCheckPath(*state, path, 1024), 0);
        EXPECT_EQ(httpGetRecords(*client, path, client->records, count), 1);
        ASSERT_GT(count, 0);
        EXPECT_EQ(std::u16string(client->records[0].name), name);
        EXPECT_EQ(std::u16string(client->records[0].pinHash), u"1234abcd");
    }
}

// Waits for an event; the 30 s are only a safety net (a loaded machine under Wine can leave a
// thread unscheduled for seconds, so a count of short sleeps is no measure of time).
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

// The step count in a ranking request's state value.
int32_t stepsOf(const std::string& target) {
    size_t at = target.find("&state=");
    return at == std::string::npos ? -1 : static_cast<int32_t>(std::stoul(target.substr(at + 7 + 24, 8), nullptr, 16));
}

struct Online {
    std::unique_ptr<GameState> state{makeGameState()};
    std::shared_ptr<FakeNetworkHost> host = std::make_shared<FakeNetworkHost>();
    std::unique_ptr<NetworkLink> link;
    // Its worker started unless worker is false (the frames then run their own exchanges).
    explicit Online(int port, std::shared_ptr<HttpClient> http = std::make_shared<SystemClient>(), bool worker = true) {
        copyText(state->nickname, 32, u"w"), copyText(state->pinHash, 32, u"00000000");
        link = std::make_unique<NetworkLink>(std::move(http), host);
        EXPECT_TRUE(link->open(u"127.0.0.1", port));
        if (worker) link->startWorker();
    }
    void send(int32_t steps = 0) { state->stepCount = steps, link->sendRankingRequest(*state, 0); }
};

// While one exchange waits on the server, sixty frames' signals collapse into one: the next
// exchange carries the newest path, on the connection kept alive from the first.
TEST(Worker, ASlowServerHasOneExchangeInFlightAndEachCarriesTheNewestPath) {
    std::promise<void> open;
    StubHttpServer server([opened = open.get_future().share()](const std::string& target) {
        if (stepsOf(target) == 1) opened.wait();
        return ok(line("w"));
    });
    Online online(server.port(), std::make_shared<SystemClient>(), false);
    // NetFps: without a worker the frame runs its own exchange.
    online.send();
    EXPECT_EQ(online.link->newestRecords().size(), 1u);
    online.link->startWorker(), online.send(1);
    ASSERT_TRUE(eventually([&] { return server.targets().size() == 2; }));
    for (int frame = 2; frame <= 60; ++frame) online.send(frame);
    open.set_value();
    ASSERT_TRUE(eventually([&] { return stepsOf(server.targets().back()) == 60; }));
    EXPECT_EQ(server.targets().size(), 3u);  // 0 without the worker, 1 (held), then only the newest
    EXPECT_EQ(server.mostInFlight(), 1);
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_TRUE(online.link->shutDown());
    EXPECT_TRUE(online.host->events().empty());
}

// A failed exchange shows its box once, then asks the game to end; a shut-down during an exchange
// cuts it off without a box.
TEST(Worker, AFailedExchangeShowsItsBoxThenAsksTheGameToEndAndShutDownCutsOneOff) {
    for (const std::string& answer : {StubHttpServer::response(500, ""), std::string()}) {  // the second never answers
        StubHttpServer server([&answer](const std::string&) { return answer; });
        Online online(server.port());
        online.send();
        const std::vector<std::string> expected = answer.empty() ? std::vector<std::string>{} : kFailed500;
        ASSERT_TRUE(eventually([&] { return online.host->events().size() >= expected.size() && server.targets().size() == 1; }));
        online.send();  // a frame that runs before the window closes
        EXPECT_TRUE(online.link->shutDown());  // within the wait: a silent exchange was aborted
        EXPECT_EQ(online.host->events(), expected);
        EXPECT_EQ(server.targets().size(), 1u);
    }
}

// A client that runs in the background (the browser's fetch) gets no thread: the frame starts one
// exchange with the newest path, never waits for it, collects it once done, and a failed one
// shows the worker's box and ends the game.
TEST(Worker, InTheBackgroundTheFramesKeepTheWorkersRules) {
    auto http = std::make_shared<test::ScriptedHttpClient>();
    http->background = true, http->body = line("w");
    Online online(80, http);
    auto frame = [&](int32_t steps) { online.link->takeRankingUpdate(*online.state), online.send(steps); };
    for (int32_t steps = 1; steps <= 5; ++steps) frame(steps);
    EXPECT_EQ(std::pair(http->started, online.state->rankingCount), std::pair(1, 0));  // one in flight, nothing back yet
    http->done = true, frame(6);
    EXPECT_EQ(online.state->rankingCount, 1);
    ASSERT_EQ(http->paths.size(), 2u);
    EXPECT_EQ(std::pair(stepsOf(utf16ToUtf8(http->paths[0])), stepsOf(utf16ToUtf8(http->paths[1]))), std::pair(1, 6));
    http->status = 500, frame(7), frame(8);
    EXPECT_EQ(online.host->events(), kFailed500);
    EXPECT_EQ(http->started, 2);  // no exchange after the failed one
    EXPECT_TRUE(online.link->workerStarted());
    EXPECT_TRUE(online.link->shutDown());
}

// Each reply has n records, every one of them carrying n as its level: a list taken while the
// worker writes the next would mix sizes.
TEST(Worker, EachFrameTakesOneWholeListWhileTheWorkerHandsOverNewOnes) {
    auto http = std::make_shared<test::ScriptedHttpClient>();
    http->duringSend = [&, exchanges = 0]() mutable {
        const int n = 1 + exchanges++ % kMaxRankingRecords;
        http->body.clear();
        for (int k = 0; k < n; ++k) http->body += line("w\n", k, n);
    };
    Online online(80, http);
    const GameState& s = *online.state;
    int seen = 0;
    // At least 2000 frames, and on until several lists have come (a loaded machine may not
    // schedule the worker for a while).
    for (int frame = 0; frame < 2000 || seen < 3; ++frame) {
        online.send(), online.link->takeRankingUpdate(*online.state);
        seen += s.rankingCount > 0 ? 1 : 0;
        for (int k = 0; k < s.rankingCount; ++k) ASSERT_EQ(s.rankingList[k].level, s.rankingCount) << frame;
    }
    EXPECT_TRUE(online.link->shutDown());
}

TEST(Worker, OneThatOutlivesTheWaitKeepsAliveWhatItUses) {
    auto http = std::make_shared<test::ScriptedHttpClient>();
    std::promise<void> release;
    std::atomic<bool> inside{false};
    http->duringSend = [&inside, released = release.get_future().share()] {  // deaf to abort
        inside = true;
        released.wait();
    };
    std::weak_ptr<test::ScriptedHttpClient> watched = http;
    {
        Online online(80, std::move(http));
        online.send();
        ASSERT_TRUE(eventually([&] { return inside.load(); }));
        EXPECT_FALSE(online.link->shutDown(50));
    }  // the game has let go of the state and the link
    EXPECT_FALSE(watched.expired());
    release.set_value();
    EXPECT_TRUE(eventually([&] { return watched.expired(); }));
}

}  // namespace
}  // namespace orlith
