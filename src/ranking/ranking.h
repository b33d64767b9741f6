// Online ranking formats: the 104-character state value, the checksum that guards requests
// and the save file, the PIN hash, the ranking request path, the reply parser and the
// ranking order. Plain logic: no sockets. Used by the game, the save file and the server.
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

// The nickname as it travels in a query: space, control characters, '#', '%', '?' and every
// character beyond ASCII percent-encoded (the latter as UTF-8 bytes), all else, '&' and '='
// included, as typed. Returns its length, or -1 (cut) when capacity is too small.
int escapeNickname(std::u16string_view nickname, char16_t* out, int capacity);

// "/state/change.php?name=<nickname>&state=<value>&sum=<checksum>": the nickname escaped, the
// checksum over the query with the nickname as typed. Allocates nothing (it runs every frame).
// Returns the length, or -1 with an empty text when capacity is too small.
int buildRankingPath(const GameState& state, uint32_t unixSeconds, char16_t* out, int capacity);

// The check request that names the player: "/state/change.php?mode=check&name=<nickname>&pin=<hash>".
// A server that knows the name lists its line first, with the true hash only when the given one
// matches; a server that ignores the two parameters answers the plain check.
int buildCheckPath(const GameState& state, char16_t* out, int capacity);

// Splits a UTF-8 reply body into records: each CR/LF-separated line longer than 104
// characters is one player (state value, then nickname cut to 31 characters); at most 256.
void parseRankingReply(std::string_view body, RankingRecord* records, int32_t& count, const LocalClock& clock);

// Ranking order: higher level, smaller goal distance, fewer steps, then name.
// Negative when a ranks before b.
int compareRankingRecords(const RankingRecord& a, const RankingRecord& b);
// Name order standing in for the locale-aware, case-sensitive comparison: letters compare
// without case first, then lower case before upper case, then by code unit.
int compareNames(const char16_t* a, const char16_t* b);

// Goal distance of every entry and the Shell sort of rankingList.
void prepareRankingList(GameState& state);
// Copies the shared list under netMutex into rankingList, then prepares it.
void takeRankingUpdate(GameState& state);

}  // namespace orlith
