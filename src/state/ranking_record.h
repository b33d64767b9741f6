// The 240-byte ranking record: one player's state as received from the server or loaded
// from the save file. Arrays of records are copied whole, so it holds plain fields only.
#pragma once

#include <cstdint>
#include <type_traits>

namespace orlith {

struct RankingRecord {
    char16_t name[32];        // nickname, terminated; empty for a save-file record
    char16_t pinHash[32];     // the state value's 8 PIN-hash characters, verbatim
    int32_t level;            // level reached
    int32_t stepCount;        // cumulative cells left
    float position[3];        // player position, cell units
    float viewDirection[3];   // camera focus minus eye
    float up[3];              // camera up vector
    char16_t dateText[32];    // "%04d/%02d/%02d %02d:%02d" local time of the state
    int32_t goalDistance;     // filled by prepareRankingList, not part of the state value
};

static_assert(sizeof(RankingRecord) == 240, "the ranking record is 240 bytes");
static_assert(std::is_trivially_copyable_v<RankingRecord>);

inline constexpr int kMaxRankingRecords = 256;

}  // namespace orlith
