// Maze generator: golden values, a literal slow generator to compare against, and the
// structural properties every level must have.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <queue>
#include <string>
#include <vector>

#include "maze/maze.h"

using namespace orlith;

namespace {

MazeWork& work() {
    static std::unique_ptr<MazeWork> w = makeMazeWork();
    return *w;
}

void generate(GameState& s) { generateMaze(s.cellGrid, s.sizeX, s.sizeY, s.sizeZ, s.mazeRng, work()); }

// The generator exactly as first described: three coordinate lists, relabelling each room by
// scanning the previous pass's merge pairs, every pass a full rescan of the rooms. Slow, but
// its output is the contract the fast generator must reproduce bit for bit.
struct ReferenceMaze {
    int s = 0;
    std::vector<int32_t> cell;
    MazeRng rng;
    std::vector<std::pair<int, int>> passes;  // (candidates, merges)

    int32_t& at(int x, int y, int z) { return cell[(static_cast<size_t>(x) * s + y) * s + z]; }

    void generate(int size) {
        s = size;
        cell.assign(static_cast<size_t>(s) * s * s, 0);
        passes.clear();
        int32_t counter = 0;
        for (int x = 0; x < s; ++x)
            for (int y = 0; y < s; ++y)
                for (int z = 0; z < s; ++z) {
                    bool solid = x == 0 || y == 0 || z == 0 || x == s - 1 || y == s - 1 || z == s - 1 ||
                                 x % 2 == 0 || y % 2 == 0 || z % 2 == 0;
                    at(x, y, z) = solid ? -1 : ++counter;
                }
        std::vector<int32_t> from, to;
        std::vector<int> lx, ly, lz;
        for (;;) {
            lx.clear();
            ly.clear();
            lz.clear();
            for (int x = 1; x < s - 1; x += 2)
                for (int y = 1; y < s - 1; y += 2)
                    for (int z = 1; z < s - 1; z += 2) {
                        int32_t v = at(x, y, z);
                        for (size_t i = 0; i < from.size(); ++i)
                            if (v == from[i]) v = to[i];
                        at(x, y, z) = v;
                        if (x > 1 && at(x - 1, y, z) == -1 && at(x - 2, y, z) != v) lx.push_back(x - 1), ly.push_back(y), lz.push_back(z);
                        if (y > 1 && at(x, y - 1, z) == -1 && at(x, y - 2, z) != v) lx.push_back(x), ly.push_back(y - 1), lz.push_back(z);
                        if (z > 1 && at(x, y, z - 1) == -1 && at(x, y, z - 2) != v) lx.push_back(x), ly.push_back(y), lz.push_back(z - 1);
                    }
            auto n = static_cast<uint32_t>(lx.size());
            if (n == 0) break;
            for (uint32_t k = 0; k < 2 * n; ++k) {
                uint32_t r1 = nextRandom(rng), r2 = nextRandom(rng);
                auto i = static_cast<size_t>(static_cast<double>(r1) * (1.0 / 4294967296.0) * n);
                auto j = static_cast<size_t>(static_cast<double>(r2) * (1.0 / 4294967296.0) * n);
                std::swap(lx[i], lx[j]);
                std::swap(ly[i], ly[j]);
                std::swap(lz[i], lz[j]);
            }
            std::vector<uint8_t> mark(static_cast<size_t>(counter) + 1, 0);
            from.clear();
            to.clear();
            for (size_t k = 0; k < n; ++k) {
                int wx = lx[k], wy = ly[k], wz = lz[k];
                int32_t a, b;
                if (at(wx - 1, wy, wz) != -1) a = at(wx - 1, wy, wz), b = at(wx + 1, wy, wz);
                else if (at(wx, wy - 1, wz) != -1) a = at(wx, wy - 1, wz), b = at(wx, wy + 1, wz);
                else a = at(wx, wy, wz - 1), b = at(wx, wy, wz + 1);
                int32_t hi = std::max(a, b), lo = std::min(a, b);
                if (mark[hi] == 0 && mark[lo] == 0) {
                    from.push_back(hi);
                    to.push_back(lo);
                    mark[hi] = mark[lo] = 0x31;
                    at(wx, wy, wz) = 0;
                }
            }
            passes.emplace_back(static_cast<int>(n), static_cast<int>(from.size()));
        }
        for (auto& c : cell)
            if (c == 1) c = 0;
    }
};

std::unique_ptr<GameState> freshLevel1() {
    auto state = makeGameState();
    state->level = 1;
    newLevel(*state, work());
    return state;
}

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
std::vector<std::pair<int, int>> passLog(const GameState&) {
    std::vector<std::pair<int, int>> log;
    for (int p = 0; p < work().passCount; ++p) log.emplace_back(work().passLog[p].wallCount, work().passLog[p].mergeCount);
    return log;
}

}  // namespace

TEST(MazeRandom, FirstFourNumbersFromThePublishedSeed) {
    MazeRng rng;
    EXPECT_EQ(nextRandom(rng), 3701687786u);
    EXPECT_EQ(nextRandom(rng), 458299110u);
    EXPECT_EQ(nextRandom(rng), 2500872618u);
    EXPECT_EQ(nextRandom(rng), 3633119408u);
}

TEST(MazeSize, EdgeFollowsTheLevelAndStopsAt103) {
    struct Case { int32_t level, edge; };
    for (Case c : {Case{1, 5}, Case{2, 7}, Case{3, 9}, Case{49, 101}, Case{50, 103}, Case{51, 103},
                   Case{1000000, 103}, Case{INT32_MAX, 103}}) {
        EXPECT_EQ(mazeEdgeForLevel(c.level), c.edge) << "level " << c.level;
    }
}

TEST(MazeGeneration, LevelOneOpensTheKnownWallsInFourPasses) {
    auto s = freshLevel1();
    EXPECT_EQ(s->sizeX, 5);
    EXPECT_EQ(passLog(*s), (std::vector<std::pair<int, int>>{{12, 3}, {9, 2}, {7, 1}, {3, 1}}));
    std::vector<std::array<int, 3>> expected = {{1, 2, 1}, {1, 2, 3}, {2, 1, 1}, {2, 1, 3}, {2, 3, 1}, {3, 2, 3}, {3, 3, 2}};
    EXPECT_EQ(openWallSlots(*s), expected);
    EXPECT_EQ(s->mazeRng.x, 2521042510u);
    EXPECT_EQ(s->mazeRng.y, 2574302570u);
    EXPECT_EQ(s->mazeRng.z, 2334414439u);
    EXPECT_EQ(s->mazeRng.w, 1773342156u);
}

TEST(MazeGeneration, LevelTwoContinuesTheRandomStream) {
    auto s = freshLevel1();
    s->level = 2;
    newLevel(*s, work());
    EXPECT_EQ(passLog(*s), (std::vector<std::pair<int, int>>{{54, 13}, {41, 6}, {31, 4}, {23, 2}, {13, 1}}));
    auto open = openWallSlots(*s);
    EXPECT_EQ(open.size(), 26u);
    for (std::array<int, 3> slot : {std::array<int, 3>{1, 1, 2}, {1, 1, 4}, {1, 2, 1}, {5, 5, 2}}) {
        EXPECT_NE(std::find(open.begin(), open.end(), slot), open.end()) << slot[0] << "," << slot[1] << "," << slot[2];
    }
    // Level 2 straight from the seed is another maze.
    auto direct = makeGameState();
    direct->level = 2;
    newLevel(*direct, work());
    EXPECT_NE(openWallSlots(*direct), open);
}

TEST(MazeGeneration, Size103FromTheSeedTakes180Passes) {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = 103;
    generate(*s);
    ASSERT_GE(work().passCount, 1);
    EXPECT_EQ(work().passLog[0].wallCount, 390150);
    EXPECT_EQ(work().passLog[0].mergeCount, 60855);
    EXPECT_EQ(work().passCount, 180);
    EXPECT_EQ(work().passLog[179].mergeCount, 1);
    EXPECT_EQ(openWallSlots(*s).size(), 132651u - 1u);
}

TEST(MazeGeneration, SizeThreeHasOneRoomAndDrawsNothing) {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = 3;
    generate(*s);
    EXPECT_EQ(work().passCount, 0);
    EXPECT_EQ(s->cellGrid[cellIndex(1, 1, 1)], 0);
    EXPECT_EQ(s->mazeRng.x, MazeRng{}.x);
    EXPECT_EQ(s->mazeRng.w, MazeRng{}.w);
}

TEST(MazeGeneration, MatchesTheLiteralGeneratorLevelAfterLevel) {
    auto s = freshLevel1();
    ReferenceMaze ref;
    for (int level = 1; level <= 14; ++level) {
        if (level > 1) {
            s->level = level;
            newLevel(*s, work());
        }
        ref.generate(2 * level + 3);
        ASSERT_EQ(passLog(*s), ref.passes) << "level " << level;
        int edge = s->sizeX;
        for (int x = 0; x < edge; ++x)
            for (int y = 0; y < edge; ++y)
                for (int z = 0; z < edge; ++z)
                    ASSERT_EQ(s->cellGrid[cellIndex(x, y, z)], ref.at(x, y, z)) << "level " << level << " cell " << x << "," << y << "," << z;
        ASSERT_EQ(s->mazeRng.w, ref.rng.w);
    }
}

TEST(MazeGeneration, EveryLevelIsATreeOverAllRooms) {
    auto s = freshLevel1();
    for (int level = 1; level <= 20; ++level) {
        if (level > 1) {
            s->level = level;
            newLevel(*s, work());
        }
        const int n = s->sizeX, m = (n - 1) / 2;
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y)
                for (int z = 0; z < n; ++z) {
                    int v = s->cellGrid[cellIndex(x, y, z)];
                    ASSERT_TRUE(v == 0 || v == -1);
                    int even = (x % 2 == 0) + (y % 2 == 0) + (z % 2 == 0);
                    bool shell = x == 0 || y == 0 || z == 0 || x == n - 1 || y == n - 1 || z == n - 1;
                    if (even >= 2 || shell) {
                        ASSERT_EQ(v, -1);
                    }
                    if (even == 0 && !shell) {
                        ASSERT_EQ(v, 0);
                    }
                }
        ASSERT_EQ(openWallSlots(*s).size(), static_cast<size_t>(m) * m * m - 1) << "level " << level;
        // Every open cell is reachable from the goal room: with m^3 - 1 open slots, a tree.
        std::vector<uint8_t> seen(kGridCells, 0);
        std::queue<int> q;
        q.push(cellIndex(1, 1, 1));
        seen[cellIndex(1, 1, 1)] = 1;
        size_t reached = 0;
        while (!q.empty()) {
            int c = q.front();
            q.pop();
            ++reached;
            for (int d : {1, -1, kStrideY, -kStrideY, kStrideX, -kStrideX}) {
                if (!seen[c + d] && s->cellGrid[c + d] == 0) {
                    seen[c + d] = 1;
                    q.push(c + d);
                }
            }
        }
        ASSERT_EQ(reached, static_cast<size_t>(m) * m * m * 2 - 1) << "level " << level;
    }
}

TEST(MazeGeneration, TwoRunsGiveIdenticalMazes) {
    auto a = freshLevel1();
    auto b = freshLevel1();
    replayLevels(*a, work(), 30, nullptr);
    replayLevels(*b, work(), 30, nullptr);
    EXPECT_EQ(a->level, 30);
    EXPECT_TRUE(std::equal(a->cellGrid, a->cellGrid + kGridCells, b->cellGrid));
}

TEST(NewLevel, SetsTheStartPoseAndGoal) {
    auto s = freshLevel1();
    s->yaw = 12;
    s->pitch = 40;
    s->flySpeed = 300;
    s->fieldOfView = 10;
    s->movementMode = 2;
    s->stepCount = 77;
    s->level = 50;
    newLevel(*s, work());
    EXPECT_EQ(s->sizeX, 103);
    EXPECT_EQ(s->playerPos[0], 101.0f);
    EXPECT_EQ(s->playerPos[2], 101.0f);
    EXPECT_EQ(s->goalPos[0], 1.0f);
    EXPECT_EQ(s->yaw, 180.0f);
    EXPECT_EQ(s->pitch, 0.0f);
    EXPECT_EQ(s->flySpeed, 0);
    EXPECT_EQ(s->fieldOfView, 45.0f);
    EXPECT_EQ(s->flyForward.z, -1.0f);
    EXPECT_EQ(s->flyRight.x, -1.0f);
    EXPECT_EQ(s->flyUp.y, 1.0f);
    EXPECT_EQ(s->movementMode, 2);  // settings carry over
    EXPECT_EQ(s->stepCount, 77);
}

TEST(NewLevel, ATrailMarkIsGoneAfterTheNextLevel) {
    auto s = freshLevel1();
    s->cellGrid[cellIndex(3, 3, 3)] = 2;
    s->level = 2;
    newLevel(*s, work());
    for (int i = 0; i < kGridCells; ++i) ASSERT_NE(s->cellGrid[i], 2);
}

TEST(ReplayLevels, ReportsProgressAndCanBeCancelled) {
    auto s = freshLevel1();
    std::vector<int64_t> seen;
    bool done = replayLevels(*s, work(), 6, [&](int64_t d, int64_t total) {
        EXPECT_EQ(total, 5);
        seen.push_back(d);
        return true;
    });
    EXPECT_TRUE(done);
    EXPECT_EQ(s->level, 6);
    EXPECT_EQ(seen, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));

    auto c = freshLevel1();
    int calls = 0;
    bool finished = replayLevels(*c, work(), 2000000000, [&](int64_t, int64_t) { return ++calls <= 3; });
    EXPECT_FALSE(finished);
    EXPECT_EQ(c->level, 4);
    EXPECT_EQ(c->sizeX, mazeEdgeForLevel(4));

    // A saved level of 1, 0 or below replays nothing.
    for (int32_t target : {1, 0, -5, INT32_MIN}) {
        auto z = freshLevel1();
        EXPECT_TRUE(replayLevels(*z, work(), target, nullptr));
        EXPECT_EQ(z->level, 1);
    }
}

TEST(ReplayLevels, AReplayedLevelIsTheMazeThePlayerSawWhilePlaying) {
    auto played = freshLevel1();
    for (int level = 2; level <= 7; ++level) {
        played->level = level;
        newLevel(*played, work());
    }
    auto restored = freshLevel1();
    replayLevels(*restored, work(), 7, nullptr);
    EXPECT_TRUE(std::equal(played->cellGrid, played->cellGrid + kGridCells, restored->cellGrid));
}

TEST(ShortestPath, RunsFromTheStartCellToTheGoalThroughOpenFaceNeighbours) {
    // A way is valid when it starts and ends right and each cell is an open face neighbour.
    auto check = [](const GameState& g, int32_t edge, const std::string& what) {
        std::vector<MazeCell> path = shortestPath(g.cellGrid, edge);
        EXPECT_EQ(shortestPathLength(g.cellGrid, edge), static_cast<int32_t>(path.size()) - 1) << what;
        if (path.empty()) return -1;
        EXPECT_EQ(path.front(), (MazeCell{edge - 2, edge - 2, edge - 2})) << what;
        EXPECT_EQ(path.back(), (MazeCell{1, 1, 1})) << what;
        for (size_t i = 1; i < path.size(); ++i) {
            const MazeCell &a = path[i - 1], &b = path[i];
            EXPECT_EQ(std::abs(a.x - b.x) + std::abs(a.y - b.y) + std::abs(a.z - b.z), 1) << what << " " << i;
            EXPECT_NE(g.cellGrid[cellIndex(b.x, b.y, b.z)], -1) << what << " " << i;
        }
        return static_cast<int>(path.size()) - 1;
    };
    auto level1 = freshLevel1();
    auto open9 = makeGameState();  // edge 9, every cell inside the shell open: nothing to go round
    for (int x = 1; x < 8; ++x)
        for (int y = 1; y < 8; ++y)
            for (int z = 1; z < 8; ++z) open9->cellGrid[cellIndex(x, y, z)] = 2;  // a trail mark is open too
    auto sealed = freshLevel1();
    sealed->cellGrid[cellIndex(1, 2, 1)] = -1;  // the goal room's only door
    EXPECT_EQ(check(*level1, 5, "level 1"), 6);
    EXPECT_EQ(check(*open9, 9, "an open box"), 18);
    EXPECT_EQ(check(*sealed, 5, "a goal cut off"), -1);
    // Level 1 has one way: round through (3,3,1) and (1,3,1).
    std::vector<MazeCell> expected = {{3, 3, 3}, {3, 3, 2}, {3, 3, 1}, {2, 3, 1}, {1, 3, 1}, {1, 2, 1}, {1, 1, 1}};
    EXPECT_EQ(shortestPath(level1->cellGrid, 5), expected);
    for (int level = 2; level <= 20; ++level) {
        level1->level = level;
        newLevel(*level1, work());
        EXPECT_GE(check(*level1, level1->sizeX, "level " + std::to_string(level)), 3 * (level1->sizeX - 3));
    }
}
