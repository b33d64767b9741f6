// The busiest view of a level for the renderer's timings: standing at one end of a vertical
// shaft (looking up from its bottom or down from its top) where the most walls are in sight.
#pragma once

#include "game/game.h"
#include "maze/maze.h"

namespace orlith::bench {

struct BusyView {
    int cell[3] = {0, 0, 0};
    float pitch = 0;      // +90 looks up the shaft, -90 down
    int seenWalls = 0;    // solid cells in sight from there
    int shaftLength = 0;  // open cells in a row along the view
};

// Searches every open cell with at least minShaft open cells straight above or below it.
inline BusyView findBusyView(GameState& s, int minShaft = 4) {
    BusyView best;
    for (int x = 1; x < s.sizeX - 1; ++x) {
        for (int y = 1; y < s.sizeY - 1; ++y) {
            for (int z = 1; z < s.sizeZ - 1; ++z) {
                if (s.cellGrid[cellIndex(x, y, z)] == -1) continue;
                for (int dir : {1, -1}) {
                    int run = 0;
                    while (inMaze(s, x, y + dir * (run + 1), z) != 0 &&
                           s.cellGrid[cellIndex(x, y + dir * (run + 1), z)] != -1) {
                        ++run;
                    }
                    if (run < minShaft) continue;
                    s.playerPos[0] = static_cast<float>(x);
                    s.playerPos[1] = static_cast<float>(y);
                    s.playerPos[2] = static_cast<float>(z);
                    markSight(s);
                    int walls = 0;
                    for (int a = 0; a < s.sizeX; ++a) {
                        for (int b = 0; b < s.sizeY; ++b) {
                            for (int c = 0; c < s.sizeZ; ++c) {
                                int i = cellIndex(a, b, c);
                                walls += s.seenGrid[i] != 0 && s.cellGrid[i] == -1 ? 1 : 0;
                            }
                        }
                    }
                    if (walls > best.seenWalls) best = {{x, y, z}, dir > 0 ? 90.0f : -90.0f, walls, run};
                }
            }
        }
    }
    return best;
}

// Puts the player into the view: position, Walk mode, pitch along the shaft; camera and sight
// ready as after a frame's update.
inline void enterView(GameState& s, const BusyView& v) {
    for (int i = 0; i < 3; ++i) s.playerPos[i] = static_cast<float>(v.cell[i]);
    s.movementMode = 0;
    s.pitch = v.pitch;
    buildCamera(s);
    markSight(s);
}

}  // namespace orlith::bench
