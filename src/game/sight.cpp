// Sight marking: which cells are visible from the player's cell, by eight staircase sweeps.
#include <cstring>

#include "game/game.h"

namespace orlith {

namespace {

void fillSeen(GameState& s, int8_t value) {
    if (s.sizeX <= 0 || s.sizeY <= 0 || s.sizeZ <= 0) return;
    if (s.sizeY == gridDim && s.sizeZ == gridDim) {
        std::memset(s.seenGrid, value, static_cast<size_t>(s.sizeX) * kStrideX);
        return;
    }
    for (int x = 0; x < s.sizeX; ++x)
        for (int y = 0; y < s.sizeY; ++y) std::memset(s.seenGrid + cellIndex(x, y, 0), value, static_cast<size_t>(s.sizeZ));
}

}  // namespace

void sweepSight(GameState& s, int x, int y, int z, int dx, int dy, int dz) {
    while (inMaze(s, x, y, z)) {
        int idx = cellIndex(x, y, z);
        s.seenGrid[idx] = kSeen;
        if (s.cellGrid[idx] == -1) return;
        sweepSight(s, x + dx, y, z, dx, dy, dz);
        sweepSight(s, x, y + dy, z, dx, dy, dz);
        z += dz;
    }
}

void markSight(GameState& s) {
    int i = cellOf(s.playerPos[0]), j = cellOf(s.playerPos[1]), k = cellOf(s.playerPos[2]);
    if (i < 1 || j < 1 || k < 1 || i > s.sizeX - 2 || j > s.sizeY - 2 || k > s.sizeZ - 2) {
        fillSeen(s, kSeen);
        return;
    }
    fillSeen(s, 0);
    static constexpr int kOctants[8][3] = {{1, 1, 1},  {1, 1, -1},  {1, -1, 1},  {1, -1, -1},
                                          {-1, 1, 1}, {-1, 1, -1}, {-1, -1, 1}, {-1, -1, -1}};
    for (const auto& d : kOctants) sweepSight(s, i, j, k, d[0], d[1], d[2]);
    // The cells framing the exit opening beside the goal room are always in sight.
    static constexpr int kExitFrame[4][3] = {{0, 1, 0}, {1, 0, 0}, {1, 2, 0}, {2, 1, 0}};
    for (const auto& c : kExitFrame) {
        if (inMaze(s, c[0], c[1], c[2])) s.seenGrid[cellIndex(c[0], c[1], c[2])] = kSeen;
    }
}

}  // namespace orlith
