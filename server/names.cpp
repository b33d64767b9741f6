// Nickname rules with ICU's character properties and spoof checker.
#include "names.h"

#include <unicode/uchar.h>
#include <unicode/uspoof.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <memory>

namespace orlith::server {

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
