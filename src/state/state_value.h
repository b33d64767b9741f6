// The state value: the 104-character text that carries one player's state in requests, replies
// and the save file; the checksum that guards requests and the save file; the PIN hash. Plain
// formats over GameState and RankingRecord, used by the ranking protocol, the save file and the
// server. Local time comes through the clock seam, for the record's date text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "state/game_state.h"
#include "state/ranking_record.h"

namespace orlith {

inline constexpr int kStateValueLength = 104;

// CRC-32 (reflected, 0xEDB88320) over bytes, skipping 0x00, '=' and '&'. Passing 0 starts a
// new CRC; passing an earlier result continues it. A count below 1 returns previous.
uint32_t crcUpdate(uint32_t previous, const void* bytes, int32_t count);
// The same over a wide text's UTF-16LE bytes.
uint32_t crcOfText(uint32_t previous, std::u16string_view text);

// Checksum of a wide text: CRC over the wide "sum" then over the text's UTF-16LE bytes,
// top bit cleared (0..2147483647).
uint32_t computeChecksum(std::u16string_view text);

// "&sum=<checksum>" for the text.
std::u16string makeChecksumTag(std::u16string_view text);

// 8 lowercase hex digits identifying nickname + PIN; out must hold 9 characters.
void makePinHash(std::u16string_view nickname, std::u16string_view pin, char16_t out[9]);

// "state=" followed by the 104-character state value of the game: time stamp, pinHash,
// level, stepCount, camera eye, focus - eye, camera up. Returns the characters written
// (110), or -1 if capacity is below 111.
int buildStateValue(const GameState& state, uint32_t unixSeconds, char16_t* out, int capacity);

// The 104-character state value of explicit fields, into a fixed buffer (no terminator).
void writeStateValue(char16_t out[kStateValueLength], uint32_t unixSeconds, std::u16string_view pinHash, int32_t level,
                     int32_t stepCount, const float position[3], const float viewDirection[3], const float up[3]);
// The same as a text (the save file, the server and tests).
std::u16string formatStateValue(uint32_t unixSeconds, std::u16string_view pinHash, int32_t level,
                                int32_t stepCount, const float position[3], const float viewDirection[3],
                                const float up[3]);

// Reads the first 104 characters into every field of the record except name and goalDistance.
// Non-hex characters end a field's digits; the caller guarantees 104 readable characters.
// The time stamp becomes dateText in the clock's local time.
void parseStateValue(RankingRecord& record, const char16_t* text, const LocalClock& clock);

// Local-time date text of a time stamp (read as unsigned 32-bit seconds); empty when the
// clock cannot convert it.
void formatDateText(uint32_t unixSeconds, char16_t out[32], const LocalClock& clock);

}  // namespace orlith
