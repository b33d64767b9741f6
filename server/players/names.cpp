// Nickname rules: the form, then ICU's character properties and spoof checker.
#include "players/names.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uspoof.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <memory>
#include <string>

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
    // No early exit: every request checks 104 digits, which the compiler then checks 16 at a time.
    bool all = true;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        all &= (static_cast<unsigned char>(u - '0') < 10) | (static_cast<unsigned char>(u - 'a') < 6);
    }
    return all;
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
    // A space at either end cannot be seen: " alice" and "alice " would pass for "alice".
    auto space = [](char16_t c) { return u_isUWhiteSpace(c) || u_charType(c) == U_SPACE_SEPARATOR; };
    if (!name.empty() && (space(name.front()) || space(name.back()))) return "space at the start or end of nickname";
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

using Text = std::u16string;

// Runs an ICU text function into out, growing out once if it did not fit.
template <typename F>
bool into(Text& out, F f) {
    UErrorCode status = U_ZERO_ERROR;
    out.resize(out.capacity() < 64 ? 64 : out.capacity());
    int32_t n = f(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        status = U_ZERO_ERROR;
        out.resize(static_cast<size_t>(n));
        n = f(reinterpret_cast<UChar*>(out.data()), n, &status);
    }
    if (U_FAILURE(status)) return false;
    out.resize(static_cast<size_t>(n));
    return true;
}

const UChar* units(const Text& t) { return reinterpret_cast<const UChar*>(t.data()); }
int32_t length(const Text& t) { return static_cast<int32_t>(t.size()); }

bool skeleton(const Text& in, Text& out) {
    return checker() && into(out, [&](UChar* o, int32_t cap, UErrorCode* st) {
               return uspoof_getSkeleton(checker(), 0, units(in), length(in), o, cap, st);
           });
}
bool folded(const Text& in, Text& out) {
    return into(out, [&](UChar* o, int32_t cap, UErrorCode* st) {
        return u_strFoldCase(o, cap, units(in), length(in), U_FOLD_CASE_DEFAULT, st);
    });
}
bool upper(const Text& in, Text& out) {
    return into(out, [&](UChar* o, int32_t cap, UErrorCode* st) { return u_strToUpper(o, cap, units(in), length(in), "", st); });
}
bool nfkc(const Text& in, Text& out) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* n = unorm2_getNFKCInstance(&status);
    return U_SUCCESS(status) && into(out, [&](UChar* o, int32_t cap, UErrorCode* st) {
               return unorm2_normalize(n, units(in), length(in), o, cap, st);
           });
}

// Combining marks left on an ASCII letter after NFKC (no composed letter holds them, as
// i with a dot above) are not seen apart from the letter: dropped from the key.
Text withoutMarksOnAscii(const Text& in) {
    Text out;
    bool onAscii = false;
    for (size_t i = 0; i < in.size();) {
        UChar32 c;
        U16_NEXT(in.data(), i, in.size(), c);
        const int8_t type = u_charType(c);
        const bool mark = type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK;
        if (mark && onAscii) continue;
        if (!mark) onAscii = c < 0x80 && u_isalpha(c);
        if (U_IS_BMP(c)) out.push_back(static_cast<char16_t>(c));
        else out.append({static_cast<char16_t>(U16_LEAD(c)), static_cast<char16_t>(U16_TRAIL(c))});
    }
    return out;
}

}  // namespace

uint64_t lookAlikeKey(std::u16string_view name) {
    // Compatibility forms (full-width, ligatures) and case first, then the confusable
    // skeleton of the lower case (rn and m meet) and of the upper case (I and l meet, so a
    // capital I meets i as well), each case-folded again.
    Text a(name), b;
    bool ok = nfkc(a, b) && (a = withoutMarksOnAscii(b), folded(a, b)) && skeleton(b, a) && folded(a, b) &&
              upper(b, a) && skeleton(a, b) && folded(b, a) && skeleton(a, b);
    // Cannot fail for a valid nickname; the name itself stands in, so it still meets its copies.
    const Text& key = ok ? b : Text(name);
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the key's units
    for (char16_t u : key) {
        h = (h ^ (u & 0xFF)) * 1099511628211ull;
        h = (h ^ (u >> 8)) * 1099511628211ull;
    }
    return h;
}

}  // namespace orlith::server
