// The state value, its checksum and the PIN hash.
#include "state/state_value.h"

#include <algorithm>
#include <cstring>

#include "base/crc32.h"
#include "base/text.h"

namespace orlith {

namespace {

// The bits of a float as an integer and back (std::bit_cast, which the browser build's standard
// library does not have yet).
template <typename To, typename From>
To bitCast(const From& from) {
    static_assert(sizeof(To) == sizeof(From));
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

// Value of up to 8 leading hex digits; anything else (a terminator included) ends them.
uint32_t readHexField(const char16_t* field) {
    uint32_t v = 0;
    for (int k = 0; k < 8; ++k) {
        char16_t c = field[k];
        uint32_t d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else break;
        v = (v << 4) | d;
    }
    return v;
}

// Whether four characters (16 bits each in w) are plain ASCII, none of them a byte the checksum
// skips: then each counts as its one low byte.
bool plainFour(uint64_t w) {
    constexpr uint64_t kOnes = 0x0001000100010001u, kTops = 0x8000800080008000u;
    auto anyZero = [](uint64_t x) { return ((x - kOnes) & ~x & kTops) != 0; };
    return (w & 0xFF00FF00FF00FF00u) == 0 && !anyZero(w) && !anyZero(w ^ (0x3D * kOnes)) && !anyZero(w ^ (0x26 * kOnes));
}

}  // namespace

uint32_t crcOfText(uint32_t previous, std::u16string_view text) {
    // The text's UTF-16LE bytes, whatever the host's byte order, less the skipped ones, gathered
    // four plain characters at a time where they are, then eight bytes a step. The server checks
    // one per request.
    if (text.empty()) return previous;
    uint32_t reg = ~previous;
    uint8_t bytes[2 * 64];
    while (!text.empty()) {
        const size_t take = std::min<size_t>(text.size(), 64);
        size_t n = 0;
        for (size_t i = 0; i < take;) {
            if (i + 4 <= take) {
                const uint64_t w = uint64_t{text[i]} | uint64_t{text[i + 1]} << 16 | uint64_t{text[i + 2]} << 32 |
                                   uint64_t{text[i + 3]} << 48;
                if (plainFour(w)) {
                    for (int k = 0; k < 4; ++k) bytes[n + k] = static_cast<uint8_t>(text[i + k]);
                    n += 4, i += 4;
                    continue;
                }
            }
            for (uint8_t b : {static_cast<uint8_t>(text[i] & 0xFF), static_cast<uint8_t>(text[i] >> 8)}) {
                if (b != 0x00 && b != 0x3D && b != 0x26) bytes[n++] = b;
            }
            ++i;
        }
        reg = crcRun(reg, bytes, n);
        text.remove_prefix(take);
    }
    return ~reg;
}

uint32_t crcUpdate(uint32_t previous, const void* bytes, int32_t count) {
    if (count < 1) return previous;
    const auto* p = static_cast<const uint8_t*>(bytes);
    const uint8_t* const end = p + count;
    uint32_t reg = ~previous;
    // The runs between skipped bytes, eight bytes a step.
    while (p < end) {
        const uint8_t* run = p;
        while (p < end && *p != 0x00 && *p != 0x3D && *p != 0x26) ++p;
        reg = crcRun(reg, run, static_cast<size_t>(p - run));
        if (p < end) ++p;
    }
    return ~reg;
}

uint32_t computeChecksum(std::u16string_view text) {
    uint32_t c = crcOfText(0, u"sum");
    c = crcOfText(c, text);
    return c & 0x7FFFFFFFu;
}

std::u16string makeChecksumTag(std::u16string_view text) {
    char16_t tag[32];
    formatText(tag, 32, u"&%s=%d", u"sum", static_cast<int>(computeChecksum(text)));
    return tag;
}

void makePinHash(std::u16string_view nickname, std::u16string_view pin, char16_t out[9]) {
    uint32_t h = crcOfText(0, nickname);
    h = crcOfText(h, pin) & 0x7FFFFFFFu;
    h = crcOfText(h, pin);
    formatText(out, 9, u"%08x", static_cast<unsigned>(h));
}

void writeStateValue(char16_t out[kStateValueLength], uint32_t unixSeconds, std::u16string_view pinHash, int32_t level,
                     int32_t stepCount, const float position[3], const float viewDirection[3], const float up[3]) {
    static const char16_t digits[] = u"0123456789abcdef";
    char16_t* p = out;
    auto hex8 = [&p](uint32_t v) {
        for (int shift = 28; shift >= 0; shift -= 4) *p++ = digits[(v >> shift) & 0xF];
    };
    hex8(unixSeconds);
    // The PIN-hash field is always 8 characters so every later field keeps its offset.
    for (size_t k = 0; k < 8; ++k) *p++ = k < pinHash.size() ? pinHash[k] : u'0';
    hex8(static_cast<uint32_t>(level));
    hex8(static_cast<uint32_t>(stepCount));
    for (int k = 0; k < 3; ++k) hex8(bitCast<uint32_t>(position[k]));
    for (int k = 0; k < 3; ++k) hex8(bitCast<uint32_t>(viewDirection[k]));
    for (int k = 0; k < 3; ++k) hex8(bitCast<uint32_t>(up[k]));
}

std::u16string formatStateValue(uint32_t unixSeconds, std::u16string_view pinHash, int32_t level,
                                int32_t stepCount, const float position[3], const float viewDirection[3],
                                const float up[3]) {
    char16_t value[kStateValueLength];
    writeStateValue(value, unixSeconds, pinHash, level, stepCount, position, viewDirection, up);
    return std::u16string(value, kStateValueLength);
}

int buildStateValue(const GameState& state, uint32_t unixSeconds, char16_t* out, int capacity) {
    if (capacity < 6 + kStateValueLength + 1) return -1;
    const Float4& eye = state.cameraEye;
    Float4 dir = sub(state.cameraFocus, eye);
    float pos[3] = {eye.x, eye.y, eye.z};
    float view[3] = {dir.x, dir.y, dir.z};
    float up[3] = {state.cameraUp.x, state.cameraUp.y, state.cameraUp.z};
    copyText(out, capacity, u"state=");
    writeStateValue(out + 6, unixSeconds, std::u16string_view(state.pinHash, textLength(state.pinHash, 32)), state.level,
                    state.stepCount, pos, view, up);
    out[6 + kStateValueLength] = 0;
    return 6 + kStateValueLength;
}

void formatDateText(uint32_t unixSeconds, char16_t out[32], const LocalClock& clock) {
    out[0] = 0;
    LocalDateTime local;
    if (!clock.localTime(unixSeconds, local)) return;
    formatText(out, 32, u"%04d/%02d/%02d %02d:%02d", local.year, local.month, local.day, local.hour, local.minute);
}

void parseStateValue(RankingRecord& record, const char16_t* text, const LocalClock& clock) {
    // A terminator ends the text: later fields then read as empty, never past the end.
    int len = textLength(text, kStateValueLength);
    char16_t field[kStateValueLength + 1] = {};
    std::memcpy(field, text, sizeof(char16_t) * static_cast<size_t>(len));

    formatDateText(readHexField(field), record.dateText, clock);
    std::memcpy(record.pinHash, field + 8, 8 * sizeof(char16_t));
    record.pinHash[8] = 0;
    record.level = static_cast<int32_t>(readHexField(field + 16));
    record.stepCount = static_cast<int32_t>(readHexField(field + 24));
    for (int k = 0; k < 3; ++k) {
        record.position[k] = bitCast<float>(readHexField(field + 32 + 8 * k));
        record.viewDirection[k] = bitCast<float>(readHexField(field + 56 + 8 * k));
        record.up[k] = bitCast<float>(readHexField(field + 80 + 8 * k));
    }
}

}  // namespace orlith
