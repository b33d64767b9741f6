// Maze: the level-to-size rule, level set-up and the deterministic generator.
// Owns: the generator's work storage (MazeWork, one per owner, reused by every level).
// Reads: level, mazeRng. Writes: sizeX/Y/Z, cellGrid, goalPos, the start pose and mazeRng.
// Called by start-up, the goal test and the restore of a saved or server-held state, always
// for levels 1, 2, ... in order; and by the server and tools, which need a level's maze.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

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

}  // namespace orlith
