// save.dat: one UTF-16LE line "state=<104-character state value>&sum=<checksum>".
#include <cstring>
#include <string>

#include "base/text.h"
#include "persist/persist.h"
#include "state/state_value.h"

namespace orlith {

namespace {

constexpr const char* kSaveName = "save.dat";
constexpr size_t kMaxSaveBytes = 2048;

}  // namespace

int writeSaveFile(const GameState& s, Platform& platform) {
    // The save file never carries the PIN hash.
    Float4 dir = sub(s.cameraFocus, s.cameraEye);
    float pos[3] = {s.cameraEye.x, s.cameraEye.y, s.cameraEye.z};
    float view[3] = {dir.x, dir.y, dir.z};
    float up[3] = {s.cameraUp.x, s.cameraUp.y, s.cameraUp.z};
    std::u16string text = u"state=";
    text += formatStateValue(platform.unixTime(), u"00000000", s.level, s.stepCount, pos, view, up);
    text += makeChecksumTag(text);
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    switch (platform.replaceFile(kSaveName, bytes)) {
        case FileFailure::none: return 1;
        case FileFailure::create: reportError(platform, kSaveCreateSite); break;
        case FileFailure::write: reportError(platform, kSaveWriteSite); break;
        case FileFailure::replace: reportError(platform, kSaveReplaceSite); break;
    }
    return 0;
}

int parseSaveBytes(const uint8_t* bytes, size_t size, RankingRecord& record, const LocalClock& clock) {
    if (size > kMaxSaveBytes) size = kMaxSaveBytes;
    // Zero-filled beyond what was read, so the text always ends and the state value can be
    // read at its fixed offsets.
    char16_t text[kMaxSaveBytes / 2 + 1 + kStateValueLength] = {};
    for (size_t i = 0; i < size; ++i) text[i / 2] = static_cast<char16_t>(text[i / 2] | (bytes[i] << (8 * (i % 2))));
    int length = textLength(text);
    std::u16string_view all(text, static_cast<size_t>(length));
    size_t amp = all.find(u'&');
    if (amp == std::u16string_view::npos) return 0;
    if (all.substr(amp) != makeChecksumTag(all.substr(0, amp))) return 0;
    std::memset(&record, 0, sizeof record);
    parseStateValue(record, text + 6, clock);
    return 1;
}

int readSaveFile(RankingRecord& record, Platform& platform) {
    std::string bytes;
    if (!platform.readFile(kSaveName, kMaxSaveBytes, bytes)) return 0;
    return parseSaveBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), record, platform);
}

}  // namespace orlith
