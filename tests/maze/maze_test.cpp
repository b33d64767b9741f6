// Maze generator: golden values, the spanning-tree shape, and the properties of the start
// pose, the replay and the shortest way.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <tuple>
#include <string>
#include <vector>

#include "maze/maze.h"
#include "support/fixtures.h"

using namespace orlith;
using orlith::test::levelState;
using orlith::test::sharedWork;

namespace {

std::vector<std::array<int, 3>> openWallSlots(const GameState& s) {
    std::vector<std::array<int, 3>> open;
    for (int x = 0; x < s.sizeX; ++x)
        for (int y = 0; y < s.sizeY; ++y)
            for (int z = 0; z < s.sizeZ; ++z) {
                int even = (x % 2 == 0) + (y % 2 == 0) + (z % 2 == 0);
                if (even == 1 && s.cellGrid[cellIndex(x, y, z)] != -1) open.push_back({x, y, z});
            }
    return open;
}

// Pass counts of the latest generation.
std::vector<std::pair<int, int>> passLog() {
    std::vector<std::pair<int, int>> log;
    for (int p = 0; p < sharedWork().passCount; ++p) log.emplace_back(sharedWork().passLog[p].wallCount, sharedWork().passLog[p].mergeCount);
    return log;
}

}  // namespace

TEST(MazeRandom, FirstNumbersFromThePublishedSeedAndTheEdgePerLevel) {
    MazeRng rng;
    for (uint32_t want : {3701687786u, 458299110u, 2500872618u, 3633119408u}) EXPECT_EQ(nextRandom(rng), want);
    struct Case { int32_t level, edge; };
    for (Case c : {Case{1, 5}, Case{2, 7}, Case{49, 101}, Case{50, 103}, Case{51, 103}, Case{INT32_MAX, 103}})
        EXPECT_EQ(mazeEdgeForLevel(c.level), c.edge) << "level " << c.level;
}

TEST(MazeGeneration, GoldenPassesOfLevelsOneTwoAndSize103) {
    auto s = levelState(1);
    EXPECT_EQ(passLog(), (std::vector<std::pair<int, int>>{{12, 3}, {9, 2}, {7, 1}, {3, 1}}));
    EXPECT_EQ(openWallSlots(*s), (std::vector<std::array<int, 3>>{{1, 2, 1}, {1, 2, 3}, {2, 1, 1}, {2, 1, 3}, {2, 3, 1}, {3, 2, 3}, {3, 3, 2}}));
    EXPECT_EQ(s->mazeRng.w, 1773342156u);
    s->level = 2;  // level 2 continues the stream
    newLevel(*s, sharedWork());
    EXPECT_EQ(passLog(), (std::vector<std::pair<int, int>>{{54, 13}, {41, 6}, {31, 4}, {23, 2}, {13, 1}}));
    auto open2 = openWallSlots(*s);
    EXPECT_EQ(open2.size(), 26u);
    for (std::array<int, 3> slot : {std::array{1, 1, 2}, {1, 1, 4}, {1, 2, 1}, {5, 5, 2}})
        EXPECT_NE(std::find(open2.begin(), open2.end(), slot), open2.end()) << slot[0] << slot[1] << slot[2];
    EXPECT_NE(openWallSlots(*levelState(2)), openWallSlots(*s));  // level 2 straight from the seed is another maze

    s = makeGameState();
    for (int edge : {3, 103}) {
        s->sizeX = s->sizeY = s->sizeZ = edge;
        generateMaze(s->cellGrid, edge, edge, edge, s->mazeRng, sharedWork());
    }
    const auto log = passLog();
    EXPECT_EQ(std::tuple(log.size(), log.front(), log.back().second), std::tuple(180u, std::pair(390150, 60855), 1));
    EXPECT_EQ(openWallSlots(*s).size(), 132651u - 1u);  // a spanning tree of the 51^3 rooms
    EXPECT_EQ(std::count_if(s->cellGrid, s->cellGrid + kGridCells, [](int32_t c) { return c != 0 && c != -1; }), 0);
}

TEST(NewLevel, SetsTheStartPoseAndGoalAndClearsTheTrail) {
    auto s = levelState(1);
    s->yaw = 12, s->pitch = 40, s->flySpeed = 300, s->fieldOfView = 10, s->movementMode = 2, s->stepCount = 77;
    s->cellGrid[cellIndex(3, 3, 3)] = 2;
    s->level = 50;
    newLevel(*s, sharedWork());
    EXPECT_EQ(std::count(s->cellGrid, s->cellGrid + kGridCells, 2), 0);
    EXPECT_EQ(std::tuple(s->sizeX, s->playerPos[0], s->playerPos[1], s->playerPos[2], s->goalPos[0], s->goalPos[2]),
              std::tuple(103, 101.0f, 101.0f, 101.0f, 1.0f, 1.0f));
    EXPECT_EQ(std::tuple(s->yaw, s->pitch, s->flySpeed, s->fieldOfView), std::tuple(180.0f, 0.0f, 0, 45.0f));
    EXPECT_EQ(std::tuple(s->flyForward.z, s->flyRight.x, s->flyUp.y), std::tuple(-1.0f, -1.0f, 1.0f));
    EXPECT_EQ(std::tuple(s->movementMode, s->stepCount), std::tuple(2, 77));  // settings carry over
}

TEST(ReplayLevels, ReportsProgressAndCanBeCancelled) {
    auto s = levelState(1);
    std::vector<int64_t> seen;
    EXPECT_TRUE(replayLevels(*s, sharedWork(), 6, [&](int64_t d, int64_t total) {
        EXPECT_EQ(total, 5);
        seen.push_back(d);
        return true;
    }));
    EXPECT_EQ(std::pair(s->level, seen), std::pair(6, std::vector<int64_t>{0, 1, 2, 3, 4, 5}));

    auto c = levelState(1);
    int calls = 0;
    EXPECT_FALSE(replayLevels(*c, sharedWork(), 2000000000, [&](int64_t, int64_t) { return ++calls <= 3; }));
    EXPECT_EQ(std::tuple(c->level, c->sizeX), std::tuple(4, mazeEdgeForLevel(4)));
    for (int32_t target : {1, 0, INT32_MIN}) {  // a saved level of 1 or below replays nothing
        auto z = levelState(1);
        EXPECT_TRUE(replayLevels(*z, sharedWork(), target, nullptr) && z->level == 1) << target;
    }
}

TEST(ShortestPath, RunsFromTheStartCellToTheGoalThroughOpenFaceNeighbours) {
    auto check = [](const GameState& g, int32_t edge, const std::string& what) {
        std::vector<MazeCell> path = shortestPath(g.cellGrid, edge);
        EXPECT_EQ(shortestPathLength(g.cellGrid, edge), static_cast<int32_t>(path.size()) - 1) << what;
        if (path.empty()) return -1;
        EXPECT_EQ(std::pair(path.front(), path.back()), std::pair(MazeCell{edge - 2, edge - 2, edge - 2}, MazeCell{1, 1, 1})) << what;
        for (size_t i = 1; i < path.size(); ++i) {
            const MazeCell &a = path[i - 1], &b = path[i];
            EXPECT_EQ(std::abs(a.x - b.x) + std::abs(a.y - b.y) + std::abs(a.z - b.z), 1) << what << " " << i;
            EXPECT_NE(g.cellGrid[cellIndex(b.x, b.y, b.z)], -1) << what << " " << i;
        }
        return static_cast<int>(path.size()) - 1;
    };
    auto level1 = levelState(1);
    auto open9 = makeGameState();  // edge 9, every cell inside the shell open: nothing to go round
    for (int x = 1; x < 8; ++x)
        for (int y = 1; y < 8; ++y)
            for (int z = 1; z < 8; ++z) open9->cellGrid[cellIndex(x, y, z)] = 2;  // a trail mark is open too
    auto sealed = levelState(1);
    sealed->cellGrid[cellIndex(1, 2, 1)] = -1;  // the goal room's only door
    EXPECT_EQ(check(*open9, 9, "an open box"), 18);
    EXPECT_EQ(check(*sealed, 5, "a goal cut off"), -1);
    EXPECT_EQ(check(*level1, 5, "level 1"), 6);
    // Level 1 has one way: round through (3,3,1) and (1,3,1).
    std::vector<MazeCell> expected = {{3, 3, 3}, {3, 3, 2}, {3, 3, 1}, {2, 3, 1}, {1, 3, 1}, {1, 2, 1}, {1, 1, 1}};
    EXPECT_EQ(shortestPath(level1->cellGrid, 5), expected);
    for (int level = 2; level <= 8; ++level) {
        level1->level = level;
        newLevel(*level1, sharedWork());
        EXPECT_GE(check(*level1, level1->sizeX, "level " + std::to_string(level)), 3 * (level1->sizeX - 3));
    }
}
