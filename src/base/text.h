// Wide text helpers shared by every layer, the server included: the one printf-style formatter
// and UTF-8 / UTF-16 conversion. Wide text is UTF-16 (char16_t) on every
// platform, so checksums and files are byte-identical with the Windows build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace orlith {

// printf-style formatting of wide text into a fixed buffer. Supports the flags "-0+ #",
// width and precision (up to 400), the conversions d i u x X c s f F e E g G %, and "l" before
// an integer conversion for a 64-bit argument (on every system). A %s argument is a char16_t
// text (null prints "(null)"). Never writes past capacity: the text is cut and still
// terminated. Returns the characters written (without terminator), or -1 for a zero capacity.
// The format is checked against the arguments' types when the program is compiled: a
// conversion without its argument, an argument without its conversion, an int for %ld or a
// 64-bit integer for %d, a number for %s, an unknown letter: each is a compile error.
//   formatText(buf, 32, u"%s: %04d", name, level);

// One argument, with the kind of value it carries.
enum class FormatKind : uint8_t { int32, int64, real, text };
struct FormatArg {
    FormatKind kind;
    int64_t integer = 0;           // int32 and int64 (an unsigned 32-bit value zero-extended)
    double real = 0;
    const char16_t* text = nullptr;
};

template <typename>
inline constexpr bool kNotFormattable = false;

template <typename T>
consteval FormatKind formatKindOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_convertible_v<std::decay_t<T>, const char16_t*>) {
        return FormatKind::text;
    } else if constexpr (std::is_floating_point_v<U>) {
        return FormatKind::real;
    } else if constexpr (std::is_integral_v<U> && !std::is_same_v<U, bool> && sizeof(U) <= 4) {
        return FormatKind::int32;
    } else if constexpr (std::is_integral_v<U> && !std::is_same_v<U, bool> && sizeof(U) == 8) {
        return FormatKind::int64;
    } else {
        static_assert(kNotFormattable<T>, "formatText takes integers, floating-point numbers and char16_t texts");
    }
}

template <typename T>
FormatArg formatArg(const T& v) {
    constexpr FormatKind kind = formatKindOf<T>();
    if constexpr (kind == FormatKind::text) {
        return {kind, 0, 0, v};
    } else if constexpr (kind == FormatKind::real) {
        return {kind, 0, static_cast<double>(v), nullptr};
    } else {
        return {kind, static_cast<int64_t>(v), 0, nullptr};
    }
}

namespace detail {
void formatMismatch(const char* why);  // not constexpr: calling it at compile time is the error
// Checks the format against the argument kinds, as formatText reads them.
consteval void checkFormat(const char16_t* p, const FormatKind* kinds, size_t count) {
    size_t next = 0;
    for (; *p; ++p) {
        if (*p != u'%') continue;
        ++p;
        while (*p == u'-' || *p == u'0' || *p == u'+' || *p == u' ' || *p == u'#') ++p;
        int width = 0, precision = 0;
        while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        if (*p == u'.') {
            ++p;
            while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
        }
        if (width > 400 || precision > 400) formatMismatch("a width or precision above 400");
        const bool isLong = *p == u'l';
        if (isLong) ++p;
        FormatKind want = FormatKind::int32;
        switch (*p) {
            case u'%': continue;
            case u'd': case u'i': case u'u': case u'x': case u'X': want = isLong ? FormatKind::int64 : FormatKind::int32; break;
            case u'c': want = FormatKind::int32; break;
            case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': want = FormatKind::real; break;
            case u's': want = FormatKind::text; break;
            default: formatMismatch("an unknown conversion");
        }
        if (isLong && want != FormatKind::int64) formatMismatch("'l' before a conversion that is not an integer's");
        if (next >= count) formatMismatch("more conversions than arguments");
        if (kinds[next++] != want) formatMismatch("an argument of another type than its conversion");
        if (*p == 0) break;
    }
    if (next != count) formatMismatch("more arguments than conversions");
}
}  // namespace detail

// A format checked against the kinds of the arguments that come with it.
template <FormatKind... Kinds>
struct FormatString {
    const char16_t* text;
    template <size_t N>
    consteval FormatString(const char16_t (&format)[N]) : text(format) {  // NOLINT: made from literals
        constexpr FormatKind kinds[sizeof...(Kinds) + 1] = {Kinds..., FormatKind::int32};
        detail::checkFormat(format, kinds, sizeof...(Kinds));
    }
};

// The formatter itself, checking each conversion against its argument while it runs (a
// mismatch, a bad format or a zero capacity gives -1 and an empty text).
int vformatText(char16_t* dest, int capacity, const char16_t* format, const FormatArg* args, size_t count);

template <typename... Args>
int formatText(char16_t* dest, int capacity, std::type_identity_t<FormatString<formatKindOf<Args>()...>> format,
               const Args&... args) {
    const FormatArg list[sizeof...(Args) + 1] = {formatArg(args)..., FormatArg{FormatKind::int32}};
    return vformatText(dest, capacity, format.text, list, sizeof...(Args));
}

// Length of a terminated wide text, at most maxLength.
int textLength(const char16_t* text, int maxLength = 0x7fffffff);

// Copies at most capacity-1 characters and terminates.
void copyText(char16_t* dest, int capacity, std::u16string_view source);

// UTF-8 to UTF-16: invalid sequences become U+FFFD; never fails.
std::u16string utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8: unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace orlith
