// The request rules end to end without sockets: registration, 403/409/429, masking, the
// content and size of replies, each reply read back with the game's own parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "handler.h"
#include "maze/maze.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using test::rankingTarget;
using test::StateFields;

class Handler : public ::testing::Test {
protected:
    void SetUp() override { makeStore(StoreOptions{}); }
    void makeStore(StoreOptions o) {
        o.viewMaxAgeMs = 0;
        storage = makeMemoryStorage();
        store = std::make_unique<RankingStore>(*storage, o);
        ctx = std::make_unique<HandlerContext>(HandlerContext{*store, metrics, log, [this] { return now; },
                                                              [] { return Metrics::Gauges{}; }});
    }
    // As the socket side does it: a registration is committed, then answered.
    HttpResponse answer(const HttpRequest& request) {
        Decision d = handleRequest(request, *ctx);
        return d.registration ? commitRegistration(*d.registration, *ctx) : std::move(d.response);
    }
    HttpResponse get(const std::string& target, std::string_view method = "GET") { return answer({method, target}); }
    HttpResponse send(const std::u16string& nick, const StateFields& f) { return get(rankingTarget(nick, f)); }
    std::vector<RankingRecord> records(const HttpResponse& r) {
        std::vector<RankingRecord> out(kMaxRankingRecords);
        int32_t n = 0;
        parseRankingReply(r.body.str(), out.data(), n);
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

TEST_F(Handler, ImplausibleUpdatesAreRefusedWith409AndNotStored) {
    StateFields base;
    base.level = 1;
    base.steps = 50;
    ASSERT_EQ(send(u"p", base).status, 200);
    base.level = 2;
    ASSERT_EQ(send(u"p", base).status, 200);  // one level up is the normal case
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* description;
        int32_t level, steps;
        float x;
        int expected;
    } cases[] = {
        {"the level falls", 1, 60, 3, 409},
        {"the level rises by 2", 4, 60, 3, 409},
        {"the step count falls", 2, 49, 3, 409},
        {"a NaN position", 2, 60, nan, 409},
        {"an infinite position", 2, 60, inf, 409},
        {"the same level, more steps", 2, 60, 3, 200},
        {"the same state again", 2, 60, 3, 200},
        {"one more level", 3, 61, 4, 200},
    };
    for (const Case& c : cases) {
        StateFields f = base;
        f.level = c.level;
        f.steps = c.steps;
        f.pos[0] = c.x;
        EXPECT_EQ(send(u"p", f).status, c.expected) << c.description;
    }
    auto recs = records(send(u"q", StateFields{}));
    auto p = std::find_if(recs.begin(), recs.end(), [](auto& r) { return nameOf(r) == u"p"; });
    ASSERT_NE(p, recs.end());
    EXPECT_EQ(p->level, 3);
    EXPECT_EQ(p->stepCount, 61);
}

TEST_F(Handler, ANewNicknameMustStartAtLevelOne) {
    StateFields f;
    f.level = 40;
    EXPECT_EQ(send(u"cheat", f).status, 409);
    EXPECT_EQ(store->playerCount(), 0u);
    f.level = 1;
    f.view[1] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(send(u"cheat", f).status, 409);
}

TEST_F(Handler, MoreThan120RequestsASecondForOneNicknameGet429) {
    StateFields f;
    for (int i = 0; i < 120; ++i) ASSERT_EQ(send(u"fast", f).status, 200) << i;
    EXPECT_EQ(send(u"fast", f).status, 429);
    EXPECT_EQ(send(u"other", f).status, 200);  // the limit is per nickname
    now += 1000;
    EXPECT_EQ(send(u"fast", f).status, 200);
}

TEST_F(Handler, RequestsWithAWrongPinHashDoNotSpendThePlayersBudget) {
    StateFields f;
    ASSERT_EQ(send(u"victim", f).status, 200);
    StateFields thief = f;
    thief.pin = "00000001";
    for (int i = 0; i < 300; ++i) ASSERT_EQ(send(u"victim", thief).status, 403);
    for (int i = 0; i < 119; ++i) ASSERT_EQ(send(u"victim", f).status, 200) << i;
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

TEST_F(Handler, AnEmptyServerAnswersACheckWithAnEmptyBody) {
    HttpResponse r = get("/state/change.php?mode=check");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.str(), "");
}

TEST_F(Handler, RepliesHoldTheTrueTopEightAndLivePlayersOfTheSameLevel) {
    StoreOptions o;
    o.topLines = 16;
    makeStore(o);
    // 300 players; player i climbs to level 1 + i % 7 (one level per update).
    for (int i = 0; i < 300; ++i) {
        StateFields f;
        f.steps = 1000 - i;
        std::u16string name = u"p" + utf8ToUtf16(std::to_string(i));
        now += 10;  // new nicknames are limited per second
        for (int level = 1; level <= 1 + i % 7; ++level) {
            f.level = level;
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
    // Sort as the game does, then the first eight must be the eight best overall: level 7,
    // fewest steps, i.e. the largest i with i % 7 == 6.
    std::vector<RankingRecord> sorted(recs.begin(), recs.end());
    for (auto& r : sorted) r.goalDistance = 0;  // every test player stands on the same cell
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](auto& a, auto& b) { return compareRankingRecords(a, b) < 0; });
    std::vector<int> expected;
    for (int i = 299; i >= 0 && expected.size() < 8; --i) {
        if (i % 7 == 6) expected.push_back(i);
    }
    for (size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(nameOf(sorted[k]), u"p" + utf8ToUtf16(std::to_string(expected[k]))) << k;
    }
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
        ASSERT_EQ(d.registration.has_value(), c.commit) << c.description;
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
    ASSERT_TRUE(first.registration && second.registration);
    EXPECT_EQ(commitRegistration(*first.registration, *ctx).status, 200);
    EXPECT_EQ(commitRegistration(*second.registration, *ctx).status, 403);
    EXPECT_EQ(store->playerCount(), 2u);
    EXPECT_EQ(metrics.requests(200), answered + 2);
    EXPECT_FALSE(handleRequest({"GET", rankingTarget(u"newcomer", f)}, *ctx).registration) << "known now";
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

TEST_F(Handler, WrongPinHashesFromOneAddressAreCappedForThatAddressOnly) {
    StoreOptions o;
    o.wrongPinsPerClient = 4;
    makeStore(o);
    StateFields owner;
    owner.pin = "11111111";
    ASSERT_EQ(send(u"owner", owner).status, 200);
    StateFields thief = owner;
    thief.pin = "22222222";
    const uint64_t guesser = 7, other = 8, unknown = 0;
    auto from = [&](uint64_t client, const std::string& target) {
        return answer({"GET", target, client}).status;
    };
    std::string wrongCheck = "/state/change.php?mode=check&name=owner&pin=33333333";
    std::string rightCheck = "/state/change.php?mode=check&name=owner&pin=11111111";
    // Four wrong hashes, by ranking request and by check alike: each still answered as usual.
    EXPECT_EQ(from(guesser, rankingTarget(u"owner", thief)), 403);
    EXPECT_EQ(from(guesser, wrongCheck), 200);
    EXPECT_EQ(from(guesser, rankingTarget(u"owner", thief)), 403);
    EXPECT_EQ(from(guesser, wrongCheck), 200);
    struct Case {
        const char* description;
        uint64_t client;
        std::string target;
        int expected;
    } cases[] = {
        {"the right hash from the guessing address", guesser, rightCheck, 429},
        {"a ranking request from the guessing address", guesser, rankingTarget(u"owner", owner), 429},
        {"a new nickname from the guessing address", guesser, rankingTarget(u"fresh", owner), 429},
        {"a check without a name names nobody", guesser, "/state/change.php?mode=check", 200},
        {"health from the guessing address", guesser, "/healthz", 200},
        {"another address", other, rankingTarget(u"owner", owner), 200},
        {"another address, wrong hash", other, rankingTarget(u"owner", thief), 403},
        {"an unknown address is never limited", unknown, rightCheck, 200},
    };
    for (const Case& c : cases) EXPECT_EQ(from(c.client, c.target), c.expected) << c.description;
    now += o.wrongPinWindowMs;
    EXPECT_EQ(from(guesser, rightCheck), 200) << "a new window";
    EXPECT_EQ(from(guesser, rankingTarget(u"owner", owner)), 200);
}

TEST_F(Handler, RoutesAndStatuses) {
    EXPECT_EQ(get("/other").status, 404);
    EXPECT_EQ(get("/state/change.phpx?mode=check").status, 404);
    EXPECT_EQ(get("/state/change.php?mode=check", "POST").status, 405);
    EXPECT_EQ(get("/state/change.php?mode=check", "DELETE").status, 405);
    EXPECT_EQ(get("/state/change.php").status, 400);
    EXPECT_EQ(get("/state/change.php?name=x").status, 400);
    HttpResponse h = get("/healthz");
    EXPECT_EQ(h.status, 200);
    HttpResponse m = get("/metrics");
    EXPECT_EQ(m.status, 200);
    EXPECT_NE(m.body.str().find("orlith_requests_total{status=\"404\"} 2"), std::string::npos) << m.body.str();
    EXPECT_NE(m.body.str().find("orlith_requests_total{status=\"405\"} 2"), std::string::npos);
    EXPECT_NE(m.body.str().find("orlith_request_duration_seconds_bucket{le=\"+Inf\"} 7"), std::string::npos);
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
    auto state = std::unique_ptr<GameState>(new GameState);
    for (int level = 1; level <= 3; ++level) {
        state->level = level;
        newLevel(*state);
        EXPECT_EQ(state->goalPos[0], 1.0f);
        EXPECT_EQ(state->goalPos[1], 1.0f);
        EXPECT_EQ(state->goalPos[2], 1.0f);
    }
}

}  // namespace
}  // namespace orlith::server
