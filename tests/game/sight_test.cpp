// Sight marking: staircase sweeps from the player's cell.
#include <gtest/gtest.h>

#include "game/game.h"
#include "maze/maze.h"

using namespace orlith;

namespace {

std::unique_ptr<GameState> solidBox(int n, std::initializer_list<std::array<int, 3>> open) {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = n;
    for (int x = 0; x < n; ++x)
        for (int y = 0; y < n; ++y)
            for (int z = 0; z < n; ++z) s->cellGrid[cellIndex(x, y, z)] = -1;
    for (auto c : open) s->cellGrid[cellIndex(c[0], c[1], c[2])] = 0;
    return s;
}

bool seen(const GameState& s, int x, int y, int z) { return s.seenGrid[cellIndex(x, y, z)] == kSeen; }

int countSeen(const GameState& s) {
    int n = 0;
    for (int x = 0; x < s.sizeX; ++x)
        for (int y = 0; y < s.sizeY; ++y)
            for (int z = 0; z < s.sizeZ; ++z) n += seen(s, x, y, z);
    return n;
}

}  // namespace

TEST(Sight, AStraightCorridorShowsItsCellsItsSideWallsAndTheWallAtItsEnd) {
    auto s = solidBox(9, {{4, 4, 2}, {4, 4, 3}, {4, 4, 4}, {4, 4, 5}});
    s->playerPos[0] = 4;
    s->playerPos[1] = 4;
    s->playerPos[2] = 2;
    markSight(*s);
    for (int z = 2; z <= 6; ++z) EXPECT_TRUE(seen(*s, 4, 4, z)) << z;  // up to and including the wall at z 6
    EXPECT_FALSE(seen(*s, 4, 4, 7));
    EXPECT_TRUE(seen(*s, 4, 4, 1));                                 // the wall behind
    for (int z = 2; z <= 5; ++z) {
        EXPECT_TRUE(seen(*s, 5, 4, z) && seen(*s, 3, 4, z) && seen(*s, 4, 5, z) && seen(*s, 4, 3, z)) << z;
    }
    EXPECT_FALSE(seen(*s, 5, 5, 3));  // two steps off the corridor through solid cells
}

TEST(Sight, APathThatTurnsBackIsNotSeen) {
    // +x, then +z, then -x: the cell (4,4,6) is only reachable by turning back on x.
    auto s = solidBox(9, {{4, 4, 4}, {5, 4, 4}, {5, 4, 5}, {5, 4, 6}, {4, 4, 6}, {3, 4, 6}});
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 4;
    markSight(*s);
    EXPECT_TRUE(seen(*s, 5, 4, 6));
    EXPECT_TRUE(seen(*s, 4, 4, 5));   // the solid cell straight ahead
    EXPECT_FALSE(seen(*s, 4, 4, 6));  // open, but only behind a turn back
    EXPECT_FALSE(seen(*s, 3, 4, 6));
}

TEST(Sight, OuterLayerOrOutsideSeesEverything) {
    for (std::array<float, 3> p : {std::array<float, 3>{0, 3, 3}, {3, 6, 3}, {3, 3, -4}, {3, 3, 20}}) {
        auto s = solidBox(7, {{3, 3, 3}});
        s->playerPos[0] = p[0];
        s->playerPos[1] = p[1];
        s->playerPos[2] = p[2];
        markSight(*s);
        EXPECT_EQ(countSeen(*s), 7 * 7 * 7) << p[0] << "," << p[1] << "," << p[2];
    }
}

TEST(Sight, TheCellsFramingTheExitAreAlwaysSeen) {
    auto s = solidBox(9, {{6, 6, 6}});
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 6;
    markSight(*s);
    EXPECT_EQ(countSeen(*s), 1 + 6 + 4);  // own cell, six walls, four exit-frame cells
    for (std::array<int, 3> c : {std::array<int, 3>{0, 1, 0}, {1, 0, 0}, {1, 2, 0}, {2, 1, 0}}) EXPECT_TRUE(seen(*s, c[0], c[1], c[2]));
    EXPECT_FALSE(seen(*s, 1, 1, 0));
}

TEST(Sight, EachOpenCellOfARealMazeIsSeenOnlyThroughOpenCells) {
    auto s = makeGameState();
    s->level = 10;
    newLevel(*s, *makeMazeWork());
    markSight(*s);
    // Every seen open cell other than the origin has a seen open neighbour one step back
    // towards the player on some axis.
    int ox = s->sizeX - 2;
    for (int x = 1; x < s->sizeX - 1; ++x)
        for (int y = 1; y < s->sizeY - 1; ++y)
            for (int z = 1; z < s->sizeZ - 1; ++z) {
                if (!seen(*s, x, y, z) || s->cellGrid[cellIndex(x, y, z)] == -1) continue;
                if (x == ox && y == ox && z == ox) continue;
                bool linked = false;
                if (x != ox) linked |= seen(*s, x + (x < ox ? 1 : -1), y, z) && s->cellGrid[cellIndex(x + (x < ox ? 1 : -1), y, z)] != -1;
                if (y != ox) linked |= seen(*s, x, y + (y < ox ? 1 : -1), z) && s->cellGrid[cellIndex(x, y + (y < ox ? 1 : -1), z)] != -1;
                if (z != ox) linked |= seen(*s, x, y, z + (z < ox ? 1 : -1)) && s->cellGrid[cellIndex(x, y, z + (z < ox ? 1 : -1))] != -1;
                EXPECT_TRUE(linked) << x << "," << y << "," << z;
            }
    EXPECT_TRUE(seen(*s, ox, ox, ox));
}
