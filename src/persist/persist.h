// Persistence: the nine preferences in "setting.ini" and the offline progress in "save.dat",
// both in the current directory at the moment of each call.
// Reads/writes: GameState settings; the save file's state value. Called by start-up (read)
// and by the per-frame update (write on a settings key, save on F4).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "game/game_state.h"
#include "platform/platform.h"
#include "ranking/record.h"

namespace orlith {

// Applies each of the nine keys of section "Setting" that is present and acceptable.
void readSettingsFile(GameState& state);
// Writes all nine keys; failures are silent, and a failed write leaves the old file intact.
void writeSettingsFile(const GameState& state);

// Writes "save.dat" (UTF-16LE "state=<value>&sum=<checksum>", PIN hash "00000000") through a
// temporary file and a rename, so a crash mid-save keeps the previous save. Shows the error
// box and returns 0 on failure, 1 on success.
int writeSaveFile(const GameState& state, Platform& platform);
// Reads "save.dat" (at most 2,048 bytes) into record when its checksum matches; 1 or 0.
int readSaveFile(RankingRecord& record);
// The same checks on bytes already read (exposed for tests and fuzzing).
int parseSaveBytes(const uint8_t* bytes, size_t size, RankingRecord& record);

// --- the profile (INI) file behaviour the settings need ------------------------------
// Value of key in section, at most capacity-1 characters (the 32-character buffer), with
// surrounding blanks and one pair of enclosing quotes removed. Sections and keys are matched
// without regard to ASCII case. Returns false when the file, section or key is missing.
bool readProfileString(const std::string& path, std::string_view section, std::string_view key,
                       std::string& value, size_t capacity = 32);
// Replaces or adds key=value in section, creating the file and section when missing and
// keeping every other line. Written through a temporary file and a rename.
bool writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);
// Several keys of one section in one rewrite.
bool writeProfileStrings(const std::string& path, std::string_view section,
                         const std::pair<std::string_view, std::string>* entries, size_t count);

// The current directory joined with name, taken at the moment of the call.
std::string pathInCurrentDirectory(std::string_view name);

// _wtoi: optional blanks, optional sign, decimal digits up to the first non-digit; no digits
// gives 0. Values beyond int32 saturate instead of overflowing.
int32_t parseLeadingInt(std::string_view text);

}  // namespace orlith
