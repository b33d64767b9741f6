// Maze: the level-to-size rule, level set-up and the deterministic generator.
// Owns: mazeRng and the generator work storage inside GameState. Reads: level.
// Writes: sizeX/Y/Z, cellGrid, goalPos and the start pose. Called by start-up, the goal
// test and the restore of a saved or server-held state, always for levels 1, 2, ... in order.
#pragma once

#include <cstdint>
#include <functional>

#include "game/game_state.h"

namespace orlith {

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

// Fills the current box of cellGrid with a perfect maze, drawing from state.mazeRng.
void generateMaze(GameState& state);

// Sizes the maze for state.level, generates it and sets the start pose and the goal.
void newLevel(GameState& state);

// Called before each replayed level with (levels done, levels to do); false cancels.
using ReplayProgress = std::function<bool(int64_t done, int64_t total)>;

// Raises level from its current value to targetLevel one newLevel at a time, as the save-file
// and server restores require. Returns false when progress cancelled it (the state is then
// a consistent, lower level).
bool replayLevels(GameState& state, int32_t targetLevel, const ReplayProgress& progress);

}  // namespace orlith
