// The wide formatter and UTF conversion.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/text.h"

using namespace orlith;

TEST(FormatText, FormatsTheConversionsTheGameUsesNeverWritesPastTheBufferAndRefusesBadFormats) {
    char16_t buf[64];
    auto text = [&](int n) { return n == static_cast<int>(std::u16string(buf).size()) ? std::u16string(buf) : u"bad count"; };
    EXPECT_EQ(text(formatText(buf, 64, u"%d|%5d|%-3d|%02d", -7, 42, 1, 3)), u"-7|   42|1  |03");
    EXPECT_EQ(text(formatText(buf, 64, u"%08x %x %X", 0x1fu, 0xabcdefu, 255u)), u"0000001f abcdef FF");
    EXPECT_EQ(text(formatText(buf, 64, u"%.1f %.3f", 59.96, -0.5)), u"60.0 -0.500");
    EXPECT_EQ(text(formatText(buf, 64, u"&%s=%d 100%%", u"sum", 2147483647)), u"&sum=2147483647 100%");
    EXPECT_EQ(text(formatText(buf, 64, u"[%s][%4s][%-4s][%.2s]", u"\u30CB", u"ab", u"ab", u"abc")), u"[\u30CB][  ab][ab  ][ab]");
    // 64 bits with "l" on every system; unsigned 32-bit values keep their top bit.
    EXPECT_EQ(text(formatText(buf, 64, u"%ld %lx %u %c", INT64_C(-5000000000), INT64_C(0x123456789), 4294967295u, u'A')),
              u"-5000000000 123456789 4294967295 A");
    // Never past the buffer.
    buf[7] = u'#';
    EXPECT_EQ(formatText(buf, 7, u"%s and more %d", u"longer than seven", 12345), 6);
    EXPECT_EQ(std::u16string(buf) + buf[7], u"longer#");
    EXPECT_EQ(formatText(buf, 0, u"x"), -1);
    EXPECT_EQ(std::pair(formatText(buf, 1, u"x"), buf[0]), std::pair(0, u'\0'));  // room for the end alone
    EXPECT_EQ(formatText(buf, 8, u"%s", static_cast<const char16_t*>(nullptr)), 6);
    // What the compiler refuses in formatText, the formatter itself refuses too.
    const FormatArg one = formatArg(1), wide = formatArg(INT64_C(1)), str = formatArg(u"t");
    EXPECT_EQ(std::pair(vformatText(buf, 8, u"%400d", &one, 1), vformatText(buf, 8, u"%401d", &one, 1)), std::pair(7, -1));
    struct Bad { const char16_t* format; std::vector<FormatArg> args; };
    for (const Bad& b : {Bad{u"%q", {one}}, Bad{u"%999999d", {one}}, Bad{u"%d", {}}, Bad{u"%d", {one, one}},
                         Bad{u"%d", {wide}}, Bad{u"%ld", {one}}, Bad{u"%s", {one}}, Bad{u"%f", {one}}, Bad{u"%c", {str}}}) {
        buf[0] = u'#';
        EXPECT_EQ(vformatText(buf, 8, b.format, b.args.data(), b.args.size()), -1) << std::u16string_view(b.format).size();
        EXPECT_EQ(buf[0], 0);
    }
}

TEST(Utf, RoundTripsAndReplacesInvalidInput) {
    // The emoji follows a character above the surrogates (full-width x), which must not hide its pair.
    std::string text = "abc \xE3\x83\x8B\xE3\x83\x83\xE3\x82\xAF \xEF\xBD\x98\xF0\x9F\x98\x80";
    const std::u16string wide = u"abc \u30CB\u30C3\u30AF \uFF58\U0001F600";
    EXPECT_EQ(std::pair(utf8ToUtf16(text), utf16ToUtf8(wide)), std::pair(wide, text));
    // Each bad piece becomes U+FFFD and never takes a valid character with it.
    struct Case { std::string bytes; std::u16string text; };
    for (const Case& c : {Case{"\x80" "A", u"\uFFFDA"}, Case{"A\xBF\xBF" "B", u"A\uFFFD\uFFFDB"},
                          Case{"\xE3\x83" "A", u"\uFFFDA"}, Case{"\xF0\x9F\x98" "\xC3\xA9", u"\uFFFD\u00E9"},
                          Case{"\xC0\x80", u"\uFFFD\uFFFD"}, Case{"\xC3", u"\uFFFD"}, Case{"\xFF" "a", u"\uFFFDa"},
                          Case{"\xED\xA0\x80" "z", u"\uFFFDz"}, Case{"\xF4\x90\x80\x80", u"\uFFFD"},
                          Case{"\xE0\x80\x80", u"\uFFFD"}, Case{"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}})
        EXPECT_EQ(utf8ToUtf16(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}
