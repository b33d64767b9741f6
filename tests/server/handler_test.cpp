// The request rules end to end without sockets: registration, 403/409/429, masking, the
// content and size of replies, each reply read back with the game's own parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <zlib.h>

#include <random>

#include "handler.h"
#include "game/game.h"
#include "maze/maze.h"
#include "platform/null_platform.h"
#include "server/path_walker.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using test::rankingTarget;
using test::StateFields;

class Handler : public ::testing::Test {
protected:
    void SetUp() override { makeStore(StoreOptions{}); }
    void makeStore(StoreOptions o, int64_t minIntervalMs = 0) {
        o.viewMaxAgeMs = 0;
        o.minIntervalMs = minIntervalMs;
        ctx.reset();
        store.reset();  // before its storage: its levels are written there in the background
        storage = makeMemoryStorage();
        store = std::make_unique<RankingStore>(*storage, o);
        ctx = std::make_unique<HandlerContext>(HandlerContext{*store, metrics, log, [this] { return now; },
                                                              [] { return Metrics::Gauges{}; }});
    }
    // As the socket side does it: a registration is committed, then answered.
    HttpResponse answer(const HttpRequest& request) {
        Decision d = handleRequest(request, *ctx);
        return d.commit ? commitChange(*d.commit, *ctx) : std::move(d.response);
    }
    HttpResponse get(const std::string& target, std::string_view method = "GET") { return answer({method, target}); }
    HttpResponse send(const std::u16string& nick, const StateFields& f) { return get(rankingTarget(nick, f)); }
    std::vector<RankingRecord> records(const HttpResponse& r) {
        std::vector<RankingRecord> out(kMaxRankingRecords);
        int32_t n = 0;
        parseRankingReply(r.body.str(), out.data(), n, NullPlatform{});
        out.resize(static_cast<size_t>(n));
        return out;
    }
    static std::u16string nameOf(const RankingRecord& r) { return r.name; }

    std::unique_ptr<Storage> storage;
    std::unique_ptr<RankingStore> store;
    Metrics metrics;
    RefusalLog log{1000};
    std::unique_ptr<HandlerContext> ctx;
    int64_t now = 1'000'000;
};

TEST_F(Handler, RegistersANewNicknameAndListsItFirstWithAMaskedPinHash) {
    StateFields f;
    f.steps = 4;
    HttpResponse r = send(u"alice", f);
    ASSERT_EQ(r.status, 200) << r.body.str();
    auto recs = records(r);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(nameOf(recs[0]), u"alice");
    EXPECT_EQ(std::u16string(recs[0].pinHash), u"00000000");
    EXPECT_EQ(recs[0].level, 1);
    EXPECT_EQ(recs[0].stepCount, 4);
    EXPECT_EQ(recs[0].position[0], 3.0f);
    EXPECT_TRUE(r.body.str().ends_with("\r\n"));
    EXPECT_EQ(store->playerCount(), 1u);
}

TEST_F(Handler, AKnownNicknameWithAnotherPinHashIsRefusedAndNothingIsStored) {
    StateFields f;
    ASSERT_EQ(send(u"alice", f).status, 200);
    StateFields thief = f;
    thief.pin = "deadbeef";
    thief.steps = 99;
    EXPECT_EQ(send(u"alice", thief).status, 403);
    auto recs = records(send(u"bob", StateFields{}));
    auto alice = std::find_if(recs.begin(), recs.end(), [](auto& r) { return nameOf(r) == u"alice"; });
    ASSERT_NE(alice, recs.end());
    EXPECT_EQ(alice->stepCount, 0);
}

TEST_F(Handler, ImplausibleUpdatesAndRisesNotWalkedAreRefusedWith409AndNotStored) {
    // Level 1's shortest path is 6 cells, level 2's 24; 18 cells a second at the most, from at
    // most a second before the request that started the level.
    ASSERT_EQ(store->levels().waitFor(1), 6);
    ASSERT_EQ(store->levels().waitFor(2), 24);
    ASSERT_EQ(send(u"p", StateFields{}).status, 200);  // at the start of level 1, no steps
    const int64_t start = now;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* description;
        std::u16string name;
        int64_t atMs;  // after the registration
        int32_t level, steps;
        float x;
        int expected;
    } cases[] = {
        {"a NaN position", u"p", 0, 1, 0, nan, 409},
        {"an infinite position", u"p", 0, 1, 0, inf, 409},
        {"level 3 at once", u"p", 0, 3, 60, 3, 409},
        {"level 2 with fewer steps than 6", u"p", 0, 2, 5, 3, 409},
        {"level 2 with 6 steps", u"p", 0, 2, 6, 3, 200},
        {"the level falls", u"p", 100, 1, 6, 3, 409},
        {"the step count falls", u"p", 100, 2, 5, 3, 409},
        {"the same state again", u"p", 100, 2, 6, 3, 200},
        {"level 3 sooner than 24 cells can be walked", u"p", 1300, 3, 30, 3, 409},
        {"level 3 with fewer than 24 steps on level 2", u"p", 1400, 3, 23, 3, 409},
        {"level 3 after both", u"p", 1400, 3, 24, 3, 200},
        {"a new nickname above level 1", u"cheat", 1400, 40, 0, 3, 409},
        {"a new nickname at an infinite place", u"cheat", 1400, 1, 0, inf, 409},
    };
    for (const Case& c : cases) {
        StateFields f;
        f.level = c.level;
        f.steps = c.steps;
        f.pos[0] = c.x;
        now = start + c.atMs;
        EXPECT_EQ(send(c.name, f).status, c.expected) << c.description;
    }
    EXPECT_EQ(store->playerCount(), 1u) << "no cheat registered";
    auto recs = records(send(u"q", StateFields{}));
    auto p = std::find_if(recs.begin(), recs.end(), [](auto& r) { return nameOf(r) == u"p"; });
    ASSERT_NE(p, recs.end());
    EXPECT_EQ(p->level, 3);
    EXPECT_EQ(p->stepCount, 24);
}

TEST_F(Handler, AnHonestWalkAlongTheShortestPathsIsNeverRefusedAndAScriptIsHeldToIt) {
    makeStore(StoreOptions{}, 50);  // paced as by default
    // The game sends its newest state whenever the last reply has arrived; a paced request
    // is decided again when due, as the socket side does.
    struct Client {
        std::string waiting;  // the request in flight
        int64_t dueMs = 0;
        int send(const std::string& target, int64_t now, HandlerContext& ctx) {
            if (waiting.empty()) waiting = target, dueMs = now;
            if (now < dueMs) return 0;
            Decision d = handleRequest({"GET", waiting}, ctx);
            if (d.retryAtMs) return dueMs = d.retryAtMs, 0;
            waiting.clear();
            return (d.commit ? commitChange(*d.commit, ctx) : std::move(d.response)).status;
        }
    } honest, script;
    test::PathWalker walker;
    const int64_t start = now;
    int64_t walked = 0;  // cells of the levels' shortest paths
    for (int frame = 1; walker.level() <= 8; ++frame) {
        int32_t level = walker.level();
        size_t path = walker.pathLength();
        walker.frame();
        if (walker.level() != level) walked += static_cast<int64_t>(path);
        now = start + frame * 1000 / 60;
        int status = honest.send("/state/change.php?" + test::rankingQuery(u"walker", walker.stateValue()), now, *ctx);
        ASSERT_TRUE(status == 0 || status == 200) << "level " << walker.level() << ", frame " << frame;
    }
    EXPECT_EQ(walked, 544) << "the shortest paths of levels 1-8";
    // A script that asks for the next level as often as it is answered, its step count far
    // ahead, climbs only as fast as the paths allow at 18 cells a second (each level less
    // the second a rise may take to arrive).
    now = start;
    StateFields f;
    int32_t level = 1;
    ASSERT_EQ(script.send(rankingTarget(u"script", f), now, *ctx), 200);
    std::vector<int64_t> reached = {0, start};  // when each level was reached
    for (; now < start + 60'000; now += 10) {
        f.level = level + 1;
        f.steps = 1'000'000 * level;
        if (script.send(rankingTarget(u"script", f), now, *ctx) == 200) reached.push_back(now), ++level;
    }
    for (int32_t l = 2; l < level; ++l) {
        int32_t path = store->levels().waitFor(l);
        EXPECT_GE(reached[l + 1] - reached[l], path * 1000 / 18 - 1000) << "level " << l << ", " << path << " cells";
    }
    EXPECT_LE(level, 12);
}

TEST_F(Handler, MoreThan120RequestsASecondForOneNicknameGet429) {
    StateFields f;
    for (int i = 0; i < 120; ++i) ASSERT_EQ(send(u"fast", f).status, 200) << i;
    EXPECT_EQ(send(u"fast", f).status, 429);
    EXPECT_EQ(send(u"other", f).status, 200);  // the limit is per nickname
    now += 1000;
    EXPECT_EQ(send(u"fast", f).status, 200);
}

TEST_F(Handler, PinGuessesAreBudgetedPerNicknameAndPerAddressAndARefusalNeverTellsRightFromWrong) {
    StateFields owner, wrong = owner, fresh;
    owner.pin = "11111111";
    auto from = [&](uint64_t client, uint64_t connection, const std::string& target) {
        HttpRequest r{"GET", target, client, connection};
        return answer(r).status;
    };
    auto guess = [&](int i) {
        wrong.pin = "2222" + std::to_string(1000 + i);
        return rankingTarget(u"owner", wrong);
    };
    const std::string ownerTarget = rankingTarget(u"owner", owner);
    ASSERT_EQ(from(1, 100, ownerTarget), 200);  // the owner plays from address 1, connection 100
    ASSERT_EQ(from(7, 700, rankingTarget(u"neighbour", StateFields{})), 200);  // someone at address 7
    // The nickname's ten wrong hashes, each from another address, are judged (403 or a stand-in).
    for (int i = 0; i < 10; ++i) ASSERT_EQ(from(1000 + i, 2000 + i, guess(i)), 403) << i;
    struct Case {
        const char* description;
        uint64_t client, connection;
        std::string target;
        int status;
    } cases[] = {
        {"another wrong hash from a new address", 5000, 6000, guess(10), 429},
        {"the right hash from a new address: no oracle", 5001, 6001, ownerTarget, 429},
        {"a check with the right hash from a new address", 5002, 6002,
         "/state/change.php?mode=check&name=owner&pin=11111111", 429},
        {"the owner's own connection", 1, 100, ownerTarget, 200},
        {"the owner's address on a new connection", 1, 101, ownerTarget, 200},
        {"a wrong hash from the owner's address, on its own small budget", 1, 102, guess(11), 403},
        {"a new nickname from a guessing address", 1000, 2000, rankingTarget(u"fresh", fresh), 200},
        {"a check without a name names nobody", 5003, 6003, "/state/change.php?mode=check", 200},
    };
    for (const Case& c : cases) EXPECT_EQ(from(c.client, c.connection, c.target), c.status) << c.description;
    // The owner's address gets three wrong hashes in all; then it too is refused unjudged,
    // except on the owner's own connection.
    EXPECT_EQ(from(1, 102, guess(12)), 403);
    EXPECT_EQ(from(1, 102, guess(13)), 403);
    EXPECT_EQ(from(1, 103, ownerTarget), 429);
    EXPECT_EQ(from(1, 101, ownerTarget), 200) << "a connection that showed the right hash";
    // One address spraying wrong hashes over many nicknames runs out on its own budget.
    for (int i = 0; i < 30; ++i) {
        std::u16string nick = u"n" + utf8ToUtf16(std::to_string(i));
        ASSERT_EQ(send(nick, fresh).status, 200);
        ASSERT_EQ(from(7, 701 + i, rankingTarget(nick, wrong)), 403) << i;
    }
    EXPECT_EQ(from(7, 800, rankingTarget(u"n0", fresh)), 429) << "a right hash from the spraying address";
    EXPECT_EQ(from(7, 700, rankingTarget(u"neighbour", StateFields{})), 200) << "an honest player there";
    EXPECT_EQ(from(7, 801, rankingTarget(u"neighbour", StateFields{})), 200) << "... also on a new connection";
    EXPECT_EQ(from(8, 900, rankingTarget(u"n0", fresh)), 200) << "the sprayed nickname from elsewhere";
}

TEST_F(Handler, FindingAFourDigitPinTakesMoreThanADayFromAnyNumberOfAddresses) {
    char16_t hash[9];
    makePinHash(u"victim", u"5000", hash);
    StateFields victim;
    victim.pin = utf16ToUtf8(hash);
    ASSERT_EQ(send(u"victim", victim).status, 200);
    // A guesser walks through every PIN in order, each guess from a new address on a new
    // connection, twenty a minute for a day (as fast as it likes: refusals cost it nothing).
    int judged = 0, pin = 0;
    uint64_t address = 1'000'000;
    for (int minute = 0; minute < 24 * 60; ++minute, now += 60'000) {
        for (int k = 0; k < 20 && pin < 10000; ++k, ++address) {
            char digits[12];
            std::snprintf(digits, sizeof digits, "%04d", pin);
            makePinHash(u"victim", utf8ToUtf16(digits), hash);
            StateFields g;
            g.pin = utf16ToUtf8(hash);
            int status = answer({"GET", rankingTarget(u"victim", g), address, address}).status;
            ASSERT_NE(status, 200) << "found after " << judged << " judged guesses";
            if (status != 429) {
                ++judged;
                ++pin;  // a refused guess tells nothing, so the guesser tries the same PIN again
            }
        }
    }
    // Ten at once and one per ten minutes: 154 of 10,000 PINs a day.
    EXPECT_GE(judged, 150);
    EXPECT_LE(judged, 160);
}

TEST_F(Handler, NewNicknamesMayNotHideCharactersOrLookLikeARegisteredOne) {
    ASSERT_EQ(send(u"alice", StateFields{}).status, 200);
    ASSERT_EQ(send(u"caf\u00e9", StateFields{}).status, 200);
    const std::pair<std::u16string, int> cases[] = {
        {u"alice\u200b", 400},           // zero-width space
        {u"\u202eecila", 400},           // right-to-left override
        {u"\u2066bob\u2069", 400},       // isolate controls
        {u"\ufeffbob", 400},             // byte-order mark
        {u"bob\u2028", 400},             // line separator
        {u"bob\u2029", 400},             // paragraph separator
        {u"bob\u00ad", 400},             // soft hyphen
        {u"\u3164", 400},                // Hangul filler: a blank name
        {u"bob\ufdd0", 400},             // noncharacters
        {u"bob\uffff", 400},
        {u"\u0430lice", 409},            // Cyrillic a
        {u"Alice", 409},                 // case
        {u"aIice", 409},                 // capital I for l
        {u"cafe\u0301", 409},            // decomposed accent
        {u"\uff41lice", 409},            // full-width a
        {u"alicia", 200},
        {u"\u3042\u3044", 200},          // ordinary Japanese
        {u"bob", 200},
    };
    for (const auto& [name, status] : cases) EXPECT_EQ(send(name, StateFields{}).status, status) << utf16ToUtf8(name);
    EXPECT_EQ(store->playerCount(), 5u);
    // Look-alike pairs registered before these rules stay, and both keep playing.
    auto storage2 = makeMemoryStorage();
    for (std::u16string name : {u"alice", u"\u0430lice", u"bob\u200b"}) {
        StoredPlayer row{utf16ToUtf8(name), "1234abcd", test::stateValue(StateFields{}), 0, {}};
        bool inserted;
        StoredPlayer existing;
        std::string error;
        ASSERT_TRUE(storage2->registerPlayer(row, inserted, existing, error));
    }
    RankingStore old(*storage2, StoreOptions{});
    std::string error;
    ASSERT_TRUE(old.load(error)) << error;
    old.waitIndexed();
    StateFields next;
    next.steps = 1;
    for (std::u16string name : {u"alice", u"\u0430lice", u"bob\u200b"}) {
        EXPECT_EQ(old.submit(name, test::stateValue(next), {}, now).status, 200) << utf16ToUtf8(name);
    }
    Reply reply = old.submit(u"\u0391lice", test::stateValue(StateFields{}), {}, now);  // Greek capital alpha
    ASSERT_TRUE(reply.commit);
    EXPECT_EQ(old.commit(*reply.commit).status, 409);
}

TEST_F(Handler, OneAddressCannotUseUpEveryonesNewNicknames) {
    StoreOptions o;
    o.registrationsPerAddress = 3;
    o.registrationsPerSecond = 5;
    makeStore(o);
    auto fromAddress = [&](uint64_t client, const std::u16string& name) {
        return answer({"GET", rankingTarget(name, StateFields{}), client, client}).status;
    };
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fromAddress(9, u"junk" + utf8ToUtf16(std::to_string(i))), 200);
    EXPECT_EQ(fromAddress(9, u"junk3"), 429) << "the address's budget";
    EXPECT_EQ(fromAddress(10, u"honest"), 200) << "another address is not held up";
    EXPECT_EQ(fromAddress(11, u"second"), 200);
    EXPECT_EQ(fromAddress(12, u"third"), 429) << "the global cap still holds";
    now += 1000;
    EXPECT_EQ(fromAddress(12, u"third"), 200);
    now += o.registrationPeriodMs;
    EXPECT_EQ(fromAddress(9, u"junk3"), 200) << "one more after a period";
}

TEST_F(Handler, RepliesToOnePlayerArePacedByATimeNotARefusal) {
    makeStore(StoreOptions{}, 50);
    StateFields f;
    ASSERT_EQ(send(u"pace", f).status, 200) << "a registration is answered at once";
    f.steps = 1;
    Decision held = handleRequest({"GET", rankingTarget(u"pace", f)}, *ctx);
    EXPECT_EQ(held.retryAtMs, now + 50);
    EXPECT_FALSE(held.commit);
    now += 20;
    EXPECT_EQ(handleRequest({"GET", rankingTarget(u"pace", f)}, *ctx).retryAtMs, now + 30) << "still the same time";
    StateFields thief = f;
    thief.pin = "deadbeef";
    EXPECT_EQ(handleRequest({"GET", rankingTarget(u"pace", thief)}, *ctx).response.status, 403) << "never held";
    now += 30;
    Decision due = handleRequest({"GET", rankingTarget(u"pace", f)}, *ctx);
    EXPECT_EQ(due.retryAtMs, 0);
    EXPECT_EQ(due.response.status, 200);
    EXPECT_EQ(records(due.response)[0].stepCount, 1);
    EXPECT_EQ(send(u"other", f).status, 200) << "pacing is per player";
}

// Inflates a gzip member with zlib; empty on any error.
std::string gunzip(const std::string& z) {
    z_stream zs{};
    inflateInit2(&zs, 16 + 15);
    std::string out(1 << 20, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
    zs.avail_in = static_cast<uInt>(z.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    bool whole = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return whole ? out : std::string();
}

TEST_F(Handler, GzipRepliesInflateToThePlainReplyWhereverTheRequesterStands) {
    StoreOptions o;
    o.topLines = 40;  // blocks with whole and partial chunks of both packings
    o.maxLines = 150;
    makeStore(o);
    std::mt19937 rng(3);
    // 220 live players on level 1 with distinct step counts (the order is by steps).
    for (int i = 0; i < 220; ++i) {
        StateFields f;
        f.steps = static_cast<int32_t>(rng() % 100000);
        f.pos[0] = static_cast<float>(rng() % 7);
        now += 5;
        ASSERT_EQ(send(u"g" + utf8ToUtf16(std::to_string(i)), f).status, 200);
    }
    // Requesters at the edges of the top and of chunks, inside runs, and past the line cap.
    for (int steps : {-1, 0, 31, 32, 33, 39, 40, 41, 71, 72, 100, 147, 148, 149, 150, 199, 219, 500000}) {
        StateFields f;
        f.steps = steps < 0 ? 0 : steps;
        std::u16string me = u"req" + utf8ToUtf16(std::to_string(steps + 1));
        std::string target = rankingTarget(me, f);
        HttpRequest plain{"GET", target};
        std::string text = answer(plain).body.str();
        HttpRequest zipped = plain;
        zipped.acceptGzip = true;
        HttpResponse z = answer(zipped);
        EXPECT_TRUE(z.body.gzip);
        EXPECT_EQ(gunzip(z.body.str()), text) << steps;
        EXPECT_LT(z.body.size() * 3, text.size()) << steps;
        EXPECT_EQ(records(z).size(), 0u) << "the game's parser sees gzip bytes, not lines";
    }
    HttpRequest check{"GET", "/state/change.php?mode=check&name=g5&pin=1234abcd"};  // a literal: lives on
    std::string text = answer(check).body.str();
    check.acceptGzip = true;
    EXPECT_EQ(gunzip(answer(check).body.str()), text);
}

TEST_F(Handler, TheOrderKeptIncrementallyIsTheGamesOrder) {
    StoreOptions o;
    o.topLines = 64;
    o.maxCellsPerSecond = std::numeric_limits<double>::infinity();  // rises as often as steps allow
    makeStore(o);
    std::mt19937 rng(11);
    std::vector<StateFields> players(150);
    auto name = [](size_t i) { return u"o" + utf8ToUtf16(std::to_string(i % 10)) + (i % 3 ? u"A" : u"a") + utf8ToUtf16(std::to_string(i)); };
    for (size_t i = 0; i < players.size(); ++i) {
        now += 5;
        players[i].steps = static_cast<int32_t>(rng() % 20);
        ASSERT_EQ(send(name(i), players[i]).status, 200);
    }
    // Random moves: level rises, steps, positions off the goal's cell.
    for (int round = 0; round < 3000; ++round) {
        size_t i = rng() % players.size();
        StateFields& f = players[i];
        if (rng() % 10 == 0) f.level += 1, f.steps += 1000;
        f.steps += static_cast<int32_t>(rng() % 3);
        for (float& c : f.pos) c = static_cast<float>(rng() % 9) - 1.0f;
        now += 1;
        ASSERT_EQ(send(name(i), f).status, 200);
    }
    now += 1000;
    auto recs = records(get("/state/change.php?mode=check"));
    ASSERT_EQ(recs.size(), players.size());
    const float goal[3] = {1.0f, 1.0f, 1.0f};
    for (auto& r : recs) r.goalDistance = distanceToGoal(goal, r.position);
    std::vector<RankingRecord> sorted = recs;
    std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return compareRankingRecords(a, b) < 0; });
    for (size_t k = 0; k < recs.size(); ++k) EXPECT_EQ(nameOf(recs[k]), nameOf(sorted[k])) << k;
}

TEST_F(Handler, ACheckWithANameGivesTheTrueHashOnlyForTheRightPin) {
    StateFields f;
    f.pin = "11111111";
    ASSERT_EQ(send(u"owner", f).status, 200);
    ASSERT_EQ(send(u"someone", StateFields{}).status, 200);
    struct Case {
        const char* given;
        bool matches;
    } cases[] = {{"11111111", true}, {"00000000", false}, {"22222222", false}, {"abcdef01", false}};
    for (const Case& c : cases) {
        auto recs = records(get(std::string("/state/change.php?mode=check&name=owner&pin=") + c.given));
        ASSERT_EQ(recs.size(), 2u) << c.given;
        EXPECT_EQ(nameOf(recs[0]), u"owner");
        std::string shown(recs[0].pinHash, recs[0].pinHash + 8);
        if (c.matches) {
            EXPECT_EQ(shown, "11111111");
        } else {
            EXPECT_NE(shown, c.given) << "the game must refuse the start";
            EXPECT_NE(shown, "11111111") << "the stored hash must not leak";
        }
        EXPECT_EQ(std::u16string(recs[1].pinHash), u"00000000") << "other players are masked";
    }
    // An unknown name: no line claims it, so the game offers a new start.
    for (auto& r : records(get("/state/change.php?mode=check&name=nobody&pin=11111111"))) {
        EXPECT_NE(nameOf(r), u"nobody");
    }
}

TEST_F(Handler, ACheckWithoutANameMasksEveryHashUnlessLegacyIsAsked) {
    EXPECT_EQ(get("/state/change.php?mode=check").body.str(), "") << "nobody registered: an empty body";
    StateFields f;
    f.pin = "abcdef12";
    ASSERT_EQ(send(u"one", f).status, 200);
    auto masked = records(get("/state/change.php?mode=check"));
    ASSERT_EQ(masked.size(), 1u);
    EXPECT_EQ(std::u16string(masked[0].pinHash), u"00000000");

    makeStore([] { StoreOptions o; o.legacyCheck = true; return o; }());
    ASSERT_EQ(send(u"one", f).status, 200);
    auto legacy = records(get("/state/change.php?mode=check"));
    ASSERT_EQ(legacy.size(), 1u);
    EXPECT_EQ(std::u16string(legacy[0].pinHash), u"abcdef12");
}

TEST_F(Handler, RepliesHoldTheTopAndLivePlayersOfTheSameLevel) {
    StoreOptions o;
    o.topLines = 16;
    o.maxCellsPerSecond = std::numeric_limits<double>::infinity();  // rises as often as steps allow
    makeStore(o);
    // 300 players; player i climbs to level 1 + i % 7 (one level per update), and among the
    // players of a level the larger i has fewer steps.
    for (int i = 0; i < 300; ++i) {
        StateFields f;
        std::u16string name = u"p" + utf8ToUtf16(std::to_string(i));
        now += 10;  // new nicknames are limited per second
        for (int level = 1; level <= 1 + i % 7; ++level) {
            f.level = level;
            f.steps = level * 1000 - i;
            ASSERT_EQ(send(name, f).status, 200);
        }
    }
    now += 20000;  // everyone goes quiet
    StateFields late;
    late.level = 1;
    late.steps = 1000;
    ASSERT_EQ(send(u"p0", late).status, 200);  // p0 is live on level 1 again
    StateFields f;
    auto recs = records(send(u"newcomer", f));
    ASSERT_LE(recs.size(), 256u);
    EXPECT_EQ(nameOf(recs[0]), u"newcomer");
    // The top: the sixteen best overall, level 7 and fewest steps (the largest i, i % 7 == 6).
    for (int k = 0; k < 16; ++k) EXPECT_EQ(nameOf(recs[1 + k]), u"p" + utf8ToUtf16(std::to_string(293 - 7 * k))) << k;
    auto has = [&](std::u16string n) {
        return std::any_of(recs.begin(), recs.end(), [&](auto& r) { return nameOf(r) == n; });
    };
    EXPECT_TRUE(has(u"p0")) << "a live player on the requester's level";
    EXPECT_FALSE(has(u"p7")) << "a quiet level-1 player outside the top is left out";
    for (auto& r : recs) EXPECT_EQ(std::u16string(r.pinHash), u"00000000");
}

TEST_F(Handler, RepliesStayWithin256LinesAnd60KiBWithLongestNicknames) {
    // 31 three-byte characters each: the longest line a valid nickname can make.
    for (int i = 0; i < 400; ++i) {
        std::u16string name(31, u'\u3042');
        name[0] = static_cast<char16_t>(0x4e00 + i);
        now += 10;
        ASSERT_EQ(send(name, StateFields{}).status, 200);
    }
    HttpResponse r = send(u"\u4e00" + std::u16string(30, u'\u3042'), StateFields{});
    ASSERT_EQ(r.status, 200);
    EXPECT_LT(r.body.size(), 60u * 1024u);
    size_t lines = 0;
    std::string text = r.body.str();
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, 256u);
    EXPECT_EQ(records(r).size(), 256u);
    auto check = get("/state/change.php?mode=check");
    EXPECT_LT(check.body.size(), 60u * 1024u);
    EXPECT_EQ(records(check).size(), 256u);
}

TEST_F(Handler, ANicknameWithSmuggledLineBreaksNeverReachesAReply) {
    std::string target = "/state/change.php?" +
                         test::rankingQuery(u"x", test::stateValue(StateFields{}));
    // Forge "x%0D%0A<state>y" and checksum it as the game would.
    std::u16string forged = u"x\r\n" + utf8ToUtf16(test::stateValue(StateFields{})) + u"y";
    HttpResponse r = get("/state/change.php?" + test::rankingQuery(forged, test::stateValue(StateFields{})));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body.str().find("\r\n"), r.body.size() - 2) << "an error body is one fixed line";
    EXPECT_EQ(store->playerCount(), 0u);
}

TEST_F(Handler, OnlyANewNicknameAsksForACommitAndNothingChangesUntilItIsCommitted) {
    StateFields f;
    ASSERT_EQ(send(u"known", f).status, 200);
    uint64_t answered = metrics.requests(200);
    struct Case {
        const char* description;
        std::u16string nickname;
        StateFields fields;
        bool commit;
        int status;  // of the response, or of the commit's reply
    } cases[] = {
        {"a known nickname is answered at once", u"known", f, false, 200},
        {"a wrong PIN hash for a known nickname is refused at once", u"known", [] { StateFields t; t.pin = "deadbeef"; return t; }(), false, 403},
        {"a new nickname above level 1 is refused at once", u"climber", [] { StateFields t; t.level = 5; return t; }(), false, 409},
        {"a new nickname waits for its commit", u"newcomer", f, true, 200},
    };
    for (const Case& c : cases) {
        Decision d = handleRequest({"GET", rankingTarget(c.nickname, c.fields)}, *ctx);
        ASSERT_EQ(d.commit.has_value(), c.commit) << c.description;
        if (!c.commit) {
            EXPECT_EQ(d.response.status, c.status) << c.description;
        }
    }
    EXPECT_EQ(store->playerCount(), 1u) << "nothing registered before its commit";
    EXPECT_EQ(metrics.requests(200), answered + 1) << "a registration is counted once answered";
    // Two decisions for one new nickname with different hashes: the first commit wins.
    StateFields other = f;
    other.pin = "0badf00d";
    Decision first = handleRequest({"GET", rankingTarget(u"newcomer", f)}, *ctx);
    Decision second = handleRequest({"GET", rankingTarget(u"newcomer", other)}, *ctx);
    ASSERT_TRUE(first.commit && second.commit);
    EXPECT_EQ(commitChange(*first.commit, *ctx).status, 200);
    EXPECT_EQ(commitChange(*second.commit, *ctx).status, 403);
    EXPECT_EQ(store->playerCount(), 2u);
    EXPECT_EQ(metrics.requests(200), answered + 2);
    EXPECT_FALSE(handleRequest({"GET", rankingTarget(u"newcomer", f)}, *ctx).commit) << "known now";
}

TEST_F(Handler, EveryRequesterIsListedFirstAndExactlyOnceWhereverItRanks) {
    StoreOptions o;
    o.topLines = 4;
    makeStore(o);
    // Eight live players on level 1, ranked by steps: four in the top block, four below it.
    for (int i = 0; i < 8; ++i) {
        StateFields f;
        f.steps = i;
        now += 10;
        ASSERT_EQ(send(u"r" + utf8ToUtf16(std::to_string(i)), f).status, 200);
    }
    for (int i : {0, 2, 3, 4, 6, 7}) {  // first, inside and last of each block
        StateFields f;
        f.steps = i;
        std::u16string me = u"r" + utf8ToUtf16(std::to_string(i));
        HttpResponse r = send(me, f);
        ASSERT_EQ(r.status, 200);
        auto recs = records(r);
        ASSERT_EQ(recs.size(), 8u) << i;
        EXPECT_EQ(nameOf(recs[0]), me);
        for (int k = 0; k < 8; ++k) {
            std::u16string n = u"r" + utf8ToUtf16(std::to_string(k));
            EXPECT_EQ(std::count_if(recs.begin(), recs.end(), [&](auto& x) { return nameOf(x) == n; }), 1) << i << " " << k;
        }
    }
}

TEST_F(Handler, RoutesAndStatuses) {
    struct Case {
        const char* method;
        std::string target;
        bool admin;
        int status;
    } cases[] = {
        {"GET", "/other", false, 404},
        {"GET", "/state/change.phpx?mode=check", false, 404},
        {"POST", "/state/change.php?mode=check", false, 405},
        {"DELETE", "/state/change.php?mode=check", false, 405},
        {"HEAD", "/state/change.php?mode=check", false, 405},
        {"GET", "/state/change.php", false, 400},
        {"GET", "/state/change.php?name=x", false, 400},
        {"GET", "http://example.org:8080/state/change.php?mode=check", false, 200},
        {"GET", "HTTP://example.org/state/change.php?mode=check", false, 200},
        {"GET", "/healthz", false, 404},
        {"GET", "/metrics", false, 404},
        {"GET", "/state/change.php?mode=check", true, 404},
        {"HEAD", "/healthz", true, 200},
        {"GET", "/healthz", true, 200},
        {"POST", "/healthz", true, 405},
    };
    for (const Case& c : cases) {
        HttpRequest r{c.method, c.target};
        r.admin = c.admin;
        EXPECT_EQ(answer(r).status, c.status) << c.method << " " << c.target << (c.admin ? " (admin)" : "");
    }
    HttpRequest m{"GET", "/metrics"};
    m.admin = true;
    std::string text = answer(m).body.str();
    EXPECT_NE(text.find("orlith_requests_total{status=\"404\"} 5"), std::string::npos) << text;
    EXPECT_NE(text.find("orlith_requests_total{status=\"405\"} 4"), std::string::npos);
    EXPECT_NE(text.find("orlith_request_duration_seconds_bucket{le=\"+Inf\"} 15"), std::string::npos);
    EXPECT_EQ(metrics.requests(400), 2u);
}

TEST(RefusalLogTest, LogsAtMostItsRateAndCountsTheRest) {
    RefusalLog log(3);
    for (int i = 0; i < 10; ++i) log.refused(400, "test refusal", {}, 5000);
    EXPECT_EQ(log.logged(), 3u);
    log.refused(400, "test refusal", {}, 6000);
    EXPECT_EQ(log.logged(), 4u);
}

TEST(GoalOfEveryLevel, IsTheCellTheServerRanksBy) {
    // The server ranks every player against the goal at (1,1,1); the maze set-up must agree.
    auto state = makeGameState();
    auto work = makeMazeWork();
    for (int level = 1; level <= 3; ++level) {
        state->level = level;
        newLevel(*state, *work);
        EXPECT_EQ(state->goalPos[0], 1.0f);
        EXPECT_EQ(state->goalPos[1], 1.0f);
        EXPECT_EQ(state->goalPos[2], 1.0f);
    }
}

}  // namespace
}  // namespace orlith::server
