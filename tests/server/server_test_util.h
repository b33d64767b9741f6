// Helpers of the server tests: requests built exactly as the game builds them, with the
// core's state value and checksum tag, and replies read back with the game's own parser.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/null_platform.h"
#include "ranking/ranking.h"

namespace orlith::server::test {

struct StateFields {
    std::string pin = "1234abcd";
    int32_t level = 1;
    int32_t steps = 0;
    float pos[3] = {3, 3, 3};
    float view[3] = {0, 0, 1};
    float up[3] = {0, 1, 0};
    uint32_t time = 1700000000u;
};

inline std::string stateValue(const StateFields& f) {
    std::u16string pin(f.pin.begin(), f.pin.end());
    return utf16ToUtf8(formatStateValue(f.time, pin, f.level, f.steps, f.pos, f.view, f.up));
}

// "name=<escaped nickname>&state=<value>&sum=<checksum>", the nickname escaped and the checksum
// computed over the unescaped text by the core, as the game does.
inline std::string rankingQuery(const std::u16string& nickname, const std::string& state) {
    char16_t escaped[400];
    escapeNickname(nickname, escaped, 400);
    const std::u16string text = u"name=" + nickname + u"&state=" + utf8ToUtf16(state);
    return "name=" + utf16ToUtf8(escaped) + "&state=" + state + utf16ToUtf8(makeChecksumTag(text));
}

inline std::string rankingTarget(const std::u16string& nickname, const StateFields& f) {
    return "/state/change.php?" + rankingQuery(nickname, stateValue(f));
}

inline std::string checkTarget(const std::string& name, const std::string& pin) {
    return "/state/change.php?mode=check&name=" + name + "&pin=" + pin;
}

inline std::u16string numbered(std::u16string prefix, int i) { return prefix + utf8ToUtf16(std::to_string(i)); }

inline std::vector<RankingRecord> records(const std::string& body) {
    std::vector<RankingRecord> out(kMaxRankingRecords);
    int32_t n = 0;
    parseRankingReply(body, out.data(), n, NullPlatform{});
    out.resize(static_cast<size_t>(n));
    return out;
}

// The record of a nickname in a reply, or null.
inline const RankingRecord* findRecord(const std::vector<RankingRecord>& recs, const std::u16string& name) {
    auto r = std::find_if(recs.begin(), recs.end(), [&](auto& x) { return name == x.name; });
    return r == recs.end() ? nullptr : &*r;
}

// A binary PROXY protocol header: signature, version and command, family and transport, then
// the length of rest (addresses and TLVs) and rest itself.
inline std::string proxyV2(unsigned char versionCommand, unsigned char familyTransport, const std::string& rest) {
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + char(versionCommand) + char(familyTransport) + char(rest.size() >> 8) +
           char(rest.size() & 0xFF) + rest;
}

// A temporary directory, removed with its contents on destruction.
struct TempDir {
    TempDir() { char t[] = "/tmp/orlith-server-XXXXXX"; path = mkdtemp(t) ? t : "", chmod(path.c_str(), 0755); }
    ~TempDir() { std::error_code ec; if (!path.empty()) std::filesystem::remove_all(path, ec); }
    std::string path;
};

}  // namespace orlith::server::test
