// The level table: reading and writing its bytes, and restores that start from its entries
// instead of replaying every level from the first.
#include <algorithm>
#include <cstring>

#include "base/crc32.h"
#include "maze/maze.h"

namespace orlith {

namespace {

constexpr uint8_t kMagic[4] = {'O', 'L', 'V', 'T'};

// The common CRC-32, so the file can be checked with everyday tools.
uint32_t crc32(const uint8_t* bytes, size_t count) {
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) reg = (reg >> 8) ^ kCrcTable.entries[(reg ^ bytes[i]) & 0xFF];
    return ~reg;
}

uint32_t readLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void appendLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

MazeRng entryOf(const LevelTable& table, int32_t level) {
    const uint8_t* p = table.entries + static_cast<size_t>(level - 1) * kLevelTableEntryBytes;
    return {readLe32(p), readLe32(p + 4), readLe32(p + 8), readLe32(p + 12)};
}

bool sameRng(const MazeRng& a, const MazeRng& b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }

// Generates levels start.level .. target in order through generate(level, first), with the
// progress and cancelling of replayLevels.
template <typename Generate>
bool generateLevels(const LevelStart& start, int32_t target, const ReplayProgress& progress, Generate generate) {
    const int64_t total = static_cast<int64_t>(target) - start.level + 1;
    for (int64_t done = 0; done < total; ++done) {
        if (progress && !progress(done, total)) return false;
        generate(static_cast<int32_t>(start.level + done), done == 0);
    }
    if (progress) progress(total, total);
    return true;
}

}  // namespace

LevelTable readLevelTable(const uint8_t* bytes, size_t size) {
    if (bytes == nullptr || size < kLevelTableHeaderBytes + kLevelTableEntryBytes) return {};
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || readLe32(bytes + 4) != kLevelTableFormat) return {};
    const uint32_t levels = readLe32(bytes + 8);
    const size_t entryBytes = size - kLevelTableHeaderBytes;
    if (levels > INT32_MAX || entryBytes % kLevelTableEntryBytes != 0 || entryBytes / kLevelTableEntryBytes != levels)
        return {};
    const uint8_t* entries = bytes + kLevelTableHeaderBytes;
    if (crc32(entries, entryBytes) != readLe32(bytes + 12)) return {};
    LevelTable table{entries, static_cast<int32_t>(levels)};
    // A table made with another seed would pass the checksum and still be wrong.
    if (!sameRng(entryOf(table, 1), MazeRng{})) return {};
    return table;
}

const LevelTable& embeddedLevelTable() {
    static const LevelTable table = [] {
        std::span<const uint8_t> bytes = embeddedLevelTableBytes();
        return readLevelTable(bytes.data(), bytes.size());
    }();
    return table;
}

std::vector<uint8_t> encodeLevelTable(const std::vector<MazeRng>& before) {
    std::vector<uint8_t> entries;
    entries.reserve(before.size() * kLevelTableEntryBytes);
    for (const MazeRng& r : before) {
        for (uint32_t word : {r.x, r.y, r.z, r.w}) appendLe32(entries, word);
    }
    std::vector<uint8_t> out(std::begin(kMagic), std::end(kMagic));
    appendLe32(out, kLevelTableFormat);
    appendLe32(out, static_cast<uint32_t>(before.size()));
    appendLe32(out, crc32(entries.data(), entries.size()));
    out.insert(out.end(), entries.begin(), entries.end());
    return out;
}

std::vector<uint8_t> buildLevelTable(int32_t levels, MazeWork& work, const ReplayProgress& progress) {
    std::vector<MazeRng> before;
    std::vector<int32_t> grid(kGridCells);
    MazeRng rng;
    const int64_t total = std::max(levels - 1, 0);
    for (int32_t level = 1; level <= levels; ++level) {
        before.push_back(rng);
        if (level == levels) break;
        if (progress && !progress(level - 1, total)) return {};
        int32_t edge = mazeEdgeForLevel(level);
        generateMaze(grid.data(), edge, edge, edge, rng, work);
    }
    if (progress) progress(total, total);
    return encodeLevelTable(before);
}

LevelStart levelStartAtOrBelow(int32_t level, const LevelTable& table) {
    if (table.levels < 1 || level <= 1) return {1, MazeRng{}};
    int32_t at = std::min(level, table.levels);
    return {at, entryOf(table, at)};
}

bool restoreLevel(GameState& state, MazeWork& work, int32_t targetLevel, const ReplayProgress& progress,
                  const LevelTable& table) {
    const int32_t target = std::max(targetLevel, 1);
    const LevelStart start = levelStartAtOrBelow(target, table);
    return generateLevels(start, target, progress, [&](int32_t level, bool first) {
        if (first) {
            // A fresh game has never written outside the boxes up to this one.
            if (state.sizeX > mazeEdgeForLevel(start.level)) std::fill(state.cellGrid, state.cellGrid + kGridCells, 0);
            state.mazeRng = start.rng;
        }
        state.level = level;
        newLevel(state, work);
    });
}

bool levelMaze(int32_t level, int32_t* cellGrid, MazeRng& rngAfter, MazeWork& work, const ReplayProgress& progress,
               const LevelTable& table) {
    const int32_t target = std::max(level, 1);
    const LevelStart start = levelStartAtOrBelow(target, table);
    rngAfter = start.rng;
    return generateLevels(start, target, progress, [&](int32_t at, bool) {
        int32_t edge = mazeEdgeForLevel(at);
        generateMaze(cellGrid, edge, edge, edge, rngAfter, work);
    });
}

}  // namespace orlith
