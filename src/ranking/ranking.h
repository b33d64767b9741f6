// The ranking protocol's plain logic: the nickname's escaping, the request paths, the reply
// parser and the ranking order (the state value and its checksum are in state/state_value.h).
// No sockets. Used by the game's network side and by the server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "state/game_state.h"
#include "state/ranking_record.h"
#include "state/state_value.h"

namespace orlith {

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

}  // namespace orlith
