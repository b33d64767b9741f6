// save.dat: one UTF-16LE line "state=<104-character state value>&sum=<checksum>".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "game/text.h"
#include "persist/persist.h"
#include "ranking/ranking.h"

namespace orlith {

namespace {

constexpr const char* kSaveName = "save.dat";
constexpr size_t kMaxSaveBytes = 2048;

}  // namespace

int writeSaveFile(const GameState& state, Platform& platform) {
    // The save file never carries the PIN hash.
    char16_t text[6 + kStateValueLength + 32];
    {
        GameState const& s = state;
        std::u16string value = u"state=";
        Float4 dir = sub(s.cameraFocus, s.cameraEye);
        float pos[3] = {s.cameraEye.x, s.cameraEye.y, s.cameraEye.z};
        float view[3] = {dir.x, dir.y, dir.z};
        float up[3] = {s.cameraUp.x, s.cameraUp.y, s.cameraUp.z};
        value += formatStateValue(platform.unixTime(), u"00000000", s.level, s.stepCount, pos, view, up);
        value += makeChecksumTag(value);
        copyText(text, static_cast<int>(std::size(text)), value);
    }
    int length = textLength(text);
    std::string bytes;
    bytes.reserve(static_cast<size_t>(length) * 2);
    for (int i = 0; i < length; ++i) {
        bytes.push_back(static_cast<char>(text[i] & 0xFF));
        bytes.push_back(static_cast<char>(text[i] >> 8));
    }

    // A temporary file renamed over the old one: a failure or crash mid-save keeps the last save.
    std::string temp = std::string(kSaveName) + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        reportError(platform, 3630, u"CreateFile");
        return 0;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fflush(f) == 0 && ok;
    ok = ::fsync(::fileno(f)) == 0 && ok;
    int writeErrno = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::remove(temp.c_str());
        errno = writeErrno;
        reportError(platform, 3643, u"WriteFile");
        return 0;
    }
    if (std::rename(temp.c_str(), kSaveName) != 0) {
        int saved = errno;
        std::remove(temp.c_str());
        errno = saved;
        reportError(platform, 3630, u"CreateFile");
        return 0;
    }
    return 1;
}

int parseSaveBytes(const uint8_t* bytes, size_t size, RankingRecord& record) {
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
    parseStateValue(record, text + 6);
    return 1;
}

int readSaveFile(RankingRecord& record) {
    FILE* f = std::fopen(kSaveName, "rb");
    if (f == nullptr) return 0;
    uint8_t bytes[kMaxSaveBytes];
    size_t got = std::fread(bytes, 1, sizeof bytes, f);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return 0;
    return parseSaveBytes(bytes, got, record);
}

}  // namespace orlith
