// Wide text helpers shared by every layer, the server included: the one printf-style formatter
// and UTF-8 / UTF-16 conversion. Wide text is UTF-16 (char16_t) on every
// platform, so checksums and files are byte-identical with the Windows build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orlith {

// printf-style formatting of wide text into a fixed buffer. Supports the flags "-0+ #",
// width, precision, the conversions d i u x X c s f F e E g G %, and "l" before an integer
// conversion for a long long argument (64 bits on every system). A %s argument is a
// const char16_t* (null prints "(null)"). Never writes past capacity: the text is cut and
// still terminated. Returns the characters written (without terminator), or -1 for a bad
// format or a zero capacity.
int formatText(char16_t* dest, int capacity, const char16_t* format, ...);

// Length of a terminated wide text, at most maxLength.
int textLength(const char16_t* text, int maxLength = 0x7fffffff);

// Copies at most capacity-1 characters and terminates.
void copyText(char16_t* dest, int capacity, std::u16string_view source);

// UTF-8 to UTF-16: invalid sequences become U+FFFD; never fails.
std::u16string utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8: unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace orlith
