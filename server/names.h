// Ranking server, the rules for a new nickname beyond its form: no character that cannot be
// seen or that reorders or breaks the text around it, and no look-alike of a registered one.
// Uses ICU (character properties, the UTS #39 confusable skeleton). Called by the ranking
// store when a nickname is registered and when the stored players are indexed.
#pragma once

#include <cstdint>
#include <string_view>

namespace orlith::server {

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
