// Query parsing (read from the end, escapes as UTF-8, smuggled controls refused), address
// keys, PROXY protocol headers, and SQLite storage on real files: durability across reopen,
// conflicts, forgetting, level paths, and refusing damaged, foreign or newer databases at start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "http/http_server.h"
#include "http/proxy_protocol.h"
#include "http/static_files.h"
#include "maze/maze.h"
#include "rules/levels.h"
#include "rules/ranking_store.h"
#include "rules/request.h"
#include "rules/request_head.h"
#include "server/server_test_util.h"
#include "storage/storage.h"

namespace orlith::server {
namespace {

using test::StateFields;

const std::string kState = test::stateValue({});

// The query as a forger writes it: the nickname as it stands, checksummed over another text.
std::string queryWithRawName(const std::string& rawName, const std::u16string& checksummedName) {
    std::u16string text = u"name=" + checksummedName + u"&state=" + utf8ToUtf16(kState);
    return "name=" + rawName + "&state=" + kState + utf16ToUtf8(makeChecksumTag(text));
}

TEST(RequestParsing, NicknamesAreReadFromTheEndDecodedAsUtf8OrTakenRawAndControlsRefused) {
    std::string escaped31, emoji16;  // 31 three-byte characters; 16 outside the BMP, 32 UTF-16 units
    for (int i = 0; i < 31; ++i) escaped31 += "%E3%81%82";
    for (int i = 0; i < 16; ++i) emoji16 += "%F0%9F%98%80";
    // The nickname as it stands in the query, the text checksummed, and whether it is taken (as the checksummed text).
    const struct { std::string raw; std::u16string checksummed; bool accepted; } cases[] = {
        {"alice", u"alice", true}, {"a&b=c", u"a&b=c", true}, {"x&state=1&sum=2", u"x&state=1&sum=2", true},  // from the end
        {"%E3%81%82%E3%81%84", u"\u3042\u3044", true}, {"a%26b", u"a&b", true},
        {"100%", u"100%", true}, {"5%x", u"5%x", true},  // a typed percent sign, sent as it stands
        {"50%41", u"50%41", true},  // checksummed as typed: the raw text
        {"50%41", u"50A", true},    // checksummed decoded
        {"%C3%A9%41", u"\u00e9A", true},
        {"a%0Ab", u"a%0Ab", true},  // an escaped line break checksummed as literal text stays literal
        {std::string(31, 'n'), std::u16string(31, u'n'), true}, {escaped31, std::u16string(31, u'\u3042'), true},
        {"evil%0D%0A" + kState + "x", u"evil\r\n" + utf8ToUtf16(kState) + u"x", false},
        {"a%0Ab", u"a\nb", false}, {"a%00b", std::u16string(u"a\0b", 3), false}, {"a%09b", u"a\tb", false},
        {"a%7Fb", u"a\x7f" u"b", false},
        {"a%C2%85b", u"a\x85" u"b", false},  // C1 next-line
        {"a%C3%28", u"a\xfffd(", false},      // invalid UTF-8
        {"%C0%AF", u"\xfffd\xfffd", false},   // overlong slash
        {"%ED%A0%80", u"\xfffd\xfffd\xfffd", false},  // encoded surrogate
        {"", u"", false}, {std::string(32, 'n'), std::u16string(32, u'n'), false},
        {emoji16, utf8ToUtf16(std::string(16, 'x')), false},
    };
    for (const auto& c : cases) {
        ParsedQuery q = parseQuery(queryWithRawName(c.raw, c.checksummed));
        EXPECT_EQ(q.kind, c.accepted ? QueryKind::ranking : QueryKind::invalid) << c.raw;
        if (c.accepted) EXPECT_EQ(q.nickname + u" " + utf8ToUtf16(q.stateValue), c.checksummed + u" " + utf8ToUtf16(kState)) << c.raw;
    }
}

TEST(RequestParsing, StateChecksumAndChecksMustHaveTheirExactForm) {
    std::string good = test::rankingQuery(u"bob", kState);
    size_t sumAt = good.rfind("&sum=");
    std::string head = good.substr(0, sumAt), digits = good.substr(sumAt + 5), upper = kState, wrong = digits;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    wrong.back() = wrong.back() == '9' ? '8' : static_cast<char>(wrong.back() + 1);
    const std::string bad[] = {head + "&sum=" + wrong, head + "&sum=0" + digits, head + "&sum=2147483648",
                               head + "&sum=+" + digits, head, good + "&x=1", test::rankingQuery(u"bob", upper),
                               test::rankingQuery(u"bob", kState.substr(1)), test::rankingQuery(u"bob", kState + "0"),
                               good.substr(5), "", "mode=delete", "mode=checkx", "mode=check&name=a&pin=0123ABCD",
                               "mode=check&name=a&pin=0123abc", "mode=check&name=&pin=0123abcd",
                               "mode=check&name=a\x7f&pin=0123abcd", "mode=check&pin=0123abcd"};
    EXPECT_EQ(parseQuery(good).kind, QueryKind::ranking);
    for (const std::string& q : bad) EXPECT_EQ(parseQuery(q).kind, QueryKind::invalid) << q;
    EXPECT_EQ(parseQuery("mode=check").kind, QueryKind::legacyCheck);
    ParsedQuery named = parseQuery("mode=check&name=a%26b=c&pin=0123abcd");
    EXPECT_TRUE(named.kind == QueryKind::namedCheck && named.nickname == u"a&b=c" && named.pin == "0123abcd");
    ParsedQuery twoReadings = parseQuery("mode=check&name=50%41&pin=0123abcd");
    EXPECT_EQ(twoReadings.nickname + u" " + twoReadings.rawNickname, u"50A 50%41");
    EXPECT_EQ(parseQuery("mode=check&name=a%0Ab&pin=0123abcd").nickname, u"a%0Ab") << "never a line break";
}

TEST(RequestParsing, AcceptEncodingAbsoluteTargetsAndEscapes) {
    const std::pair<const char*, bool> encodings[] = {
        {"gzip", true}, {"deflate, gzip;q=0.5", true}, {"GZIP", true}, {"x-gzip", true}, {"*", true},
        {"", false}, {"deflate", false}, {"gzip;q=0", false}, {"gzip;q=0.000", false}, {"*;q=0", false},
        {"gzip;q=0, *", false}, {"br, gzip ; q=1.0", true}, {"gzipx", false},
    };
    for (const auto& [header, gzip] : encodings) EXPECT_EQ(acceptsGzip(header), gzip) << header;
    const std::tuple<const char*, const char*, const char*> targets[] = {
        {"/state/change.php?mode=check", "/state/change.php", "mode=check"}, {"http://host", "/", ""}, {"http://host?x", "/", "x"},
        {"http://host:8080/state/change.php?mode=check", "/state/change.php", "mode=check"},
        {"HTTPS://host/state/change.php", "/state/change.php", ""}, {"/state/change.php?name=a://b", "/state/change.php", "name=a://b"},
        {"ftp://host/state/change.php", "ftp://host/state/change.php", ""},
    };
    for (const auto& [target, path, query] : targets) {
        std::string_view p, q;
        splitTarget(target, p, q);
        EXPECT_EQ(std::string(p) + " " + std::string(q), std::string(path) + " " + query) << target;
    }
    std::string out;
    EXPECT_TRUE(percentDecode("a%41%e3%81%82%4A%4a", out));
    EXPECT_EQ(out, "aA\xe3\x81\x82JJ");
    for (const char* bad : {"%", "%4", "%G1", "a%4g"}) EXPECT_FALSE(percentDecode(bad, out)) << bad;
}

// The web root is read once: what it held then is served, the build's gzip copy or one made
// here, revalidated by ETag; nothing else is, whatever the path says.
TEST(WebRoot, TheFilesUnderTheRootAndNothingElse) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const std::string root = dir.path + "/site";
    for (const char* folder : {"/sub", "/.git"}) fs::create_directories(root + folder);
    auto write = [](const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; };
    const std::string page = "<!doctype html>" + std::string(3000, 'x'), script(5000, ';');
    const std::pair<std::string, std::string> written[] = {
        {"/site/index.html", page}, {"/site/index.html.gz", "\x1f\x8b the build's copy"},
        {"/site/index.wasm", std::string("\0asm") + std::string(4000, '\0')}, {"/site/sub/game.js", script},
        {"/site/icon.png", "\x89PNG"}, {"/site/.secret", "hidden"}, {"/site/.git/config", "hidden"},
        {"/site/with space.js", "odd"}, {"/outside.txt", "outside"}};
    for (const auto& [file, bytes] : written) write(dir.path + file, bytes);
    fs::create_symlink(dir.path + "/outside.txt", root + "/link.txt");
    fs::create_directory_symlink(dir.path, root + "/up");
    StaticFiles files;
    std::string error;
    ASSERT_TRUE(files.load(root, error)) << error;
    EXPECT_EQ(files.count(), 4u);  // index.html, index.wasm, sub/game.js, icon.png
    write(root + "/later.js", "added after the start");

    struct Case { const char* method; const char* target; bool gzip; int status; const char* type; const char* body; };
    const Case cases[] = {
        {"GET", "/", true, 200, "text/html; charset=utf-8", "\x1f\x8b the build's copy"},
        {"GET", "/index.html?x=1", false, 200, "text/html; charset=utf-8", nullptr},
        {"HEAD", "http://host/index.html", false, 200, "text/html; charset=utf-8", nullptr},
        {"GET", "/index.wasm", true, 200, "application/wasm", "\x1f\x8b"},  // compressed here
        {"GET", "/sub/game.js", false, 200, "text/javascript; charset=utf-8", nullptr},
        {"GET", "/icon.png", true, 200, "image/png", "\x89PNG"},  // already compressed: as it is
        {"POST", "/index.html", false, 405, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::optional<HttpResponse> r = files.answer(c.method, c.target, c.gzip, "");
        ASSERT_TRUE(r.has_value()) << c.target;
        EXPECT_EQ(r->status, c.status) << c.target;
        if (c.type != nullptr) EXPECT_STREQ(r->contentType, c.type) << c.target;
        if (c.body != nullptr) EXPECT_TRUE(r->body.str().starts_with(c.body)) << c.target;
        if (c.status == 200) EXPECT_NE(r->headers.find("Cache-Control: no-cache\r\n"), std::string::npos);
    }
    EXPECT_EQ(files.answer("GET", "/index.html", false, "")->body.str(), page);
    EXPECT_EQ(files.answer("GET", "/sub/game.js", true, "")->body.str().size() < script.size(), true);
    for (const char* missing : {"/index.html.gz", "/.secret", "/.git/config", "/with%20space.js", "/link.txt",
                                "/up/outside.txt", "/../outside.txt", "/sub", "/sub/", "/later.js", "/state/change.php",
                                "/INDEX.HTML", "/index.html/"}) {
        EXPECT_FALSE(files.answer("GET", missing, false, "").has_value()) << missing;
    }
    // Revalidation: the tag of the form asked for; 304 without a body while it matches.
    const std::string plain = files.answer("GET", "/index.wasm", false, "")->headers;
    const std::string tag = plain.substr(plain.find("ETag: ") + 6, plain.find("\r\n") - 6);
    EXPECT_EQ(files.answer("GET", "/index.wasm", false, tag)->status, 304);
    EXPECT_EQ(files.answer("GET", "/index.wasm", false, "\"other\", W/" + tag)->status, 304);
    EXPECT_EQ(files.answer("GET", "/index.wasm", true, tag)->status, 200) << "the gzip form has its own tag";
    EXPECT_EQ(files.answer("GET", "/index.wasm", false, "\"other\"")->status, 200);
    EXPECT_FALSE(files.load(dir.path + "/none", error));
}

TEST(AddressKeys, IPv4ByAddressAndIPv6ByItsSlash64) {
    auto key = [](std::vector<unsigned char> b) { return addressKey(b.data(), b.size()); };
    auto v6 = [](size_t at, unsigned char byte) { std::vector<unsigned char> b(16, 0); b[0] = 0x20, b[at] = byte; return b; };
    EXPECT_NE(key({192, 0, 2, 7}), key({192, 0, 2, 8}));
    EXPECT_EQ(key({192, 0, 2, 7}), key({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7})) << "IPv4-mapped IPv6 is IPv4";
    EXPECT_EQ(key(v6(15, 1)), key(v6(9, 0x55))) << "another host in the same /64";
    EXPECT_NE(key(v6(15, 1)), key(v6(7, 1))) << "the next /64";
    EXPECT_TRUE(key({0, 0, 0, 0}) && key({0, 0, 0, 1})) << "0 means unknown";
    EXPECT_NE(key(v6(15, 1)), key({0x20, 0, 0, 0})) << "IPv6 never meets IPv4";
}

TEST(ProxyProtocol, AHeaderNamesItsClientOrThePeerAndAnythingElseIsBad) {
    using S = ProxyHeader::Status;
    // Source 192.0.2.7:56324, destination 198.51.100.1:8080; then 2001:db8::7 to 2001:db8::1.
    const std::string v4("\xC0\x00\x02\x07\xC6\x33\x64\x01\xDC\x04\x1F\x90", 12);
    std::string v6(36, '\0');
    v6[0] = v6[16] = 0x20, v6[1] = v6[17] = 0x01, v6[2] = v6[18] = 0x0d, v6[3] = v6[19] = char(0xb8), v6[15] = 7, v6[31] = 1;
    const std::string tlvs("\x01\x00\x02h2\x04\x00\x01\x00", 9);  // ALPN, then NOOP
    const std::string line107 = "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n";
    const struct { std::string header; S status; std::string client; } cases[] = {
        {"PROXY TCP4 192.0.2.7 198.51.100.1 56324 8080\r\n", S::kDone, "192.0.2.7"},
        {"PROXY TCP6 2001:db8::7 2001:db8::1 56324 65535\r\n", S::kDone, "2001:db8::7"},
        {"PROXY UNKNOWN\r\n", S::kDone, "peer"},
        {line107, S::kDone, "peer"},
        {test::proxyV2(0x21, 0x11, v4), S::kDone, "192.0.2.7"},
        {test::proxyV2(0x21, 0x11, v4 + tlvs), S::kDone, "192.0.2.7"},
        {test::proxyV2(0x21, 0x21, v6 + tlvs), S::kDone, "2001:db8::7"},
        {test::proxyV2(0x20, 0x11, v4), S::kDone, "peer"},  // LOCAL: a health check of the proxy
        {test::proxyV2(0x21, 0x00, ""), S::kDone, "peer"},  // AF_UNSPEC
        {"PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", S::kBad, ""},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 56324\r\n", S::kBad, ""},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 56324 8080 \r\n", S::kBad, ""},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 56324 65536\r\n", S::kBad, ""},
        {"PROXY TCP4 2001:db8::7 2001:db8::1 56324 8080\r\n", S::kBad, ""},
        {"PROXY TCP4  192.0.2.7 198.51.100.1 56324 8080\r\n", S::kBad, ""},
        {"PROXY TCP5 192.0.2.7 198.51.100.1 56324 8080\r\n", S::kBad, ""},
        {"GET / HTTP/1.1\r\n", S::kBad, ""},
        {"PROXY\r\n", S::kBad, ""},
        {std::string("\r\n\r\n\0\r\nQUIT\r", 12), S::kBad, ""},
        {test::proxyV2(0x11, 0x11, v4), S::kBad, ""},                        // version 1 in a binary header
        {test::proxyV2(0x22, 0x11, v4), S::kBad, ""},                        // no such command
        {test::proxyV2(0x21, 0x12, v4), S::kBad, ""},                        // datagrams
        {test::proxyV2(0x21, 0x21, v4), S::kBad, ""},                        // too short for IPv6
        {test::proxyV2(0x21, 0x11, std::string(4097, 'x')).substr(0, 16), S::kBad, ""},  // beyond the limit, said at once
    };
    for (const auto& c : cases) {
        ProxyHeader h = parseProxyHeader(c.header + "GET / HTTP/1.1\r\n");  // the request follows at once
        char text[64] = "peer";
        if (h.addressLength) inet_ntop(h.addressLength == 4 ? AF_INET : AF_INET6, h.address.data(), text, sizeof text);
        EXPECT_EQ(std::make_tuple(h.status, h.status == S::kDone ? std::string(text) : ""), std::make_tuple(c.status, c.client))
            << testing::PrintToString(c.header);
        if (c.status != S::kDone) continue;
        EXPECT_EQ(h.length, c.header.size()) << "the request is left as it came";
        for (size_t n = 0; n < c.header.size(); ++n) {  // cut anywhere: signature, command, length, addresses, TLVs
            EXPECT_EQ(parseProxyHeader(c.header.substr(0, n)).status, S::kMore) << n << " of " << testing::PrintToString(c.header);
        }
    }
}

TEST(RequestHead, TheFieldsWeActOnAreReadAndAnythingAProxyMightReadOtherwiseIsRefused) {
    using S = RequestHeadParser::Status;
    const std::string get = "GET /a?b=c HTTP/1.1\r\n";
    const struct { std::string bytes; S status; std::string read; } cases[] = {
        // read: version, keep-alive, Accept-Encoding, If-None-Match, X-Forwarded-For joined by |
        {get + "\r\n", S::kDone, "11 1 [] [] []"},
        {"HEAD /a?b=c HTTP/1.0\r\nHost: x\r\n\r\n", S::kDone, "10 0 [] [] []"},
        {"GET /a?b=c HTTP/1.0\r\nConnection: TE,Keep-Alive\r\n\r\n", S::kDone, "10 1 [] [] []"},
        {"GET /a?b=c HTTP/1.0\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n", S::kDone, "10 0 [] [] []"},
        {get + "Connection: TE,  CLOSE \r\n\r\n", S::kDone, "11 0 [] [] []"},
        {get + "Connection: closed\r\n\r\n", S::kDone, "11 1 [] [] []"},
        {get + "ACCEPT-encoding:\tgzip, br \r\nAccept-Encoding: identity\r\nIf-None-Match: \"7\"\r\n\r\n", S::kDone,
         "11 1 [gzip, br] [\"7\"] []"},
        {get + "X-Forwarded-For: 192.0.2.1, 10.0.0.1\r\nHost: x\r\nx-forwarded-for:10.0.0.2\r\n\r\n", S::kDone,
         "11 1 [] [] [192.0.2.1, 10.0.0.1|10.0.0.2]"},
        {get + "Content-Length: 00\r\nZz-09: \xC3\xA9\r\n\r\n", S::kDone, "11 1 [] [] []"},
        {get + "Host: x\r\n", S::kMore, ""},
        {get + "Content-Length: 5\r\n\r\nhello", S::kBody, ""},
        {get + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", S::kBody, ""},
        {get + "Content-Length: 5, 5\r\n\r\n", S::kBad, ""},
        {get + "Content-Length: \r\n\r\n", S::kBad, ""},
        {"GET /a?b=c HTTP/1.1\n\n", S::kBad, ""},                       // bare line feeds
        {get + "Host: x\n\r\n", S::kBad, ""},
        {get + "A: b\r\n c\r\n\r\n", S::kBad, ""},                       // a folded line
        {get + "Host : x\r\n\r\n", S::kBad, ""},                          // a space before the colon
        {get + ": x\r\n\r\n", S::kBad, ""},
        {get + "Host x\r\n\r\n", S::kBad, ""},
        {get + "A: b\x01\r\n\r\n", S::kBad, ""},                          // a control byte in a value
        {get + "A: b\rc\r\n\r\n", S::kBad, ""},
        {"GET /a?b", S::kMore, ""},
        {get + [] { std::string f; for (int i = 0; i < 9; ++i) f += "X-Forwarded-For: 10.0.0.1\r\n"; return f; }() + "\r\n", S::kBad, ""},
        {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 20), S::kBad, ""},
        {"GET /a b HTTP/1.1\r\n\r\n", S::kBad, ""},
        {"GET  /a HTTP/1.1\r\n\r\n", S::kBad, ""},
        {"GET  HTTP/1.1\r\n\r\n", S::kBad, ""},  // no target
        {" /a HTTP/1.1\r\n\r\n", S::kBad, ""},     // no method
        {"GET /a HTTP/2.0\r\n\r\n", S::kBad, ""},
        {"GET /a HTTP/1.1 \r\n\r\n", S::kBad, ""},
        {"G(T /a HTTP/1.1\r\n\r\n", S::kBad, ""},
        {"\r\nGET /a HTTP/1.1\r\n\r\n", S::kBad, ""},
    };
    auto read = [](const RequestHead& h) {
        std::string xff;
        for (uint8_t i = 0; i < h.forwardedCount; ++i) xff += (i ? "|" : "") + std::string(h.forwardedFor[i]);
        return std::to_string(h.version) + " " + std::to_string(h.keepAlive) + " [" + std::string(h.acceptEncoding) + "] [" +
               std::string(h.ifNoneMatch) + "] [" + xff + "]";
    };
    for (const auto& c : cases) {
        RequestHeadParser whole;
        EXPECT_EQ(whole.parse(c.bytes), c.status) << testing::PrintToString(c.bytes);
        if (c.status == S::kDone) {
            EXPECT_EQ(read(whole.head()), c.read) << testing::PrintToString(c.bytes);
            EXPECT_EQ(c.bytes.substr(0, whole.head().length).find("\r\n\r\n") + 4, whole.head().length);
            EXPECT_EQ(std::string(whole.head().target), "/a?b=c");
        }
        // A byte at a time, each time in a fresh copy (a buffer that moved): the same end, and
        // the views in the last copy.
        RequestHeadParser drip;
        S last = S::kMore;
        std::string copy;
        for (size_t n = 1; n <= c.bytes.size() && last == S::kMore; ++n) last = drip.parse(copy = c.bytes.substr(0, n));
        EXPECT_EQ(last, c.status) << "a byte at a time: " << testing::PrintToString(c.bytes);
        if (last == S::kDone) {
            EXPECT_EQ(read(drip.head()), c.read);
            EXPECT_EQ(drip.head().method.data(), copy.data());
        }
    }
    // The limit counts the whole head with its blank line; a head cut short past it is too large.
    const std::string head = get + "X-Fill: " + std::string(40, 'f') + "\r\n\r\n";
    EXPECT_EQ(RequestHeadParser(head.size()).parse(head + "GET /next"), S::kDone);
    EXPECT_EQ(RequestHeadParser(head.size() - 1).parse(head), S::kTooLarge);
    EXPECT_EQ(RequestHeadParser(head.size() - 1).parse(head.substr(0, head.size() - 1)), S::kTooLarge);
    EXPECT_EQ(RequestHeadParser(head.size()).parse(head.substr(0, head.size() - 1)), S::kMore);
    // Two heads in a row: the first is read, its length leaves the second as it came.
    RequestHeadParser two;
    ASSERT_EQ(two.parse(head + get + "\r\n"), S::kDone);
    EXPECT_EQ(two.head().length, head.size());
    // Read again after a head with every field: nothing of it stays.
    const std::string full = cases[6].bytes.substr(0, cases[6].bytes.size() - 2) + "X-Forwarded-For: 10.0.0.1\r\nConnection: close\r\n\r\n";
    two.reset();
    ASSERT_EQ(two.parse(full), S::kDone);
    EXPECT_EQ(read(two.head()), "11 0 [gzip, br] [\"7\"] [10.0.0.1]");
    two.reset();
    const std::string next = "PUT /b HTTP/1.1\r\n\r\n";
    EXPECT_EQ(two.parse(next), S::kDone);
    EXPECT_EQ(std::make_tuple(two.head().method, read(two.head())), std::make_tuple("PUT", "11 1 [] [] []"));
}

class SqliteStorage : public ::testing::Test {
protected:
    // Another writer's statements on the file.
    void sql(const std::string& statements) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << statements;
        sqlite3_close(db);
    }
    std::unique_ptr<Storage> open() {
        auto s = openSqliteStorage(path, error);
        EXPECT_TRUE(s) << error;
        return s;
    }
    // A submission as the socket side makes it: a registration or a rise is committed first.
    int submit(RankingStore& store, const std::u16string& name, const StateFields& f, int64_t at) {
        Reply r = store.submit(name, test::stateValue(f), {}, at);
        return r.commit ? store.commit(*r.commit).status : r.status;
    }
    test::TempDir dir;
    std::string path = dir.path + "/ranking.db", error;
    StoreOptions paceless = [] { StoreOptions o; o.budgets.minIntervalMs = 0; return o; }();
};

TEST_F(SqliteStorage, RisesAreWrittenAtOnceStatesByFlushAndAnOldDatabaseStartsTimingAtTheNextRequest) {
    // A database as the previous version left it: no marks, no levels; "old" and "idle" on level 2.
    sql("CREATE TABLE players (name TEXT PRIMARY KEY NOT NULL, pin_hash TEXT NOT NULL, state TEXT NOT NULL,"
        " updated_ms INTEGER NOT NULL); PRAGMA user_version = 1; INSERT INTO players VALUES('old', '1234abcd', '" +
        test::stateValue({.level = 2, .steps = 100}) + "', 0), ('idle', '1234abcd', '" +
        test::stateValue({.level = 2, .steps = 100}) + "', 0)");
    {
        auto s = open();
        RankingStore store(*s, paceless);
        ASSERT_TRUE(store.load(error)) << error;
        ASSERT_EQ(store.levels().waitFor(3), 54);
        // Timing starts at the first request, where the player stands: 6 cells from the goal.
        EXPECT_EQ(submit(store, u"old", {.level = 2, .steps = 100}, 0), 200);
        EXPECT_EQ(submit(store, u"old", {.level = 3, .steps = 106}, 300), 409);
        EXPECT_EQ(submit(store, u"old", {.level = 3, .steps = 106}, 400), 200);
        EXPECT_EQ(submit(store, u"\u3042&=", {}, 400), 200);
        EXPECT_EQ(submit(store, u"\u3042&=", {.steps = 12}, 500), 200);
        EXPECT_EQ(store.writes().pendingWrites(), 2u) << "the rise is written, its state is pending";
        ASSERT_TRUE(store.writes().flush(error)) << error;
        EXPECT_EQ(submit(store, u"\u3042&=", {.steps = 13}, 600), 200);
        // Seen long ago (the database's time, not this run's clock): the steps of all that time.
        EXPECT_EQ(submit(store, u"idle", {.level = 2, .steps = 100'100}, 600), 200);
    }  // no flush: as after a kill -9
    auto s = open();
    std::vector<StoredPlayer> rows;
    ASSERT_TRUE(s->loadAll(rows, error));
    auto row = std::find_if(rows.begin(), rows.end(), [](auto& r) { return r.name == "\xe3\x81\x82&="; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ(row->state.substr(24, 8), "0000000c") << "the flushed state: 12 steps";
    // The same name again: not inserted, and the first registration is reported.
    bool inserted = true;
    StoredPlayer existing;
    ASSERT_TRUE(s->registerPlayer({row->name, "ffffffff", row->state, 0, {}}, inserted, existing, error));
    EXPECT_TRUE(!inserted && existing.pinHash == "1234abcd") << existing.pinHash;
    RankingStore store(*s, paceless);
    ASSERT_TRUE(store.load(error)) << error;
    // Level 3 began after the last state seen on level 2 (at 0, 100 steps); its shortest path
    // is 54 cells, 3 s at 18 a second.
    EXPECT_EQ(submit(store, u"old", {.level = 4, .steps = 154}, 2900), 409);
    EXPECT_EQ(submit(store, u"old", {.level = 4, .steps = 153}, 3100), 409);
    EXPECT_EQ(submit(store, u"old", {.level = 4, .steps = 154}, 3100), 200);
}

TEST_F(SqliteStorage, OnlyPlayersStillAtLevelOneAndLongUnseenAreForgottenHereAndInTheDatabase) {
    {
        auto s = open();
        RankingStore store(*s, paceless);
        for (const char16_t* name : {u"quiet", u"climber", u"recent"}) ASSERT_EQ(submit(store, name, {}, 0), 200);
        ASSERT_EQ(submit(store, u"climber", {.level = 2, .steps = 6}, 1000), 200);
        ASSERT_TRUE(store.writes().flush(error)) << error;
    }
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const int64_t day = 86'400'000;
    sql("UPDATE players SET updated_ms = " + std::to_string(now - 40 * day) + " WHERE name <> 'recent'");
    auto s = open();
    RankingStore store(*s, paceless);
    ASSERT_TRUE(store.load(error)) << error;
    store.waitIndexed();
    // A slice at a time: two calls of two players each find the one to forget. The cutoff is
    // close enough (ten days) that a seen time misread by a thousandth would forget "recent" too.
    const int64_t cutoff = now - 10 * day;
    EXPECT_EQ(store.writes().forgetQuiet(cutoff, 2, error) + store.writes().forgetQuiet(cutoff, 2, error), 1u) << error;
    EXPECT_EQ(store.playerCount(), 2u);
    std::vector<StoredPlayer> rows;
    ASSERT_TRUE(s->loadAll(rows, error)) << error;
    EXPECT_EQ(rows.size(), 2u);
    for (auto& r : rows) EXPECT_TRUE(r.name == "climber" || r.name == "recent") << r.name;
    EXPECT_EQ(submit(store, u"quiet", {.pin = "99999999"}, 0), 200) << "the name is free again";
    // The in-memory storage of the other tests forgets on the same conditions (its clock at 0).
    auto memory = makeMemoryStorage([] { return int64_t{0}; });
    bool inserted;
    StoredPlayer existing;
    for (int32_t level : {1, 2})
        ASSERT_TRUE(memory->registerPlayer({"l" + std::to_string(level), "1234abcd", test::stateValue({.level = level}), 0, {}},
                                           inserted, existing, error));
    rows.clear();
    ASSERT_TRUE(memory->forgetPlayers({"l1", "l2"}, 1, error) && memory->loadAll(rows, error));
    EXPECT_TRUE(rows.size() == 1 && rows[0].name == "l2");
    // It rises on the same conditions too: 17 steps since the level's marks (need 17), not 16.
    bool applied;
    existing.marks = LevelMarks{0, 0, 17};
    ASSERT_TRUE(memory->registerPlayer({"walker", "1234abcd", test::stateValue({}), 0, existing.marks}, inserted, existing, error));
    for (int32_t steps : {16, 17}) {
        ASSERT_TRUE(memory->commitRise({"walker", test::stateValue({.level = 2, .steps = steps}), {}, 1, 0}, applied, existing, error));
        EXPECT_EQ(applied, steps == 17) << steps;
    }
}

TEST_F(SqliteStorage, LevelPathsAreComputedPastTheTableInTheGamesOrderAndKeptInTheDatabase) {
    auto s = open();
    // The level table holds 10,000 levels: past it the generator runs on from its last entry.
    const int32_t past = embeddedLevelTable().levels + 1;
    auto work = makeMazeWork();
    std::vector<int32_t> grid(kGridCells);
    MazeRng after;
    ASSERT_TRUE(levelMaze(past, grid.data(), after, *work));
    const int32_t expected = shortestPathLength(grid.data(), mazeEdgeForLevel(past));
    {
        LevelPaths levels(*s);
        ASSERT_TRUE(levels.load(error)) << error;
        EXPECT_EQ(levels.path(3), -1) << "not known before it is asked for";
        EXPECT_EQ(levels.waitFor(3), 54);
        EXPECT_EQ(levels.waitFor(past), expected);
    }
    // Kept: known at once after a restart, except a stored level the table contradicts.
    sql("UPDATE levels SET rng_x = rng_x + 1, path = 1 WHERE level = 3");
    LevelPaths levels(*s);
    ASSERT_TRUE(levels.load(error)) << error;
    EXPECT_EQ(levels.path(past), expected);
    EXPECT_EQ(levels.path(past - 1), levels.waitFor(past - 1)) << "the level between, computed on the way";
    EXPECT_EQ(levels.waitFor(3), 54) << "computed again";
    std::vector<StoredLevel> rows;
    ASSERT_TRUE(s->loadLevels(rows, error)) << error;
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](auto& r) { return r.level == 3 && r.path == 54; }), 1);
}

TEST_F(SqliteStorage, ADamagedForeignOrNewerDatabaseStopsTheStartWithItsNameOrReason) {
    std::ofstream(path, std::ios::binary) << "SQLite format 3" << std::string(8192, '\x5a');
    EXPECT_FALSE(openSqliteStorage(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    std::filesystem::remove(path);
    { ASSERT_TRUE(open()); }
    sql("INSERT INTO players(name, pin_hash, state, updated_ms) VALUES('x','1234abcd','not a state',0)");
    {
        auto s = open();
        RankingStore store(*s, StoreOptions{});
        EXPECT_FALSE(store.load(error));
        EXPECT_NE(error.find("invalid player row"), std::string::npos) << error;
        EXPECT_FALSE(openSqliteStorage(path, error)) << "a second server on the file";
        EXPECT_NE(error.find("in use by another orlith-server"), std::string::npos) << error;
    }
    sql("PRAGMA user_version = 99");
    EXPECT_FALSE(openSqliteStorage(path, error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

}  // namespace
}  // namespace orlith::server
