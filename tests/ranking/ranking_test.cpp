// State value, checksum, PIN hash, request path and the ranking order. (Replies are parsed in
// network_test.cpp, through the real exchange.)
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "base/text.h"
#include "maze/maze.h"
#include "ranking/ranking.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

using namespace orlith;

namespace {

const orlith::test::FakePlatform utc;  // local time is UTC here, on every machine

RankingRecord record(const char16_t* name, int32_t level, float x, int32_t steps) {
    RankingRecord r{};
    copyText(r.name, 32, name);
    r.level = level, r.position[0] = x, r.position[1] = r.position[2] = 1, r.stepCount = steps;
    return r;
}

}  // namespace

TEST(Crc, StandardCrc32SkippingSeparatorsGuardsTheChecksumAndThePinHash) {
    for (std::u16string_view text : {u"abc", u"a=b&c"}) {  // the UTF-16LE bytes
        const std::string bytes = test::utf16le(text);
        EXPECT_EQ(crcUpdate(0, bytes.data(), static_cast<int32_t>(bytes.size())), 0x352441C2u) << utf16ToUtf8(text);
    }
    EXPECT_EQ(crcUpdate(crcUpdate(0, "1234", 4), "56789", 5), 0xCBF43926u);  // two runs continue as one
    for (int32_t none : {0, -1}) EXPECT_EQ(crcUpdate(0x1234u, "x", none), 0x1234u);
    // The checksum: CRC of "sum" and the text's bytes, low byte first ("suma\xCB\x30"), top bit cleared.
    EXPECT_EQ(computeChecksum(u"a\u30CB"), 63439251u);
    // Long texts, read in slices: the same as their bytes, whatever the length (the last, 300
    // characters, against zlib's CRC-32 of the bytes that count).
    const std::u16string_view pattern = u"name=abcdefghijklmnopqrstuvwxyz012\u30CB345&\u3D26";
    std::u16string longText;
    while (longText.size() < 300) {
        longText += pattern[longText.size() % pattern.size()];
        const std::string bytes = "sum" + test::utf16le(longText);
        ASSERT_EQ(computeChecksum(longText), crcUpdate(0, bytes.data(), static_cast<int32_t>(bytes.size())) & 0x7FFFFFFFu)
            << longText.size() << " characters";
    }
    EXPECT_EQ(computeChecksum(longText), 1250410134u);
    EXPECT_EQ(makeChecksumTag(u"abc"), u"&sum=242157181");  // CRC-32 of "sumabc", top bit cleared
    // The PIN hash: CRC-32 of the nickname and the PIN, the top bit cleared, then on over the PIN again.
    char16_t hash[9];
    makePinHash(u"alice", u"1234", hash);
    EXPECT_EQ(std::u16string(hash), u"ec870497");
}

TEST(StateValue, RoundTripsThroughTheRecordAndFieldsReadTheirLeadingHexDigits) {
    float pos[3] = {1.0f, -2.5f, 101.0f}, view[3] = {0, 0, -1}, up[3] = {0, 1, 0};
    std::u16string v = formatStateValue(0x5f5e1000u, u"0badcafe", 49, 123456, pos, view, up);
    ASSERT_EQ(v.size(), 104u);
    EXPECT_EQ(v.substr(0, 24), u"5f5e10000badcafe00000031");
    EXPECT_EQ(v.substr(32, 8), u"3f800000");
    RankingRecord r{};
    parseStateValue(r, v.c_str(), utc);
    EXPECT_EQ(std::tuple(std::u16string(r.pinHash), r.level, r.stepCount, r.position[1], r.viewDirection[2], r.up[1]),
              std::tuple(u"0badcafe", 49, 123456, -2.5f, -1.0f, 1.0f));
    EXPECT_EQ(std::u16string(r.dateText), u"2020/09/13 12:26");
    orlith::test::FakePlatform broken;  // a date the clock cannot convert is left empty
    broken.localTimeWorks = false;
    parseStateValue(r, v.c_str(), broken);
    EXPECT_EQ(r.dateText[0], 0);
    // Each field reads its leading hex digits; a terminator inside the value ends every later field.
    struct Case { std::u16string levelField; int32_t level; size_t rest = 80; };
    for (const Case& c : {Case{u"0000000c", 12}, Case{u"0000001g", 1}, Case{u"        ", 0}, Case{u"FFFFFFFF", -1},
                          Case{u"-0000001", 0}, Case{u"7fffffff", INT32_MAX}, Case{u"0000000c" u"00", 12, 0}}) {
        const std::u16string value = u"00000000" u"00000000" + c.levelField + std::u16string(c.rest, u'0');
        r = RankingRecord{};
        parseStateValue(r, value.c_str(), utc);
        EXPECT_EQ(std::tuple(r.level, r.stepCount), std::tuple(c.level, 0)) << utf16ToUtf8(c.levelField);
    }
}

TEST(RankingPath, CarriesTheNicknameStateAndChecksumOfTheQuery) {
    auto s = test::levelState(1);
    copyText(s->nickname, 32, u"a&b=c");
    copyText(s->pinHash, 32, u"12345678");
    s->cameraEye = {3, 3, 3, 0}, s->cameraFocus = {3, 3, 2, 0}, s->cameraUp = {0, 1, 0, 0};
    char16_t path[1024];
    int n = buildRankingPath(*s, 0x10, path, 1024);
    std::u16string p(path);
    ASSERT_EQ(n, static_cast<int>(p.size()));
    ASSERT_EQ(p.rfind(u"/state/change.php?name=a&b=c&state=00000010" u"12345678" u"00000001", 0), 0u);
    size_t sum = p.rfind(u"&sum=");  // missing, substr throws
    EXPECT_EQ(p.substr(sum), makeChecksumTag(p.substr(18, sum - 18)));
    EXPECT_EQ(buildRankingPath(*s, 0, path, 40), -1);
}

TEST(RankingOrder, LevelThenDistanceThenStepsThenNameUpToAFullList) {
    auto s = test::levelState(1);
    const RankingRecord input[] = {
        record(u"low", 1, 1, 0),       // level 1 at the goal
        record(u"far", 3, 9, 5),       // level 3, distance 8
        record(u"bob", 3, 2, 7), record(u"Bob", 3, 2, 7), record(u"alice", 3, 2, 7),  // level 3, distance 1, 7 steps
        record(u"quick", 3, 2, 3),     // level 3, distance 1, 3 steps
        record(u"top", 4, 50, 999),
    };
    s->rankingCount = static_cast<int32_t>(std::size(input));
    std::memcpy(s->rankingList, input, sizeof input);
    prepareRankingList(*s);
    std::vector<std::u16string> order;
    for (int k = 0; k < s->rankingCount; ++k) order.emplace_back(s->rankingList[k].name);
    EXPECT_EQ(order, (std::vector<std::u16string>{u"top", u"quick", u"alice", u"bob", u"Bob", u"far", u"low"}));
    EXPECT_EQ(std::tuple(s->rankingList[1].goalDistance, s->rankingList[5].goalDistance), std::tuple(1, 8));
    for (auto [a, b] : {std::pair{u"a", u"B"}, {u"b", u"B"}, {u"B", u"c"}, {u"ab", u"abc"}})
        EXPECT_TRUE(compareNames(a, b) < 0 && compareNames(b, a) > 0) << utf16ToUtf8(a);
    EXPECT_EQ(compareNames(u"same", u"same"), 0);
    // A full list of random players.
    MazeRng rng;
    s->rankingCount = kMaxRankingRecords;
    for (int k = 0; k < kMaxRankingRecords; ++k)
        s->rankingList[k] = record(utf8ToUtf16("p" + std::to_string(nextRandom(rng) % 1000)).c_str(),
                                   static_cast<int32_t>(nextRandom(rng) % 5), static_cast<float>(nextRandom(rng) % 7),
                                   static_cast<int32_t>(nextRandom(rng) % 4));
    prepareRankingList(*s);
    for (int k = 0; k + 1 < s->rankingCount; ++k) ASSERT_LE(compareRankingRecords(s->rankingList[k], s->rankingList[k + 1]), 0) << k;
}
