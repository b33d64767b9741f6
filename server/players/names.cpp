// Nickname rules: the form, then ICU's character properties and spoof checker.
#include "players/names.h"

#include <unicode/uchar.h>
#include <unicode/uspoof.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <memory>

#include "bridge/core_bridge.h"

namespace orlith::server {

bool strictUtf8ToUtf16(std::string_view in, std::u16string& out) {
    // Plain ASCII, nearly every nickname, is valid as it stands.
    if (std::all_of(in.begin(), in.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        out.assign(in.begin(), in.end());
        return true;
    }
    // The core's converter replaces bad sequences with U+FFFD; a text is strictly valid
    // exactly when converting it there and back gives the same bytes.
    out = toUtf16(in);
    return toUtf8(out) == in;
}

const char* checkNickname(std::u16string_view name) {
    if (name.empty()) return "empty nickname";
    if (name.size() > static_cast<size_t>(kMaxNicknameUnits)) return "nickname longer than 31 characters";
    for (char16_t c : name) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return "control character in nickname";
    }
    return nullptr;
}

bool isLowerHex(std::string_view text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

const char* checkNewNickname(std::u16string_view name) {
    for (size_t i = 0; i < name.size();) {
        UChar32 c;
        U16_NEXT(name.data(), i, name.size(), c);
        int8_t type = u_charType(c);
        if (type == U_FORMAT_CHAR || u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) {
            return "invisible or direction-changing character in nickname";
        }
        if (type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR) return "line separator in nickname";
        if (u_hasBinaryProperty(c, UCHAR_NONCHARACTER_CODE_POINT)) return "noncharacter in nickname";
    }
    return nullptr;
}

namespace {

struct SpoofCloser {
    void operator()(USpoofChecker* s) const { uspoof_close(s); }
};

// One checker per thread: ICU does not promise that one may be shared.
USpoofChecker* checker() {
    thread_local std::unique_ptr<USpoofChecker, SpoofCloser> sc = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<USpoofChecker, SpoofCloser> s(uspoof_open(&status));
        uspoof_setChecks(s.get(), USPOOF_CONFUSABLE, &status);
        return U_SUCCESS(status) ? std::move(s) : nullptr;
    }();
    return sc.get();
}

// Skeletons grow by at most 18 units a character (ICU's own bound), so 31 units fit here.
constexpr int32_t kCapacity = 31 * 18 * 2 + 16;

int32_t skeleton(const UChar* in, int32_t length, UChar* out) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = uspoof_getSkeleton(checker(), 0, in, length, out, kCapacity, &status);
    return U_SUCCESS(status) ? n : -1;
}

}  // namespace

uint64_t lookAlikeKey(std::u16string_view name) {
    UChar a[kCapacity], b[kCapacity];
    const auto* text = reinterpret_cast<const UChar*>(name.data());
    int32_t n = checker() ? skeleton(text, static_cast<int32_t>(name.size()), a) : -1;
    UErrorCode status = U_ZERO_ERROR;
    if (n >= 0) n = u_strFoldCase(b, kCapacity, a, n, U_FOLD_CASE_DEFAULT, &status);
    if (n >= 0 && U_SUCCESS(status)) n = skeleton(b, n, a);
    if (n < 0 || U_FAILURE(status)) {
        // Cannot happen for a valid nickname; the name itself stands in, so it still meets
        // its own copies.
        n = static_cast<int32_t>(name.size());
        std::copy(text, text + n, a);
    }
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the skeleton's units
    for (int32_t k = 0; k < n; ++k) {
        h = (h ^ (a[k] & 0xFF)) * 1099511628211ull;
        h = (h ^ (a[k] >> 8)) * 1099511628211ull;
    }
    return h;
}

}  // namespace orlith::server
