// Maze: the level-to-size rule, level set-up, the deterministic generator and the level table.
// Owns: the generator's work storage (MazeWork, one per owner, reused by every level) and the
// embedded level table (read-only).
// Reads: level, mazeRng. Writes: sizeX/Y/Z, cellGrid, goalPos, the start pose and mazeRng.
// Called by start-up, the goal test and the restore of a saved or server-held state, always
// for levels 1, 2, ... in order or from a level table entry (which gives the same state); and
// by the server and tools, which need a level's maze and the shortest path through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "state/game_state.h"

namespace orlith {

inline constexpr int kMaxWallSlots = 390150;   // wall slots of the largest maze
inline constexpr int kMaxMergesPerPass = 66325; // half the rooms of the largest maze
inline constexpr int kMaxSetNumbers = 132652;  // set numbers 0..132651 (rooms + 1)
inline constexpr int kMaxPassLog = 1024;       // passes whose counts are kept

struct PassStats {
    int32_t wallCount;   // candidates collected in the pass
    int32_t mergeCount;  // merges the pass made
};

// Generator work storage, fixed capacity (about 8 MB), so no level allocates.
struct MazeWork {
    // Candidates of a pass, one 64-bit entry each instead of three parallel coordinate lists
    // (the shuffle makes the same swaps): bits 0-19 the lower room's number << 2 | axis
    // (0 x, 1 y, 2 z), bits 20-39 and 40-59 the sets of the two rooms at the pass's start.
    uint64_t wallList[kMaxWallSlots];
    uint64_t scanList[kMaxWallSlots];    // the candidates in scan order, same packing
    int32_t wallCount;                   // candidates of the current pass
    // wallList positions of the latest pass's merges. One spare entry: the branch-free merge
    // loop always writes the next position.
    int32_t mergeSlot[kMaxMergesPerPass + 1];
    int32_t mergeCount;                  // merges of the latest pass
    uint8_t mergeMark[kMaxSetNumbers];   // 0 unused this pass, 0x31 used
    int32_t renameTo[kMaxSetNumbers];    // set -> set it merged into (itself while a set)
    int32_t passCount;                   // passes of the latest generation
    PassStats passLog[kMaxPassLog];      // per-pass counts of the latest generation (first 1024)
};
std::unique_ptr<MazeWork> makeMazeWork();

// Maze edge of a level: 2 * level + 3, capped at 103 (never overflows, whatever the level).
int32_t mazeEdgeForLevel(int32_t level);

// One xorshift128 step. Inline: generation draws millions of these per level.
inline uint32_t nextRandom(MazeRng& rng) {
    uint32_t t = rng.x ^ (rng.x << 11);
    rng.x = rng.y;
    rng.y = rng.z;
    rng.z = rng.w;
    rng.w = rng.w ^ (rng.w >> 19) ^ t ^ (t >> 8);
    return rng.w;
}

// Fills the box 0..size-1 on each axis of a grid laid out like cellGrid ([(x*103+y)*103+z])
// with a perfect maze, drawing from rng.
void generateMaze(int32_t* cellGrid, int32_t sizeX, int32_t sizeY, int32_t sizeZ, MazeRng& rng, MazeWork& work);

// Sizes the maze for state.level, generates it and sets the start pose and the goal.
void newLevel(GameState& state, MazeWork& work);

// Called before each replayed level with (levels done, levels to do); false cancels.
using ReplayProgress = std::function<bool(int64_t done, int64_t total)>;

// Raises level from its current value to targetLevel one newLevel at a time, as the save-file
// and server restores require. Returns false when progress cancelled it (the state is then
// a consistent, lower level).
bool replayLevels(GameState& state, MazeWork& work, int32_t targetLevel, const ReplayProgress& progress);

// The level table: the generator's state before each level from level 1 on, as generating
// levels 1, 2, ... in order leaves it. A level's maze depends only on its size and that state
// (a new maze rewrites its whole box, and boxes only grow), so a restore can start at the
// entry of its level instead of replaying every level before it.
//
// Bytes (resources/level_table.bin, embedded in the program), all little-endian:
//   0-3   "OLVT"
//   4-7   format, 1
//   8-11  N, the levels covered
//   12-15 CRC-32 (the common one: reflected 0xEDB88320, start and final xor 0xFFFFFFFF) of
//         the entries
//   16-   N entries of 16 bytes, the words x, y, z, w of the state before level 1, 2, ..., N
inline constexpr uint32_t kLevelTableFormat = 1;
inline constexpr size_t kLevelTableHeaderBytes = 16;
inline constexpr size_t kLevelTableEntryBytes = 16;

struct LevelTable {
    const uint8_t* entries = nullptr;  // N entries from level 1, laid out as in the file
    int32_t levels = 0;                // N; 0 when the bytes failed a check (no table)
};

// Checks the header, the size, the checksum and that level 1 starts from the seed; any
// failure gives the empty table, so damaged bytes can only make a restore slower, never wrong.
// The table points into bytes.
LevelTable readLevelTable(const uint8_t* bytes, size_t size);

// The committed table carried in the program, checked once on first use (thread-safe).
std::span<const uint8_t> embeddedLevelTableBytes();
const LevelTable& embeddedLevelTable();

// The file's bytes for the states before levels 1, 2, ..., before.size().
std::vector<uint8_t> encodeLevelTable(const std::vector<MazeRng>& before);

// Generates levels 1 .. levels - 1 in order from the seed, keeping the state before each, and
// returns the table of the states before levels 1 .. levels. Progress as for replayLevels;
// false from it gives an empty result.
std::vector<uint8_t> buildLevelTable(int32_t levels, MazeWork& work, const ReplayProgress& progress);

// Where the generation of a level can begin: the highest level at or below it whose state the
// table holds, with that state (level 1 and the seed when the table is empty).
struct LevelStart {
    int32_t level;
    MazeRng rng;
};
LevelStart levelStartAtOrBelow(int32_t level, const LevelTable& table = embeddedLevelTable());

// Sets the state to level max(targetLevel, 1) exactly as generating levels 1 .. targetLevel in
// order from the start of the game leaves it (maze, sizes, generator state, level, start pose
// and goal; a grid that held a larger level is cleared outside the new box, as in a fresh
// game), generating only from the nearest table entry at or below it: one generation inside
// the table, a replay from its last entry past it. progress(done, total) comes before each
// generation and once at the end; false cancels between generations and returns false with
// the state at a consistent level. The fields a restore takes from a saved or server-held
// record (step count, position) are the caller's.
bool restoreLevel(GameState& state, MazeWork& work, int32_t targetLevel, const ReplayProgress& progress,
                  const LevelTable& table = embeddedLevelTable());

// The maze of level max(level, 1) in the box 0 .. mazeEdgeForLevel(level) - 1 of a grid laid
// out like cellGrid (nothing outside the box is written), and in rngAfter the generator state
// once it is generated (the state before the next level), both as the game has them; for the
// server and tools, which hold no GameState. Generation as in restoreLevel. Returns false only
// when progress cancelled it (grid and rngAfter are then of no use).
bool levelMaze(int32_t level, int32_t* cellGrid, MazeRng& rngAfter, MazeWork& work,
               const ReplayProgress& progress = nullptr, const LevelTable& table = embeddedLevelTable());

// Cell index of a coordinate: rounded half away from zero. NaN, infinities and values far
// outside any maze give a cell far outside the grid instead of undefined behaviour.
int32_t cellOf(float v);
// Whole part of the distance from the goal to the centre of the position's cell (what the
// ranking shows); INT32_MAX for positions no integer can hold.
int32_t distanceToGoal(const float goal[3], const float position[3]);

// A cell of the grid by its indices.
struct MazeCell {
    int32_t x, y, z;
    bool operator==(const MazeCell&) const = default;
};

// The shortest way through the open cells (anything but -1) of the box 0 .. edge - 1 of a
// grid laid out like cellGrid, from the start cell (edge - 2 on each axis) to the goal cell
// (1, 1, 1), both included, each cell a face neighbour of the one before; empty when the two
// are not joined. Its length in cells left, what stepCount counts on the way, is one less
// than its size. Allocates: for the server, tools and tests, never the frame.
std::vector<MazeCell> shortestPath(const int32_t* cellGrid, int32_t edge);
// The same length alone: cells left from the start cell to the goal cell, -1 when not joined.
int32_t shortestPathLength(const int32_t* cellGrid, int32_t edge);

}  // namespace orlith
