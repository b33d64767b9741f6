// The server's calls into the game's core.
#include "bridge/core_bridge.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/crc32.h"
#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "ranking/ranking.h"
#include "state/state_value.h"

namespace orlith::server {

static_assert(kStateValueLength == orlith::kStateValueLength);

std::u16string toUtf16(std::string_view text) { return utf8ToUtf16(text); }
std::string toUtf8(std::u16string_view text) { return utf16ToUtf8(text); }
uint32_t checksumOf(std::u16string_view nickname, std::string_view state) {
    // The checksum runs over "sum" and the query's UTF-16LE bytes less '=', '&' and zeros, so the
    // ASCII state value counts as its own bytes: no wide copy of the query per request.
    static const uint32_t kHead = crcUpdate(0, "sumname=", 8);
    uint32_t c = crcOfText(kHead, nickname);
    c = crcUpdate(c, "&state=", 7);
    // Hex digits, none of them skipped: no look for one.
    c = ~crcRun(~c, reinterpret_cast<const uint8_t*>(state.data()), state.size());
    return c & 0x7FFFFFFFu;
}
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

std::string pinHashOf(std::u16string_view nickname, std::u16string_view pin) {
    char16_t hash[9];
    makePinHash(nickname, pin, hash);
    return std::string(hash, hash + 8);
}

int32_t cellOfCoordinate(float v) { return cellOf(v); }

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

int32_t LevelMaker::distancesFromStart(int32_t level, std::vector<uint16_t>& out) const {
    // Breadth first from the start cell (edge - 2 on each axis) over the level's box.
    const int32_t edge = mazeEdgeForLevel(level);
    const int32_t strides[3] = {edge * edge, edge, 1};
    out.assign(static_cast<size_t>(edge) * edge * edge, kNoCell);
    auto open = [&](int32_t i) { return impl_->grid[cellIndex(i / (edge * edge), i / edge % edge, i % edge)] != -1; };
    const int32_t start = ((edge - 2) * edge + edge - 2) * edge + edge - 2;
    if (!open(start)) return edge;
    std::vector<int32_t> queue{start};
    queue.reserve(out.size());
    out[static_cast<size_t>(start)] = 0;
    for (size_t head = 0; head < queue.size(); ++head) {
        const int32_t i = queue[head];
        const int32_t at[3] = {i / (edge * edge), i / edge % edge, i % edge};
        const uint16_t next = static_cast<uint16_t>(std::min<int>(out[static_cast<size_t>(i)] + 1, kFarCells));
        for (int axis = 0; axis < 3; ++axis) {
            for (int side = -1; side <= 1; side += 2) {
                if (at[axis] + side < 0 || at[axis] + side >= edge) continue;
                const int32_t j = i + side * strides[axis];
                if (out[static_cast<size_t>(j)] != kNoCell || !open(j)) continue;
                out[static_cast<size_t>(j)] = next;
                queue.push_back(j);
            }
        }
    }
    return edge;
}

}  // namespace orlith::server
