// Query parsing: read from the end, escapes as UTF-8, smuggled controls refused, and the
// checksum in agreement with the game's own request builder.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "state/game_state.h"
#include "http_server.h"
#include "request.h"
#include "server/server_test_util.h"

namespace orlith::server {
namespace {

using test::rankingQuery;
using test::StateFields;
using test::stateValue;

const std::string kState = stateValue(StateFields{});

struct NameCase {
    const char* description;
    std::string rawName;        // as it stands in the query
    std::u16string expected;    // empty: the query is refused
};

std::string queryWithRawName(const std::string& rawName, const std::u16string& checksummedName) {
    std::u16string text = u"name=" + checksummedName + u"&state=" + utf8ToUtf16(kState);
    return "name=" + rawName + "&state=" + kState + utf16ToUtf8(makeChecksumTag(text));
}

TEST(RequestParsing, NicknamesAreReadFromTheEndAndDecodedAsUtf8) {
    const NameCase cases[] = {
        {"a plain nickname", "alice", u"alice"},
        {"ampersand and equals stay in the nickname", "a&b=c", u"a&b=c"},
        {"a nickname that looks like a state parameter", "x&state=1&sum=2", u"x&state=1&sum=2"},
        {"percent-escaped UTF-8", "%E3%81%82%E3%81%84", u"\u3042\u3044"},
        {"escaped ampersand", "a%26b", u"a&b"},
        {"a typed percent sign sent as it stands", "100%", u"100%"},
        {"a typed percent sign before a non-hex character", "5%x", u"5%x"},
        {"31 characters is the longest", std::string(31, 'n'), std::u16string(31, u'n')},
        {"a typed percent sign before hex digits, checksummed as typed", "50%41", u"50%41"},
        {"the same, decoded when checksummed decoded", "50%41", u"50A"},
        {"an escaped line break checksummed as literal text stays literal", "a%0Ab", u"a%0Ab"},
        {"31 three-byte characters", [] { std::string s; for (int i = 0; i < 31; ++i) s += "%E3%81%82"; return s; }(),
         std::u16string(31, u'\u3042')},
    };
    for (const NameCase& c : cases) {
        ParsedQuery q = parseQuery(queryWithRawName(c.rawName, c.expected));
        EXPECT_EQ(q.kind, QueryKind::ranking) << c.description << ": " << (q.error ? q.error : "");
        EXPECT_EQ(q.nickname, c.expected) << c.description;
        EXPECT_EQ(q.stateValue, kState) << c.description;
    }
}

TEST(RequestParsing, SmuggledControlsBadUtf8AndBadLengthsAreRefused) {
    struct Bad {
        const char* description;
        std::string rawName;
        std::u16string checksummed;  // what a forger would checksum
    };
    std::string longName(32, 'n');
    std::string fourByte16;  // 16 characters outside the BMP: 32 UTF-16 units
    for (int i = 0; i < 16; ++i) fourByte16 += "%F0%9F%98%80";
    const Bad cases[] = {
        {"CR LF by escapes", "evil%0D%0A" + kState + "x", u"evil\r\n" + utf8ToUtf16(kState) + u"x"},
        {"a lone LF", "a%0Ab", u"a\nb"},
        {"NUL", "a%00b", std::u16string(u"a\0b", 3)},
        {"tab", "a%09b", u"a\tb"},
        {"DEL", "a%7Fb", u"a\x7f" u"b"},
        {"C1 next-line", "a%C2%85b", u"a\x85" u"b"},
        {"invalid UTF-8", "a%C3%28", u"a\xfffd("},
        {"overlong slash", "%C0%AF", u"\xfffd\xfffd"},
        {"encoded surrogate", "%ED%A0%80", u"\xfffd\xfffd\xfffd"},
        {"empty nickname", "", u""},
        {"32 characters", longName, std::u16string(32, u'n')},
        {"16 emoji are 32 UTF-16 units", fourByte16, utf8ToUtf16(std::string(16, 'x'))},
    };
    for (const Bad& c : cases) {
        ParsedQuery q = parseQuery(queryWithRawName(c.rawName, c.checksummed));
        EXPECT_EQ(q.kind, QueryKind::invalid) << c.description;
        EXPECT_NE(q.error, nullptr) << c.description;
    }
}

TEST(RequestParsing, StateAndChecksumMustHaveTheirExactForm) {
    std::string good = rankingQuery(u"bob", kState);
    ASSERT_EQ(parseQuery(good).kind, QueryKind::ranking);
    size_t sumAt = good.rfind("&sum=");
    std::string digits = good.substr(sumAt + 5);
    std::string upper = kState;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    std::string wrongDigit = digits;
    wrongDigit.back() = wrongDigit.back() == '9' ? '8' : static_cast<char>(wrongDigit.back() + 1);
    const std::pair<const char*, std::string> cases[] = {
        {"wrong checksum", good.substr(0, sumAt) + "&sum=" + wrongDigit},
        {"leading zero in the checksum", good.substr(0, sumAt) + "&sum=0" + digits},
        {"checksum above 2^31-1", good.substr(0, sumAt) + "&sum=2147483648"},
        {"checksum with a sign", good.substr(0, sumAt) + "&sum=+" + digits},
        {"no checksum", good.substr(0, sumAt)},
        {"trailing text after the checksum", good + "&x=1"},
        {"upper-case state", rankingQuery(u"bob", upper)},
        {"103 hex digits", rankingQuery(u"bob", kState.substr(1))},
        {"105 hex digits", rankingQuery(u"bob", kState + "0")},
        {"no name= prefix", good.substr(5)},
        {"empty query", ""},
        {"another mode", "mode=delete"},
    };
    for (const auto& [description, query] : cases) {
        EXPECT_EQ(parseQuery(query).kind, QueryKind::invalid) << description;
    }
}

TEST(RequestParsing, CheckQueries) {
    EXPECT_EQ(parseQuery("mode=check").kind, QueryKind::legacyCheck);
    ParsedQuery named = parseQuery("mode=check&name=a%26b=c&pin=0123abcd");
    EXPECT_EQ(named.kind, QueryKind::namedCheck);
    EXPECT_EQ(named.nickname, u"a&b=c");
    EXPECT_EQ(named.pin, "0123abcd");
    ParsedQuery twoReadings = parseQuery("mode=check&name=50%41&pin=0123abcd");
    EXPECT_EQ(twoReadings.nickname, u"50A");
    EXPECT_EQ(twoReadings.rawNickname, u"50%41");
    EXPECT_EQ(parseQuery("mode=check&name=a%0Ab&pin=0123abcd").nickname, u"a%0Ab") << "never a line break";
    const char* bad[] = {"mode=checkx", "mode=check&name=a&pin=0123ABCD", "mode=check&name=a&pin=0123abc",
                         "mode=check&name=&pin=0123abcd", "mode=check&name=a\x7f&pin=0123abcd", "mode=check&pin=0123abcd"};
    for (const char* q : bad) EXPECT_EQ(parseQuery(q).kind, QueryKind::invalid) << q;
}

TEST(RequestParsing, AcceptsExactlyThePathsTheGameBuilds) {
    // The game's own builder, over random states and nicknames with awkward characters.
    auto state = std::unique_ptr<GameState>(new GameState);
    std::mt19937 rng(7);
    const char16_t alphabet[] = u"aZ09&=%+ .\u3042\u00e9\u4e2d!";
    for (int round = 0; round < 200; ++round) {
        std::u16string nick;
        int len = 1 + static_cast<int>(rng() % 10);
        for (int k = 0; k < len; ++k) nick.push_back(alphabet[rng() % (std::size(alphabet) - 1)]);
        copyText(state->nickname, 32, nick);
        char16_t pin[9];
        makePinHash(nick, u"1234", pin);
        copyText(state->pinHash, 32, pin);
        state->level = 1 + static_cast<int32_t>(rng() % 60);
        state->stepCount = static_cast<int32_t>(rng() % 100000);
        state->cameraEye = {static_cast<float>(rng() % 100) / 3.0f, 1.5f, -2.25f, 1};
        state->cameraFocus = {0.5f, 0.25f, 9.0f, 1};
        state->cameraUp = {0, 1, 0, 0};
        char16_t path[1024];
        ASSERT_GT(buildRankingPath(*state, 1700000000u + static_cast<uint32_t>(round), path, 1024), 0);
        std::string target = utf16ToUtf8(path);
        std::string_view p, query;
        splitTarget(target, p, query);
        ASSERT_EQ(p, kRankingPath);
        // Characters an HTTP client must escape arrive escaped; '&', '=' and '%' as typed.
        std::string sent;
        for (unsigned char c : std::string(query)) {
            if (c == ' ' || c >= 0x80) {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%%%02X", c);
                sent += buf;
            } else {
                sent.push_back(static_cast<char>(c));
            }
        }
        ParsedQuery q = parseQuery(sent);
        // A typed '%' next to what an HTTP client escapes is ambiguous; those may be refused.
        bool typedPercent = nick.find(u'%') != std::u16string::npos;
        if (!typedPercent) {
            ASSERT_EQ(q.kind, QueryKind::ranking) << sent << " " << (q.error ? q.error : "");
        }
        if (q.kind == QueryKind::ranking) {
            EXPECT_EQ(q.nickname, nick);
            char level[9];
            std::snprintf(level, sizeof level, "%08x", static_cast<unsigned>(state->level));
            EXPECT_EQ(q.stateValue.substr(16, 8), level);
            EXPECT_EQ(q.stateValue.substr(8, 8), utf16ToUtf8(pin));
        }
    }
}

TEST(RequestParsing, AcceptEncodingAndAbsoluteTargets) {
    const std::pair<const char*, bool> encodings[] = {
        {"gzip", true}, {"deflate, gzip;q=0.5", true}, {"GZIP", true}, {"x-gzip", true}, {"*", true},
        {"", false}, {"deflate", false}, {"gzip;q=0", false}, {"gzip;q=0.000", false}, {"*;q=0", false},
        {"gzip;q=0, *", false}, {"br, gzip ; q=1.0", true}, {"gzipx", false},
    };
    for (const auto& [header, gzip] : encodings) EXPECT_EQ(acceptsGzip(header), gzip) << header;
    const std::tuple<const char*, const char*, const char*> targets[] = {
        {"/state/change.php?mode=check", "/state/change.php", "mode=check"},
        {"http://host:8080/state/change.php?mode=check", "/state/change.php", "mode=check"},
        {"HTTPS://host/state/change.php", "/state/change.php", ""},
        {"http://host", "/", ""},
        {"http://host?x", "/", "x"},
        {"ftp://host/state/change.php", "ftp://host/state/change.php", ""},
        {"/state/change.php?name=a://b", "/state/change.php", "name=a://b"},
    };
    for (const auto& [target, path, query] : targets) {
        std::string_view p, q;
        splitTarget(target, p, q);
        EXPECT_EQ(p, path) << target;
        EXPECT_EQ(q, query) << target;
    }
}

TEST(AddressKeys, IPv4ByAddressAndIPv6ByItsSlash64) {
    using Bytes = std::vector<unsigned char>;
    auto key = [](const Bytes& b) { return addressKey(b.data(), b.size()); };
    Bytes v4{192, 0, 2, 7}, v4Other{192, 0, 2, 8}, mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7};
    Bytes v6(16, 0), v6SameNet(16, 0), v6OtherNet(16, 0);
    v6[0] = v6SameNet[0] = v6OtherNet[0] = 0x20;
    v6[15] = 1;
    v6SameNet[15] = 2;
    v6SameNet[9] = 0x55;  // another host in the same /64
    v6OtherNet[7] = 1;    // the next /64
    EXPECT_NE(key(v4), key(v4Other));
    EXPECT_EQ(key(v4), key(mapped)) << "IPv4-mapped IPv6 is the IPv4 address";
    EXPECT_EQ(key(v6), key(v6SameNet));
    EXPECT_NE(key(v6), key(v6OtherNet));
    EXPECT_NE(key(Bytes{0, 0, 0, 0}), 0u) << "0 means unknown";
    EXPECT_NE(key(v6), key(Bytes{0x20, 0, 0, 0})) << "IPv6 never meets IPv4";
}

TEST(RequestParsing, PercentDecodeRefusesBrokenEscapes) {
    std::string out;
    EXPECT_TRUE(percentDecode("a%41%e3%81%82", out));
    EXPECT_EQ(out, "aA\xe3\x81\x82");
    for (const char* bad : {"%", "%4", "%G1", "a%4g"}) EXPECT_FALSE(percentDecode(bad, out)) << bad;
}

}  // namespace
}  // namespace orlith::server
