// Persistence: the nine preferences in "setting.ini" and the offline progress in "save.dat",
// both in the current directory at the moment of each call, reached through the platform's
// file seam. Reads/writes: GameState settings; the save file's state value. Called by
// start-up (read) and by the frame's hooks (write on a settings key, save on F4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/error_report.h"
#include "platform/platform.h"
#include "state/game_state.h"
#include "state/input.h"
#include "state/ranking_record.h"

namespace orlith {

// Applies each of the nine keys of section "Setting" that is present and acceptable.
void readSettingsFile(GameState& state, Platform& platform);
// Writes all nine keys, keeping every other line and the file's encoding. Failures are
// silent, and a failed write leaves the old file whole.
void writeSettingsFile(const GameState& state, Platform& platform);
// The keys section "Keys" moves (an action's name = a key's name, see state/input.h). A name
// that is no key, or two actions on one key, is refused: the map stays the standard one, and
// problem says what is wrong in words a player can act on. True when the file's map is used
// (also when it has none).
bool readKeyMap(Platform& platform, KeyMap& map, std::string& problem);
// Writes every movable key into section "Keys" under its key in map, keeping every other line
// (orlith --write-keys: the player finds them all there to change). False when it failed.
bool writeKeyMap(const KeyMap& map, Platform& platform);

// Where a failed save is reported.
inline constexpr ErrorSite kSaveCreateSite{3630, u"CreateFile"};
inline constexpr ErrorSite kSaveWriteSite{3643, u"WriteFile"};
inline constexpr ErrorSite kSaveReplaceSite{3650, u"MoveFileEx"};

// Writes "save.dat" (UTF-16LE "state=<value>&sum=<checksum>", PIN hash "00000000") from the
// camera of the current pose. The old save is replaced in one step, so a crash or a failure
// keeps it. Shows the error box and returns 0 on failure, 1 on success.
int writeSaveFile(const GameState& state, Platform& platform);
// Reads "save.dat" (at most 2,048 bytes) into record when its checksum matches; 1 or 0.
int readSaveFile(RankingRecord& record, Platform& platform);
// The same checks on bytes already read (exposed for tests and fuzzing).
int parseSaveBytes(const uint8_t* bytes, size_t size, RankingRecord& record, const LocalClock& clock);

// --- the profile (INI) file behaviour the settings need, on text in memory ---------------
// The encodings a profile file comes in; it is written back in the same one.
enum class TextEncoding { ansi, utf8Bom, utf16le, utf16be };
// File bytes to UTF-8 text (a byte-order mark decides; without one the bytes stand as they are).
std::string decodeProfileText(std::string_view bytes, TextEncoding& encoding);
std::string encodeProfileText(std::string_view text, TextEncoding encoding);

// Value of key in the first section with this name, at most capacity-1 characters (the
// 32-character buffer), with surrounding blanks and one pair of enclosing quotes removed.
// Sections and keys are matched without regard to ASCII case. False when missing.
bool findProfileValue(std::string_view text, std::string_view section, std::string_view key, std::string& value,
                      size_t capacity = 32);
// The text with each key=value of entries replaced in, or added to, the first section of this
// name (created at the end when missing); every other line is kept.
std::string setProfileValues(std::string_view text, std::string_view section,
                             const std::pair<std::string_view, std::string>* entries, size_t count);

// _wtoi: optional blanks, optional sign, decimal digits up to the first non-digit; no digits
// gives 0. Values beyond int32 saturate instead of overflowing.
int32_t parseLeadingInt(std::string_view text);

}  // namespace orlith
