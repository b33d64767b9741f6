// Ranking server, what a nickname may be: its form (1-31 UTF-16 units of strict UTF-8, no
// control character), which every nickname read from a request or a database must have; for
// a new nickname, no character that cannot be seen or that reorders or breaks the text around
// it, and no look-alike of a registered one. Uses ICU (character properties, the UTS #39
// confusable skeleton). Called by the request parsing, the rules when a nickname is
// registered, and the players and the write-behind for the nicknames they read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orlith::server {

inline constexpr int kMaxNicknameUnits = 31;  // a record's name holds 31 UTF-16 units

// Strict UTF-8 to UTF-16: false for any invalid, overlong or surrogate sequence.
bool strictUtf8ToUtf16(std::string_view in, std::u16string& out);

// A nickname the server accepts: 1..31 UTF-16 units, no C0/C1 control character or DEL.
const char* checkNickname(std::u16string_view name);

bool isLowerHex(std::string_view text);

// Null when the nickname may be registered; otherwise why not. Refused: format characters
// (zero-width, bidi controls, the BOM, soft hyphen, tags), every other default-ignorable
// code point (variation selectors, Hangul fillers), line and paragraph separators, and
// noncharacters. Existing nicknames are never checked against this.
const char* checkNewNickname(std::u16string_view name);

// A 64-bit key of what the nickname looks like: equal for names a reader cannot tell apart
// (case, composed or decomposed accents, look-alike letters of other scripts). The
// confusable skeleton is taken before and after case folding, so "I" and "l" still meet.
// Safe from any thread.
uint64_t lookAlikeKey(std::u16string_view name);

}  // namespace orlith::server
