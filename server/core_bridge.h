// Ranking server, the one door to the game's core: text conversion, the checksum, the goal
// distance and the name order, exactly as the game computes them. Only core_bridge.cpp
// includes core headers, so a move of the core touches one file here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orlith::server {

inline constexpr int kStateValueLength = 104;  // characters of a state value

// UTF-8 to UTF-16, invalid sequences as U+FFFD; and back, unpaired surrogates as U+FFFD.
std::u16string toUtf16(std::string_view text);
std::string toUtf8(std::u16string_view text);

// The game's checksum of a request's query text.
uint32_t checksumOf(std::u16string_view text);

// Distance from a position to the goal room, as the game ranks by it. Every level's goal
// room is at cell (1,1,1), so it is the same for every requester.
int32_t goalDistance(const float position[3]);

// The game's order of two terminated nicknames; negative when a comes first.
int compareNicknames(const char16_t* a, const char16_t* b);

}  // namespace orlith::server
