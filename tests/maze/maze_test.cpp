// Maze generator: golden values, the spanning-tree shape, and the properties of the start
// pose, the replay and the shortest way. Level table: its entries are the replay's generator
// states, damaged bytes give no table, and a restore through it leaves exactly the state the
// full replay leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <random>
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
            for (int z = 0; z < s.sizeZ; ++z)  // a wall slot: exactly one even coordinate
                if ((x % 2 == 0) + (y % 2 == 0) + (z % 2 == 0) == 1 && s.cellGrid[cellIndex(x, y, z)] != -1) open.push_back({x, y, z});
    return open;
}

// Pass counts of the latest generation.
std::vector<std::pair<int, int>> passLog() {
    std::vector<std::pair<int, int>> log;
    for (int p = 0; p < sharedWork().passCount; ++p) log.emplace_back(sharedWork().passLog[p].wallCount, sharedWork().passLog[p].mergeCount);
    return log;
}

auto words(const MazeRng& r) { return std::tuple(r.x, r.y, r.z, r.w); }
auto words(const Float4& v) { return std::tuple(v.x, v.y, v.z, v.w); }
MazeRng entry(int32_t level) { return levelStartAtOrBelow(level, embeddedLevelTable()).rng; }

// What a level leaves for the player and for the next level, the grid aside.
auto levelFields(const GameState& g) {
    return std::tuple(g.level, g.sizeX, g.sizeY, g.sizeZ, words(g.mazeRng), g.goalPos[0], g.goalPos[1], g.goalPos[2],
                      g.playerPos[0], g.playerPos[1], g.playerPos[2], g.yaw, g.pitch, g.fieldOfView, g.flySpeed,
                      words(g.flyRight), words(g.flyUp), words(g.flyForward));
}

}  // namespace

TEST(MazeGeneration, FirstNumbersFromTheSeedEdgePerLevelGoldenPassesOfLevelsOneTwoAndSize103AndTheStartPose) {
    MazeRng rng;
    for (uint32_t want : {3701687786u, 458299110u, 2500872618u, 3633119408u}) EXPECT_EQ(nextRandom(rng), want);
    struct Case { int32_t level, edge; };
    for (Case c : {Case{1, 5}, Case{2, 7}, Case{49, 101}, Case{50, 103}, Case{51, 103}, Case{INT32_MAX, 103}})
        EXPECT_EQ(mazeEdgeForLevel(c.level), c.edge) << "level " << c.level;
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
    // A new level sets the start pose and goal and clears the trail; the settings carry over.
    s->yaw = 12, s->pitch = 40, s->flySpeed = 300, s->fieldOfView = 10, s->movementMode = 2, s->stepCount = 77;
    s->cellGrid[cellIndex(3, 3, 3)] = 2;
    s->level = 50, s->sizeX = 0;  // the generation above left 103
    newLevel(*s, sharedWork());
    EXPECT_EQ(std::count(s->cellGrid, s->cellGrid + kGridCells, 2), 0);
    EXPECT_EQ(std::tuple(s->sizeX, s->playerPos[0], s->playerPos[1], s->playerPos[2], s->goalPos[0], s->goalPos[2]),
              std::tuple(103, 101.0f, 101.0f, 101.0f, 1.0f, 1.0f));
    EXPECT_EQ(std::tuple(s->yaw, s->pitch, s->flySpeed, s->fieldOfView), std::tuple(180.0f, 0.0f, 0, 45.0f));
    EXPECT_EQ(std::tuple(s->flyForward.z, s->flyRight.x, s->flyUp.y), std::tuple(-1.0f, -1.0f, 1.0f));
    EXPECT_EQ(std::tuple(s->movementMode, s->stepCount), std::tuple(2, 77));  // settings carry over
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
    EXPECT_EQ(check(*open9, 9, "an open box"), 18);
    EXPECT_EQ(check(*level1, 5, "level 1"), 6);
    // Level 1 has one way: round through (3,3,1) and (1,3,1).
    EXPECT_EQ(shortestPath(level1->cellGrid, 5),
              (std::vector<MazeCell>{{3, 3, 3}, {3, 3, 2}, {3, 3, 1}, {2, 3, 1}, {1, 3, 1}, {1, 2, 1}, {1, 1, 1}}));
    level1->cellGrid[cellIndex(1, 2, 1)] = -1;  // the goal room's only door
    EXPECT_EQ(check(*level1, 5, "a goal cut off"), -1);
    for (int level = 2; level <= 8; ++level) {
        level1->level = level;
        newLevel(*level1, sharedWork());
        EXPECT_GE(check(*level1, level1->sizeX, "level " + std::to_string(level)), 3 * (level1->sizeX - 3));
    }
}

// Golden values from the replay; the restore part compares every entry up to level 52.
TEST(LevelTable, ItsEntriesAreTheReplaysStatesBadBytesGiveNoTableAndARestoreLeavesTheFullReplaysState) {
    EXPECT_GE(embeddedLevelTable().levels, 10000);
    EXPECT_EQ(words(entry(1)), words(MazeRng{}));
    EXPECT_EQ(words(entry(3)), std::tuple(466852320u, 3613971415u, 2229067774u, 663200370u));
    EXPECT_EQ(words(entry(50)), std::tuple(2409646559u, 295929815u, 1857092651u, 3901187854u));
    // Generating level k from entry k gives entry k + 1: the last entry, and a few others that
    // change from run to run.
    const char* fixed = std::getenv("ORLITH_TABLE_SEED");
    const unsigned seed = fixed != nullptr ? static_cast<unsigned>(std::atoi(fixed)) : std::random_device{}();
    std::mt19937 pick(seed);
    std::uniform_int_distribution<int32_t> anyLevel(1, embeddedLevelTable().levels - 1);
    std::vector<int32_t> grid(kGridCells);
    for (int checked = 0; checked < 6; ++checked) {
        int32_t k = checked == 0 ? embeddedLevelTable().levels - 1 : anyLevel(pick), edge = mazeEdgeForLevel(k);
        MazeRng rng = entry(k);
        generateMaze(grid.data(), edge, edge, edge, rng, sharedWork());
        ASSERT_EQ(words(rng), words(entry(k + 1))) << "level " << k << ", ORLITH_TABLE_SEED=" << seed;
    }
    // Damaged or foreign bytes give no table.
    const std::vector<uint8_t> good = encodeLevelTable({MazeRng{}, entry(2), entry(3)});
    auto changed = [&](size_t at) { auto b = good; b[at] ^= 4; return b; };
    auto cut = [&](size_t size) { auto b = good; b.resize(size); return b; };  // shorter, or zeros added
    struct Case { const char* what; std::vector<uint8_t> bytes; int32_t levels; };
    for (const Case& c : {Case{"intact", good, 3}, Case{"a byte short", cut(good.size() - 1), 0},
                          Case{"an entry short", cut(good.size() - 16), 0}, Case{"an entry more", cut(good.size() + 16), 0},
                          Case{"header only", cut(16), 0}, Case{"empty", {}, 0}, Case{"magic", changed(0), 0},
                          Case{"format", changed(4), 0}, Case{"count", changed(8), 0}, Case{"checksum", changed(12), 0},
                          Case{"entry", changed(40), 0}, Case{"another seed", encodeLevelTable({entry(2)}), 0}})
        EXPECT_EQ(readLevelTable(c.bytes.data(), c.bytes.size()).levels, c.levels) << c.what;
    // A restore through the table, past its end or without one leaves the full replay's state.
    const std::vector<uint8_t> shortBytes = buildLevelTable(40, sharedWork(), nullptr);
    const LevelTable shortTable = readLevelTable(shortBytes.data(), shortBytes.size()), none;
    const LevelTable& full = embeddedLevelTable();
    struct Restore { const char* what; const LevelTable& table; int32_t from, target; };
    const Restore restores[] = {{"level 1", full, 1, 1},     {"below 1", full, 1, -3},  {"small", full, 1, 2},
                                {"small", full, 1, 9},       {"size 103", full, 1, 50}, {"size 103", full, 1, 52},
                                {"back down", full, 52, 12}, {"past the end", shortTable, 1, 52}, {"no table", none, 1, 12}};
    auto replayed = levelState(1);
    for (int32_t level = 1; level <= 52; ++level) {
        if (level > 1) {
            ASSERT_EQ(words(entry(level)), words(replayed->mazeRng)) << "table entry of level " << level;
            replayLevels(*replayed, sharedWork(), 2, nullptr);
        }
        const GameState& r = *replayed;
        for (const Restore& c : restores) {
            if (std::max(c.target, 1) != level) continue;
            SCOPED_TRACE(std::string(c.what) + ", level " + std::to_string(c.target));
            auto s = levelState(1);
            ASSERT_TRUE(restoreLevel(*s, sharedWork(), c.from, nullptr) && restoreLevel(*s, sharedWork(), c.target, nullptr, c.table));
            EXPECT_EQ(levelFields(*s), levelFields(r));
            EXPECT_TRUE(std::equal(r.cellGrid, r.cellGrid + kGridCells, s->cellGrid));
            // The server's way to the same level: the same box and the state after it.
            std::vector<int32_t> server(kGridCells, 0);
            MazeRng after;
            ASSERT_TRUE(levelMaze(c.target, server.data(), after, sharedWork(), nullptr, c.table));
            EXPECT_EQ(std::pair(std::equal(r.cellGrid, r.cellGrid + kGridCells, server.begin()), words(after)), std::pair(true, words(r.mazeRng)));
        }
    }
}

TEST(RestoreLevel, ItAndTheFullReplayReportEachGenerationAndStopAtAConsistentLevelWhenCancelled) {
    const std::vector<uint8_t> bytes = buildLevelTable(5, sharedWork(), nullptr);
    struct Case { int32_t target, allowedCalls, level; bool finished; std::vector<int64_t> done; };
    for (const Case& c : {Case{3, 99, 3, true, {0, 1}}, Case{8, 99, 8, true, {0, 1, 2, 3, 4}},
                          Case{8, 2, 6, false, {0, 1, 2}}, Case{8, 0, 1, false, {0}}}) {
        auto s = levelState(1);
        std::vector<int64_t> done;
        auto progress = [&](int64_t d, int64_t total) {
            EXPECT_EQ(total, c.target < 5 ? 1 : c.target - 4);
            done.push_back(d);
            return static_cast<int32_t>(done.size()) <= c.allowedCalls;
        };
        EXPECT_EQ(restoreLevel(*s, sharedWork(), c.target, progress, readLevelTable(bytes.data(), bytes.size())), c.finished);
        EXPECT_EQ(std::tuple(done, s->level, s->sizeX), std::tuple(c.done, c.level, mazeEdgeForLevel(c.level))) << c.target;
    }
    // The replay from level 1, which needs no table, reports and cancels the same way.
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
