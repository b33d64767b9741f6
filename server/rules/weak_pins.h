// Ranking server, the PINs everyone tries first. A PIN hash is public knowledge once the
// nickname and the PIN are known, so a new nickname whose hash is that of one of the most
// common PINs is refused: a guesser's first thousand tries would find it.
// Reads/writes nothing. Called by: the rules, when a new nickname is committed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orlith::server {

inline constexpr size_t kWeakPinCount = 1000;

// The list, most common first: kWeakPinCount PINs of 4 to 10 digits.
const std::vector<std::string>& weakPins();

// Whether hash (8 lowercase hex digits) is the nickname's hash with one of the weak PINs.
bool hasWeakPin(std::u16string_view nickname, std::string_view hash);

}  // namespace orlith::server
