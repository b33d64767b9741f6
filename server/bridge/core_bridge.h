// Ranking server, the one door to the game's core: text conversion, the checksum, the goal
// distance, the name order and the levels' mazes, exactly as the game computes them. Only
// core_bridge.cpp includes core headers, so a move of the core touches one file here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orlith::server {

inline constexpr int kStateValueLength = 104;  // characters of a state value

// UTF-8 to UTF-16, invalid sequences as U+FFFD; and back, unpaired surrogates as U+FFFD.
std::u16string toUtf16(std::string_view text);
std::string toUtf8(std::u16string_view text);

// The game's checksum of a request's query text: "name=", the nickname, "&state=" and the state
// value (104 ASCII hex digits).
uint32_t checksumOf(std::u16string_view nickname, std::string_view state);

// Distance from a position to the goal room, as the game ranks by it. Every level's goal
// room is at cell (1,1,1), so it is the same for every requester.
int32_t goalDistance(const float position[3]);

// The game's order of two terminated nicknames; negative when a comes first.
int compareNicknames(const char16_t* a, const char16_t* b);

// The cell index of a coordinate, as the game rounds it (far outside every maze for NaN).
int32_t cellOfCoordinate(float v);

// Cells a player at this position must still leave to reach the goal cell of the level, at
// the least: the straight count of cell steps, each step changing one index by one.
int32_t cellsToGoalAtLeast(const float position[3], int32_t level);
// The same from the level's start cell: the least any level's shortest path can be.
int32_t levelPathAtLeast(int32_t level);

// A PIN hash as the game makes it from a nickname and a typed PIN: 8 lowercase hex digits.
std::string pinHashOf(std::u16string_view nickname, std::u16string_view pin);

// The maze generator's state: the words x, y, z, w.
struct GeneratorState {
    uint32_t words[4] = {};
    bool operator==(const GeneratorState&) const = default;
};

// Generates levels as the game does, in its own work storage (about 12 MB, so one per thread
// that needs it), and measures the shortest path of each.
class LevelMaker {
public:
    LevelMaker();
    ~LevelMaker();
    // Levels whose starting state the embedded level table holds: 1 .. tableLevels().
    static int32_t tableLevels();
    // The state before a level of the table.
    static GeneratorState tableEntry(int32_t level);
    // Generates the level from the state before it; returns the length of its shortest path
    // from the start cell to the goal cell in cells left, and the state before the next level.
    int32_t make(int32_t level, const GeneratorState& before, GeneratorState& after);
    // For the level made last: the cells left from its start cell to each cell of its box
    // (edge^3, numbered (x * edge + y) * edge + z) along the shortest way through open cells,
    // kFarCells at most; kNoCell for a solid cell or one not joined. Returns the edge.
    static constexpr uint16_t kNoCell = 0xFFFF, kFarCells = 0xFFFE;
    int32_t distancesFromStart(int32_t level, std::vector<uint16_t>& out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orlith::server
