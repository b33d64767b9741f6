// The server's calls into the game's core.
#include "bridge/core_bridge.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "ranking/ranking.h"

namespace orlith::server {

static_assert(kStateValueLength == orlith::kStateValueLength);

std::u16string toUtf16(std::string_view text) { return utf8ToUtf16(text); }
std::string toUtf8(std::u16string_view text) { return utf16ToUtf8(text); }
uint32_t checksumOf(std::u16string_view text) { return computeChecksum(text); }
int compareNicknames(const char16_t* a, const char16_t* b) { return compareNames(a, b); }

int32_t goalDistance(const float position[3]) {
    // Every level's goal room is cell (1,1,1).
    static constexpr float kGoal[3] = {1.0f, 1.0f, 1.0f};
    return distanceToGoal(kGoal, position);
}

int32_t cellsToGoalAtLeast(const float position[3], int32_t level) {
    // Clamped to the maze's box: a player is never outside it, so this stays a lower bound.
    const int32_t edge = mazeEdgeForLevel(level);
    int32_t cells = 0;
    for (int k = 0; k < 3; ++k) cells += std::abs(std::clamp(cellOf(position[k]), 0, edge - 1) - 1);
    return cells;
}

int32_t levelPathAtLeast(int32_t level) { return 3 * (mazeEdgeForLevel(level) - 3); }

struct LevelMaker::Impl {
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::vector<int32_t> grid = std::vector<int32_t>(kGridCells);
};

LevelMaker::LevelMaker() : impl_(std::make_unique<Impl>()) {}
LevelMaker::~LevelMaker() = default;

int32_t LevelMaker::tableLevels() { return embeddedLevelTable().levels; }

GeneratorState LevelMaker::tableEntry(int32_t level) {
    MazeRng r = levelStartAtOrBelow(level).rng;
    return {{r.x, r.y, r.z, r.w}};
}

int32_t LevelMaker::make(int32_t level, const GeneratorState& before, GeneratorState& after) {
    MazeRng r{before.words[0], before.words[1], before.words[2], before.words[3]};
    const int32_t edge = mazeEdgeForLevel(level);
    generateMaze(impl_->grid.data(), edge, edge, edge, r, *impl_->work);
    after = {{r.x, r.y, r.z, r.w}};
    return shortestPathLength(impl_->grid.data(), edge);
}

}  // namespace orlith::server
