// The ranking protocol: the nickname's escaping, the request paths and the reply parser.
#include <cstring>

#include "base/text.h"
#include "ranking/ranking.h"

namespace orlith {

int escapeNickname(std::u16string_view nickname, char16_t* out, int capacity) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    int n = 0;
    auto put = [&](char16_t c) {
        if (n < capacity - 1) out[n] = c;
        ++n;
    };
    auto putByte = [&](uint32_t b) {
        put(u'%');
        put(digits[(b >> 4) & 0xF]);
        put(digits[b & 0xF]);
    };
    for (size_t i = 0; i < nickname.size(); ++i) {
        uint32_t c = nickname[i];
        if (c >= 0x80) {
            // The character's UTF-8 bytes; an unpaired surrogate travels as U+FFFD.
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < nickname.size() && nickname[i + 1] >= 0xDC00 &&
                nickname[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (nickname[++i] - 0xDC00u);
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                c = 0xFFFD;
            }
            if (c < 0x800) {
                putByte(0xC0 | (c >> 6));
            } else if (c < 0x10000) {
                putByte(0xE0 | (c >> 12));
                putByte(0x80 | ((c >> 6) & 0x3F));
            } else {
                putByte(0xF0 | (c >> 18));
                putByte(0x80 | ((c >> 12) & 0x3F));
                putByte(0x80 | ((c >> 6) & 0x3F));
            }
            putByte(0x80 | (c & 0x3F));
        } else if (c <= 0x20 || c == 0x7F || c == u'#' || c == u'%' || c == u'?') {
            putByte(c);  // as typed it would end, cut or change the request line
        } else {
            put(static_cast<char16_t>(c));
        }
    }
    if (capacity > 0) out[n < capacity ? n : capacity - 1] = 0;
    return n < capacity ? n : -1;
}

namespace {

// Appends text at out[n] and terminates; false (nothing appended) when it does not fit.
bool append(char16_t* out, int capacity, int& n, std::u16string_view text) {
    if (n + static_cast<int>(text.size()) >= capacity) return false;
    for (char16_t c : text) out[n++] = c;
    out[n] = 0;
    return true;
}

constexpr int kEscapedCapacity = 32 * 9 + 1;  // 31 characters of at most 9 each ("%E6%97%A5")

}  // namespace

int buildRankingPath(const GameState& state, uint32_t unixSeconds, char16_t* out, int capacity) {
    std::u16string_view nickname(state.nickname, textLength(state.nickname, 31));
    char16_t value[6 + kStateValueLength + 1];
    buildStateValue(state, unixSeconds, value, static_cast<int>(std::size(value)));
    // The checksum covers the query with the nickname as typed; only the request line carries it
    // escaped, and the server checks the sum after decoding.
    char16_t query[5 + 31 + 1 + std::size(value)];
    int q = 0;
    const int queryCapacity = static_cast<int>(std::size(query));
    append(query, queryCapacity, q, u"name=");
    append(query, queryCapacity, q, nickname);
    append(query, queryCapacity, q, u"&");
    append(query, queryCapacity, q, value);
    char16_t escaped[kEscapedCapacity], tag[32];
    escapeNickname(nickname, escaped, kEscapedCapacity);
    formatText(tag, 32, u"&%s=%d", u"sum", static_cast<int>(computeChecksum(std::u16string_view(query, q))));
    int n = 0;
    if (capacity > 0) out[0] = 0;
    if (!append(out, capacity, n, u"/state/change.php?name=") || !append(out, capacity, n, escaped) ||
        !append(out, capacity, n, u"&") || !append(out, capacity, n, value) || !append(out, capacity, n, tag)) {
        if (capacity > 0) out[0] = 0;
        return -1;
    }
    return n;
}

int buildCheckPath(const GameState& state, char16_t* out, int capacity) {
    char16_t escaped[kEscapedCapacity];
    escapeNickname(std::u16string_view(state.nickname, textLength(state.nickname, 31)), escaped, kEscapedCapacity);
    int n = 0;
    if (capacity > 0) out[0] = 0;
    if (!append(out, capacity, n, u"/state/change.php?mode=check&name=") || !append(out, capacity, n, escaped) ||
        !append(out, capacity, n, u"&pin=") ||
        !append(out, capacity, n, std::u16string_view(state.pinHash, textLength(state.pinHash, 8)))) {
        if (capacity > 0) out[0] = 0;
        return -1;
    }
    return n;
}

void parseRankingReply(std::string_view body, RankingRecord* records, int32_t& count, const LocalClock& clock) {
    count = 0;
    std::u16string text = utf8ToUtf16(body);
    // The body ends at its first zero byte, as a terminated text would.
    if (size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    size_t pos = 0;
    while (pos < text.size() && count < kMaxRankingRecords) {
        size_t end = text.find_first_of(u"\r\n", pos);
        if (end == std::u16string::npos) end = text.size();
        size_t len = end - pos;
        if (len > static_cast<size_t>(kStateValueLength)) {
            RankingRecord& r = records[count];
            std::memset(&r, 0, sizeof r);
            copyText(r.name, 32, std::u16string_view(text).substr(pos + kStateValueLength, len - kStateValueLength));
            parseStateValue(r, text.data() + pos, clock);
            ++count;
        }
        pos = end + 1;
    }
}

}  // namespace orlith
