// Sight marking: staircase sweeps from the player's cell.
#include <gtest/gtest.h>

#include "game/game.h"
#include "support/fixtures.h"

using namespace orlith;

namespace {

using orlith::test::solidBox;

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
    test::place(*s, 4, 4, 2);
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
        test::place(*s, p[0], p[1], p[2]);
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
