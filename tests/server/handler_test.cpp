// The request rules end to end without sockets: registration, 403/409/429, PIN budgets,
// names, pacing, and the content, order and size of replies, read back with the game's parser.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "http/http_server.h"
#include "rules/handler.h"
#include "rules/weak_pins.h"
#include "server/path_walker.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using namespace test;

std::vector<RankingRecord> records(const HttpResponse& r) { return test::records(r.body.str()); }

class Handler : public ::testing::Test {
protected:
    void SetUp() override { makeStore(StoreOptions{}); }
    // shared: a database other instances share, on this test's clock.
    void makeStore(StoreOptions o, bool shared = false) {
        o.viewMaxAgeMs = o.budgets.minIntervalMs = 0;  // pacing is the socket side's; the live test holds it
        ctx.reset(), store.reset();  // the store before its storage: its levels are written there in the background
        storage = shared ? makeMemoryStorage([this] { return now; }) : makeMemoryStorage();
        store = std::make_unique<RankingStore>(*storage, o);
        ctx = std::make_unique<HandlerContext>(HandlerContext{*store, metrics, log, [this] { return now; },
                                                              [] { return Metrics::Gauges{}; }});
    }
    // As the socket side does it: a registration is committed, then answered (by another
    // instance when on is set).
    HttpResponse answer(const HttpRequest& request, HandlerContext* on = nullptr) {
        HandlerContext& c = on ? *on : *ctx;
        Decision d = handleRequest(request, c);
        return d.commit ? commitChange(*d.commit, c) : std::move(d.response);
    }
    HttpResponse get(const std::string& target) { return answer({"GET", target}); }
    HttpResponse send(const std::u16string& nick, const StateFields& f) { return get(rankingTarget(nick, f)); }
    int from(uint64_t client, uint64_t connection, const std::string& target) { return answer({"GET", target, client, connection}).status; }

    // Rises and steps as fast as a test likes, and positions anywhere.
    static StoreOptions unbounded(int32_t topLines) {
        constexpr double kAny = std::numeric_limits<double>::infinity();
        return {.topLines = topLines, .maxCellsPerSecond = kAny, .maxStepsPerSecond = kAny, .distanceFieldBytes = 0};
    }

    std::unique_ptr<Storage> storage;
    std::unique_ptr<RankingStore> store;
    Metrics metrics;
    RefusalLog log{1000};
    std::unique_ptr<HandlerContext> ctx;
    int64_t now = 1'000'000;
};

TEST_F(Handler, ImplausibleUpdatesForeignHashesAndRisesNotWalkedAreRefusedAndNotStored) {
    // Level 1's shortest path is 6 cells, level 2's 24; 18 cells a second at the most, from at
    // most a second before the request that started the level.
    for (auto [level, path] : {std::pair{1, 6}, {2, 24}, {3, 54}}) ASSERT_EQ(store->levels().waitFor(level), path);
    store->levels().waitForField(3);
    ASSERT_EQ(send(u"p", StateFields{}).status, 200);  // at the start of level 1, no steps
    const int64_t start = now;
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    // Each at atMs after the registration.
    struct Case { const char* description; std::u16string name; int64_t atMs; StateFields f; int expected; } cases[] = {
        {"a NaN position", u"p", 0, {.pos = {nan, 3, 3}}, 409},
        {"an infinite position", u"p", 0, {.pos = {inf, 3, 3}}, 409},
        {"another PIN hash", u"p", 0, {.pin = "deadbeef", .steps = 99}, 403},
        {"level 3 at once", u"p", 0, {.level = 3, .steps = 60}, 409},
        {"level 2 with fewer steps than 6", u"p", 0, {.level = 2, .steps = 5}, 409},
        {"level 2 with 6 steps", u"p", 0, {.level = 2, .steps = 6}, 200},
        {"the level falls", u"p", 100, {.level = 1, .steps = 6}, 409},
        {"the step count falls", u"p", 100, {.level = 2, .steps = 5}, 409},
        {"a step count no play reaches in 0.1 s (a thief's lock-out)", u"p", 100, {.level = 2, .steps = 0x7fffffff}, 409},
        {"the same state again, at level 2's start", u"p", 100, {.level = 2, .steps = 6, .pos = {5, 5, 5}}, 200},
        {"level 3 sooner than 24 cells can be walked", u"p", 1300, {.level = 3, .steps = 30}, 409},
        {"level 3 with fewer than 24 steps on level 2", u"p", 1400, {.level = 3, .steps = 23}, 409},
        {"level 3 after both", u"p", 1400, {.level = 3, .steps = 24}, 200},
        // Level 3 began after the state with 6 steps; its goal cell is 54 cells from its start.
        {"level 3's goal cell 53 steps into it", u"p", 1500, {.level = 3, .steps = 59, .pos = {1, 1, 1}}, 409},
        {"level 3's goal cell 54 steps into it", u"p", 1500, {.level = 3, .steps = 60, .pos = {1, 1, 1}}, 200},
        {"a new nickname above level 1", u"cheat", 1400, {.level = 40}, 409},
        {"a new nickname at an infinite place", u"cheat", 1400, {.pos = {3, inf, 3}}, 409},
    };
    for (const Case& c : cases) {
        now = start + c.atMs;
        Decision d = handleRequest({"GET", rankingTarget(c.name, c.f)}, *ctx);
        EXPECT_EQ(d.commit ? commitChange(*d.commit, *ctx).status : d.response.status, c.expected) << c.description;
        EXPECT_TRUE(c.expected == 200 || !d.commit) << c.description << ": refused here, never by a database commit";
    }
    auto recs = records(get("/state/change.php?mode=check"));
    ASSERT_EQ(recs.size(), 1u) << "no cheat registered";
    EXPECT_EQ(utf16ToUtf8(recs[0].name) + " " + std::to_string(recs[0].level) + " " + std::to_string(recs[0].stepCount), "p 3 60");
}

TEST_F(Handler, AnHonestWalkAlongTheShortestPathsIsNeverRefusedAndAScriptIsHeldToIt) {
    // The game sends its newest state every frame.
    for (int32_t l = 1; l <= 8; ++l) store->levels().waitForField(l);  // every position is checked
    const int64_t start = now;
    int frame = 0;
    int64_t walked = walkShortestPaths(8, [&](const std::string& state) {
        now = start + ++frame * 1000 / 60;
        ASSERT_EQ(get("/state/change.php?" + rankingQuery(u"walker", state)).status, 200) << "frame " << frame << ": " << state;
    });
    EXPECT_EQ(walked, 544) << "the shortest paths of levels 1-8";
    // A script that asks for the next level as often as it is answered, its step count far
    // ahead, climbs only as fast as the paths allow at 18 cells a second (each level less
    // the second a rise may take to arrive).
    // In real time a level's path is known long before anyone can walk it; this clock runs
    // far ahead of the generator, so the levels the script may reach are computed first.
    for (int32_t l = 1; l <= 13; ++l) store->levels().waitFor(l);
    now = start;
    int32_t level = 1;
    ASSERT_EQ(send(u"script", {}).status, 200);
    std::vector<int64_t> reached = {0, start};  // when each level was reached
    for (; now < start + 60'000; now += 10) {
        if (send(u"script", {.level = level + 1, .steps = 1'000'000 * level}).status == 200) reached.push_back(now), ++level;
    }
    for (int32_t l = 2; l < level; ++l) {
        int32_t path = store->levels().waitFor(l);
        EXPECT_GE(reached[l + 1] - reached[l], path * 1000 / 18 - 1000) << "level " << l << ", " << path << " cells";
    }
    EXPECT_LE(level, 12);
}

TEST_F(Handler, PinGuessesAreBudgetedPerNicknameAndPerAddressAndARefusalNeverTellsRightFromWrong) {
    const std::string ownerTarget = rankingTarget(u"owner", {.pin = "11111111"});
    auto guess = [](int i, const char16_t* nick = u"owner") { return rankingTarget(nick, {.pin = "2222" + std::to_string(1000 + i)}); };
    ASSERT_EQ(from(1, 100, ownerTarget), 200);  // the owner plays from address 1, connection 100
    ASSERT_EQ(from(600, 700, rankingTarget(u"neighbour", {})), 200);  // someone at address 600
    // The nickname's five wrong hashes, each from another address, are judged (403 or a stand-in).
    for (int i = 0; i < 5; ++i) ASSERT_EQ(from(1000 + i, 2000 + i, guess(i)), 403) << i;
    struct Case { const char* description; uint64_t client, connection; std::string target; int status; } cases[] = {
        {"a check with the right hash from a new address", 5002, 6002, test::checkTarget("owner", "11111111"), 429},
        {"the owner's own connection", 1, 100, ownerTarget, 200},
        {"the owner's address on a new connection", 1, 101, ownerTarget, 200},
        {"a wrong hash from the owner's address, on its own small budget", 1, 102, guess(11), 403},
        {"a new nickname from a guessing address", 1000, 2000, rankingTarget(u"fresh", {}), 200},
        {"a check without a name names nobody", 5003, 6003, "/state/change.php?mode=check", 200},
        // The owner's address gets three wrong hashes in all; then it too is refused unjudged,
        // except on a connection that showed the right hash.
        {"the owner's address, second wrong hash", 1, 102, guess(12), 403},
        {"the owner's address, third wrong hash", 1, 102, guess(13), 403},
        {"the owner's address on a newer connection", 1, 103, ownerTarget, 429},
        {"a connection that showed the right hash", 1, 101, ownerTarget, 200},
    };
    for (const Case& c : cases) EXPECT_EQ(from(c.client, c.connection, c.target), c.status) << c.description;
    // One address spraying wrong hashes over many nicknames runs out on its own budget after
    // five; its block of 256 addresses (keys 513 to 768) after twenty.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(send(numbered(u"n", i), {}).status, 200);
        ASSERT_EQ(from(i < 5 ? 600 : 596 + i, 701 + i, guess(i, numbered(u"n", i).c_str())), 403) << i;
    }
    struct Spray { const char* description; uint64_t client, connection; const char16_t* name; int status; } sprays[] = {
        {"a right hash from the spraying address", 600, 800, u"n0", 429},
        {"... from another address of its block", 700, 802, u"n1", 429},
        {"an honest player there", 600, 700, u"neighbour", 200},
        {"... also on a new connection", 600, 801, u"neighbour", 200},
        {"the sprayed nickname from another block", 300, 900, u"n0", 200},
    };
    for (const Spray& c : sprays) EXPECT_EQ(from(c.client, c.connection, rankingTarget(c.name, {})), c.status) << c.description;
    // A new nickname with one of the most common PINs is refused; any other PIN is not.
    auto withPin = [](const char16_t* nick, const char16_t* pin) { return rankingTarget(nick, {.pin = pinHashOf(nick, pin)}); };
    for (const char16_t* weak : {u"1234", u"0000", u"2580", u"1998", u"0229", u"123456", u"5201314", u"1234567890"})
        EXPECT_EQ(from(400, 1000, withPin(u"weak", weak)), 409) << utf16ToUtf8(weak);
    EXPECT_EQ(from(400, 1000, withPin(u"weak", u"8068")), 200);
    EXPECT_EQ(weakPins().size(), kWeakPinCount);
    // Instances sharing a database share the budgets: wrong hashes alternating between two
    // are the nickname's five judged in all, while the owner plays on through both.
    makeStore({}, true);
    RankingStore other(*storage, {});
    HandlerContext otherCtx{other, metrics, log, [this] { return now; }, [] { return Metrics::Gauges{}; }};
    auto on = [&](int instance, uint64_t client, uint64_t connection, const std::string& target) {
        return answer({"GET", target, client, connection}, instance ? &otherCtx : nullptr).status;
    };
    ASSERT_EQ(on(0, 1, 100, ownerTarget), 200);
    std::string error;
    ASSERT_TRUE(other.writes().pull(now, error)) << error;
    ASSERT_EQ(on(1, 1, 200, ownerTarget), 200) << "the owner on the other instance";
    int judged = 0;
    for (int i = 0; i < 12; ++i) judged += on(i % 2, 1000 + i, 3000 + i, guess(i)) == 403;
    EXPECT_EQ(judged, 5);
    EXPECT_EQ(on(0, 1, 100, ownerTarget) + on(1, 1, 200, ownerTarget), 400) << "the owner's connections";
    EXPECT_EQ(on(1, 2000, 4000, ownerTarget), 429) << "the right hash from elsewhere";
}

TEST_F(Handler, FindingAFourDigitPinTakesMoreThanADayFromAnyNumberOfAddresses) {
    auto hashOf = [](const std::u16string& pin) { return StateFields{.pin = pinHashOf(u"victim", pin)}; };
    ASSERT_EQ(send(u"victim", hashOf(u"5000")).status, 200);
    // A guesser walks through every PIN in order, each guess from a new address on a new
    // connection, twenty a minute for a day (as fast as it likes: refusals cost it nothing).
    int judged = 0, pin = 0;
    uint64_t address = 1'000'000;
    for (int minute = 0; minute < 24 * 60; ++minute, now += 60'000) {
        for (int k = 0; k < 20 && pin < 10000; ++k, ++address) {
            int status = from(address, address, rankingTarget(u"victim", hashOf(utf8ToUtf16(std::to_string(10000 + pin).substr(1)))));
            ASSERT_NE(status, 200) << "found after " << judged << " judged guesses";
            if (status != 429) ++judged, ++pin;  // a refused guess tells nothing: the same PIN again
        }
    }
    // Five at once and one per twenty minutes: 77 of 10,000 PINs a day.
    EXPECT_TRUE(judged >= 75 && judged <= 80) << judged;
}

TEST_F(Handler, NewNicknamesMayNotHideCharactersOrLookLikeARegisteredOne) {
    ASSERT_EQ(send(u"alice", {}).status, 200);
    ASSERT_EQ(send(u"caf\u00e9", {}).status, 200);
    const std::pair<std::u16string, int> cases[] = {
        // Hidden: zero-width space, right-to-left override, isolates, BOM, line and paragraph
        // separators, soft hyphen, the Hangul filler (a blank name), noncharacters.
        {u"alice\u200b", 400}, {u"\u202eecila", 400}, {u"\u2066bob\u2069", 400}, {u"\ufeffbob", 400},
        {u"bob\u2028", 400}, {u"bob\u2029", 400}, {u"bob\u00ad", 400}, {u"\u3164", 400}, {u"bob\ufdd0", 400},
        {u"bob\uffff", 400},
        // Look-alikes: Cyrillic a, case, capital I for l, a decomposed accent, full-width a.
        {u"\u0430lice", 409}, {u"Alice", 409}, {u"aIice", 409}, {u"cafe\u0301", 409}, {u"\uff41lice", 409},
        // ... all capitals (I as l, and as i), a dot above on an ASCII i; spaces at the ends.
        {u"ALICE", 409}, {u"ALlCE", 409}, {u"ali\u0307ce", 409}, {u" alice", 400}, {u"alice ", 400}, {u"alice\u3000", 400},
        // Ordinary names: Japanese, Samaritan (the first three-byte characters), outside the BMP.
        {u"alicia", 200}, {u"\u3042\u3044", 200}, {u"\u0800\u0801", 200}, {u"\U0001F600bob", 200},
        {u"\U0001F600b0b", 409}, {u"\U000F0000bob", 200},  // private use, beyond the first four planes
    };
    for (const auto& [name, status] : cases) {
        HttpResponse r = send(name, {});
        EXPECT_EQ(r.status, status) << utf16ToUtf8(name);
        if (r.status == 200) EXPECT_EQ(std::u16string(records(r)[0].name), name) << "its own line, encoded right";
    }
    EXPECT_EQ(store->playerCount(), 7u);
    // Look-alike pairs registered before these rules stay, and both keep playing.
    makeStore({});
    // So do players whose PIN is one of the most common.
    const std::u16string old[] = {u"alice", u"\u0430lice", u"bob\u200b", u"weakling"};
    auto pinOf = [](const std::u16string& name) { return name == u"weakling" ? pinHashOf(name, u"1234") : std::string("1234abcd"); };
    bool inserted;
    StoredPlayer existing;
    std::string error;
    for (const std::u16string& name : old)
        ASSERT_TRUE(storage->registerPlayer({utf16ToUtf8(name), pinOf(name), stateValue({.pin = pinOf(name)}), 0, {}}, inserted, existing, error));
    ASSERT_TRUE(store->load(error)) << error;
    store->waitIndexed();
    for (const std::u16string& name : old) EXPECT_EQ(send(name, {.pin = pinOf(name), .steps = 1}).status, 200) << utf16ToUtf8(name);
    EXPECT_EQ(send(u"\u0391lice", {}).status, 409) << "Greek capital alpha";
}

TEST_F(Handler, OneNicknameOrAddressCannotUseUpEveryonesRequestsOrNewNicknames) {
    for (int i = 0; i < 120; ++i) ASSERT_EQ(send(u"fast", {}).status, 200) << i;
    EXPECT_EQ(send(u"fast", {}).status, 429);
    EXPECT_EQ(send(u"other", {}).status, 200);  // the limit is per nickname
    now += 1000;
    EXPECT_EQ(send(u"fast", {}).status, 200);
    // Four a second from addresses whose budget is full (their first), four from the others.
    makeStore({.budgets = {.registrationsPerSecond = 4, .registrationsPerAddress = 3, .registrationsPerGroup = 4}});
    auto fromAddress = [&](uint64_t client, const std::u16string& name) { return from(client, client, rankingTarget(name, {})); };
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fromAddress(9, numbered(u"junk", i)), 200);
    // Address keys 1-256 are one IPv4 /24, 257-512 the next.
    const struct { uint64_t client; const char16_t* name; int status; const char* why; } rows[] = {
        {9, u"junk3", 429, "the address's budget"},
        {10, u"block", 200, "another address of its block"},
        {11, u"block2", 429, "the block's budget"},
        {300, u"honest", 200, "another block is not held up"},
        {600, u"second", 200, ""},
        {900, u"third", 429, "the global cap on first nicknames still holds"},
    };
    for (const auto& r : rows) EXPECT_EQ(fromAddress(r.client, r.name), r.status) << r.why;
    now += 1000;
    EXPECT_EQ(fromAddress(900, u"third"), 200);
    now += BudgetOptions{}.registrationPeriodMs;
    EXPECT_EQ(fromAddress(9, u"junk3"), 200) << "one more after a period";
}

// Inflates a gzip member with zlib; empty on any error.
std::string gunzip(std::string z) {
    std::string out(1 << 20, '\0');
    z_stream zs{};
    zs.next_in = reinterpret_cast<Bytef*>(z.data()), zs.avail_in = static_cast<uInt>(z.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data()), zs.avail_out = static_cast<uInt>(out.size());
    bool whole = inflateInit2(&zs, 16 + 15) == Z_OK && inflate(&zs, Z_FINISH) == Z_STREAM_END && zs.avail_in == 0;
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return whole ? out : std::string();
}

// What the socket side sends for a response: its head, then its body's pieces.
std::string wire(const HttpResponse& r, unsigned version = 11, bool keepAlive = true, bool admin = false) {
    ReplyHead head;
    replyHead(r, version, keepAlive, admin, head);
    return std::string(head.fixed) + std::string(head.rest()) + r.body.str();
}

TEST_F(Handler, RepliesGoOutAsHttpSpellsThemAndGzipOnesInflateToThePlainReplyWhereverTheRequesterStands) {
    const std::string usual = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ";
    HttpResponse ok{200, "ok\n"}, zipped = ok, notModified{304, {}, "text/html", "ETag: \"1\"\r\n"};
    zipped.body.gzip = true;
    // A web file whose header lines do not fit the head's own bytes.
    HttpResponse file{200, "<p>", "text/html", "ETag: \"" + std::string(150, 'e') + "\"\r\nCache-Control: no-cache\r\n"};
    struct Head { const HttpResponse& r; unsigned version; bool keepAlive, admin; std::string expected; } heads[] = {
        {ok, 11, false, false, usual + "3\r\nVary: Accept-Encoding\r\nConnection: close\r\n\r\nok\n"},
        {zipped, 10, true, false, "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 3\r\n"
                                  "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\nConnection: keep-alive\r\n\r\nok\n"},
        {ok, 11, true, true, usual + "3\r\n\r\nok\n"},
        {get("/x"), 10, false, false, "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                      "Content-Length: 14\r\n\r\nno such path\r\n"},
        {notModified, 11, true, false, "HTTP/1.1 304 Not Modified\r\nContent-Type: text/html\r\nETag: \"1\"\r\n\r\n"},
        {file, 11, true, false, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3\r\nVary: Accept-Encoding\r\n" +
                                    file.headers + "\r\n<p>"},
    };
    for (const Head& h : heads) EXPECT_EQ(wire(h.r, h.version, h.keepAlive, h.admin), h.expected);

    makeStore({.topLines = 40, .maxLines = 150});  // blocks with whole and partial chunks of both packings
    std::mt19937 rng(3);
    for (int i = 0; i < 220; ++i, now += 10) ASSERT_EQ(send(numbered(u"g", i), {.steps = int32_t(rng() % 100000)}).status, 200);
    // Requesters at the edges of the top and of chunks, inside runs, and past the line cap,
    // and a check (a literal nickname: it lives on). Every ranking request changes the view,
    // so each reply comes from a view rebuilt since the one before.
    std::vector<std::string> targets = {test::checkTarget("g5", "1234abcd")};
    for (int steps : {0, 31, 32, 33, 39, 40, 41, 71, 72, 100, 147, 148, 149, 150, 199, 219, 500000})
        targets.push_back(rankingTarget(numbered(u"req", steps), {.steps = steps}));
    for (const std::string& target : targets) {
        HttpResponse plain = get(target), z = answer({"GET", target, 0, 0, true});
        std::string text = plain.body.str(), body = z.body.str();
        EXPECT_EQ(wire(plain), usual + std::to_string(text.size()) + "\r\nVary: Accept-Encoding\r\n\r\n" + text) << target;
        EXPECT_EQ(wire(z), usual + std::to_string(body.size()) + "\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding\r\n\r\n" + body);
        EXPECT_EQ(gunzip(body), text) << target;
        EXPECT_LT(body.size() * 3, text.size()) << target;
    }
    // A live player outside the top who only turns keeps its place, and the next view shows it turned.
    StateFields turner{.steps = 22700};  // about the 70th
    ASSERT_EQ(send(u"turner", turner).status, 200);
    turner.view[0] = 1, turner.view[2] = 0;
    ASSERT_EQ(send(u"turner", turner).status, 200);
    auto recs = records(get(rankingTarget(u"req0", {})));
    const RankingRecord* seen = findRecord(recs, u"turner");
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->viewDirection[0], 1.0f);
}

TEST_F(Handler, TheOrderKeptIncrementallyIsTheGamesOrder) {
    makeStore(unbounded(64));
    std::mt19937 rng(11);
    std::vector<StateFields> players(150);
    auto name = [](size_t i) { return u"o" + utf8ToUtf16(std::to_string(i % 10)) + (i % 3 ? u"A" : u"a") + utf8ToUtf16(std::to_string(i)); };
    for (size_t i = 0; i < 150; ++i, now += 5) ASSERT_EQ(send(name(i), {.steps = players[i].steps = int32_t(rng() % 20)}).status, 200);
    // Random moves: level rises, steps, positions off the goal's cell.
    for (int round = 0; round < 3000; ++round, now += 1) {
        size_t i = rng() % players.size();
        StateFields& f = players[i];
        if (rng() % 10 == 0) f.level += 1, f.steps += 1000;
        f.steps += static_cast<int32_t>(rng() % 3);
        for (float& c : f.pos) c = static_cast<float>(rng() % 9) - 1.0f;
        ASSERT_EQ(send(name(i), f).status, 200);
    }
    now += 1000;
    auto recs = records(get("/state/change.php?mode=check"));
    ASSERT_EQ(recs.size(), players.size());
    const float goal[3] = {1.0f, 1.0f, 1.0f};  // every level's goal cell
    for (auto& r : recs) r.goalDistance = distanceToGoal(goal, r.position);
    std::vector<RankingRecord> sorted = recs;
    std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return compareRankingRecords(a, b) < 0; });
    for (size_t k = 0; k < recs.size(); ++k) EXPECT_EQ(std::u16string(recs[k].name), sorted[k].name) << k;
}

TEST_F(Handler, ChecksShowTheTrueHashOnlyForTheRightPinOrWhenLegacyIsAsked) {
    EXPECT_EQ(get("/state/change.php?mode=check").body.str(), "") << "nobody registered: an empty body";
    ASSERT_EQ(send(u"owner", {.pin = "11111111"}).status, 200);
    ASSERT_EQ(send(u"someone", {}).status, 200);
    for (const char* given : {"11111111", "00000000", "22222222", "abcdef01"}) {
        auto recs = records(get(test::checkTarget("owner", given)));
        ASSERT_EQ(recs.size(), 2u) << given;
        EXPECT_EQ(std::u16string(recs[0].name), u"owner");
        // A wrong PIN is shown neither itself (the game must refuse the start) nor the stored hash.
        std::string shown(recs[0].pinHash, recs[0].pinHash + 8), right = "11111111";
        EXPECT_TRUE(given == right ? shown == right : shown != given && shown != right) << given << " shows " << shown;
        EXPECT_EQ(std::u16string(recs[1].pinHash), u"00000000") << "other players are masked";
    }
    // An unknown name: no line claims it, so the game offers a new start.
    EXPECT_FALSE(findRecord(records(get(test::checkTarget("nobody", "11111111"))), u"nobody"));
    for (bool legacy : {false, true}) {
        makeStore({.legacyCheck = legacy});
        ASSERT_EQ(send(u"one", {.pin = "abcdef12"}).status, 200);
        auto recs = records(get("/state/change.php?mode=check"));
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(std::u16string(recs[0].pinHash), legacy ? u"abcdef12" : u"00000000");
    }
}

TEST_F(Handler, RepliesHoldTheTopAndLivePlayersOfTheSameLevel) {
    makeStore(unbounded(16), true);
    RankingStore other(*storage, {});  // another instance on the same database
    auto elsewhere = [&](const char16_t* name) { return other.commit(other.submit(name, stateValue({}), {}, now).commit.value()).status; };
    // 300 players; player i climbs to level 1 + i % 7 (one level per update), and among the
    // players of a level the larger i has fewer steps.
    for (int i = 0; i < 300; ++i, now += 10)
        for (int level = 1; level <= 1 + i % 7; ++level)
            ASSERT_EQ(send(numbered(u"p", i), {.level = level, .steps = level * 1000 - i}).status, 200);
    ASSERT_EQ(elsewhere(u"gone"), 200);
    now += 20000;  // everyone goes quiet
    ASSERT_EQ(elsewhere(u"there"), 200);
    ASSERT_EQ(send(u"p0", {.steps = 1000}).status, 200);  // p0 is live on level 1 again
    std::string error;
    ASSERT_TRUE(store->writes().flush(error) && store->writes().pull(now, error)) << error;
    auto recs = records(send(u"newcomer", {}));
    // After its own line, the top: the sixteen best overall, level 7 and fewest steps (the
    // largest i, i % 7 == 6).
    for (int k = 0; k < 16; ++k) EXPECT_EQ(std::u16string(recs[1 + k].name), numbered(u"p", 293 - 7 * k)) << k;
    // Outside the top, the live players of the requester's level (seen in the last 10 s; by
    // the database's clock when another instance saw them), and nobody quiet.
    const std::pair<const char16_t*, bool> listed[] = {{u"p0", true}, {u"p7", false}, {u"there", true}, {u"gone", false}};
    for (const auto& [name, live] : listed) EXPECT_EQ(findRecord(recs, name) != nullptr, live) << utf16ToUtf8(name);
    // Seen again unchanged, p0 keeps its place in the live order, and is counted live 10 s from
    // then, not from the place.
    now += 6000;
    ASSERT_EQ(send(u"p0", {.steps = 1000}).status, 200);
    EXPECT_EQ(store->livePlayerCount(now + 6000), 1u);
    // The newcomer, seen once 6 s ago, is live until exactly 10 s after.
    now += 1000;
    EXPECT_NE(findRecord(records(send(u"p0", {.steps = 1000})), u"newcomer"), nullptr);
    now += 3000;
    EXPECT_EQ(findRecord(records(send(u"p0", {.steps = 1000})), u"newcomer"), nullptr);
}

TEST(ReplyView, WhileTheFirstViewIsBuiltAReplyWaitsForIt) {
    // Two replies ask for the view while the players' lock is held here: one builds and waits
    // for the lock; the other finds the view being built and, with no earlier view to answer
    // from, must wait for it (the seam says when it does) rather than answer from nothing.
    Players players(10000, 256);
    std::unique_lock held(players.mutex);
    players.add(u"someone", stateValue({}), 0, 0, 1, true);
    std::promise<void> waiting;
    Views views(players, {}, [&] { waiting.set_value(); });
    auto ask = [&] { return std::async(std::launch::async, [&] { return views.current(0); }); };
    std::future<std::shared_ptr<const View>> replies[] = {ask(), ask()};
    EXPECT_EQ(waiting.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready) << "answered from nothing";
    held.unlock();
    for (auto& r : replies) {
        std::shared_ptr<const View> v = r.get();
        EXPECT_TRUE(v && v->ranked->lines() == 1);
    }
}

TEST_F(Handler, RepliesStayWithin256LinesAnd60KiBWithLongestNicknames) {
    // 31 three-byte characters each: the longest line a valid nickname can make.
    std::u16string name(31, u'\u3042');
    for (int i = 0; i < 400; ++i, now += 10) ASSERT_EQ(send(name.replace(0, 1, 1, char16_t(0x4e00 + i)), {}).status, 200);
    for (const HttpResponse& r : {send(name, {}), get("/state/change.php?mode=check")}) {
        std::string text = r.body.str();
        EXPECT_LT(text.size(), 60u * 1024u);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 256);
        EXPECT_EQ(records(r).size(), 256u);
    }
}

TEST_F(Handler, OnlyANewNicknameWaitsForItsCommitAndTheFirstCommitWins) {
    ASSERT_EQ(send(u"known", {}).status, 200);
    EXPECT_FALSE(handleRequest({"GET", rankingTarget(u"known", {})}, *ctx).commit) << "known: answered at once";
    Decision first = handleRequest({"GET", rankingTarget(u"newcomer", {})}, *ctx);
    Decision second = handleRequest({"GET", rankingTarget(u"newcomer", {.pin = "0badf00d"})}, *ctx);
    Decision late = handleRequest({"GET", rankingTarget(u"late", {})}, *ctx);
    ASSERT_TRUE(first.commit && second.commit && late.commit);
    EXPECT_EQ(store->playerCount(), 1u) << "nothing registered before its commit";
    EXPECT_EQ(commitChange(*first.commit, *ctx).status, 200);
    EXPECT_EQ(commitChange(*second.commit, *ctx).status, 403);
    store->writes().writeFailed("a write failed");  // the database fails between a decision and its commit
    EXPECT_EQ(commitChange(*late.commit, *ctx).status, 503);
    EXPECT_EQ(store->playerCount(), 2u);
    EXPECT_FALSE(handleRequest({"GET", rankingTarget(u"newcomer", {})}, *ctx).commit) << "known now";
}

TEST_F(Handler, EveryRequesterIsListedFirstAndExactlyOnceWhereverItRanks) {
    makeStore({.topLines = 4});
    // Ranked by steps: four in the top block, four below.
    for (int i = 0; i < 8; ++i, now += 10) ASSERT_EQ(send(numbered(u"r", i), {.steps = i}).status, 200);
    std::vector<std::string> lines(8);  // as a check lists them, in rank order
    std::istringstream all(get("/state/change.php?mode=check").body.str());
    for (std::string& line : lines) std::getline(all, line);
    for (int i : {0, 2, 3, 4, 6, 7}) {  // first, inside and last of each block
        std::string expected = lines[i] + "\n";
        for (int k = 0; k < 8; ++k) expected += k == i ? "" : lines[k] + "\n";
        EXPECT_EQ(send(numbered(u"r", i), {.steps = i}).body.str(), expected) << i;
    }
}

TEST_F(Handler, RoutesStatusesAndMetrics) {
    struct Case { const char* method; std::string target; bool admin; int status; } cases[] = {
        {"GET", "/other", false, 404}, {"GET", "/state/change.phpx?mode=check", false, 404},
        {"POST", "/state/change.php?mode=check", false, 405}, {"HEAD", "/state/change.php?mode=check", false, 200},
        {"GET", "/state/change.php", false, 400}, {"GET", "/state/change.php?name=x", false, 400},
        {"GET", "/healthz", false, 404}, {"GET", "/metrics", false, 404}, {"GET", "/state/change.php?mode=check", true, 404},
        {"HEAD", "/healthz", true, 200}, {"GET", "/healthz", true, 200}, {"POST", "/healthz", true, 405},
    };
    for (const Case& c : cases) EXPECT_EQ(answer({c.method, c.target, 0, 0, false, c.admin}).status, c.status) << c.target;
    std::string text = answer({"GET", "/metrics", 0, 0, false, true}).body.str();
    EXPECT_NE(text.find("orlith_requests_total{status=\"404\"} 5"), std::string::npos) << text;
    EXPECT_NE(text.find("orlith_requests_total{status=\"405\"} 2"), std::string::npos);
    EXPECT_NE(text.find("orlith_request_duration_seconds_bucket{le=\"+Inf\"} 12"), std::string::npos);
    EXPECT_EQ(metrics.requests(400), 2u);
    RefusalLog limited(3);
    for (int i = 0; i < 10; ++i) limited.refused(400, "test refusal", {}, 5000);
    EXPECT_EQ(limited.logged(), 3u) << "the log keeps to its rate";
    limited.refused(400, "test refusal", {}, 6000);
    EXPECT_EQ(limited.logged(), 4u);
}

}  // namespace
}  // namespace orlith::server
