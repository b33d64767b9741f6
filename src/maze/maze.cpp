// Level set-up and the maze generator: Kruskal-style set merging in passes over a fixed
// random sequence. Every detail that decides which walls open is part of the save-file and
// ranking contract, so the order of scans, swaps and merges below must not change.
#include "maze/maze.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace orlith {

int32_t mazeEdgeForLevel(int32_t level) {
    int64_t edge = 2 * static_cast<int64_t>(level) + 3;
    return static_cast<int32_t>(std::min<int64_t>(edge, gridDim));
}

namespace {

constexpr int kAxisStride[3] = {kStrideX, kStrideY, 1};

// The rooms of a box: room (2i+1, 2j+1, 2k+1) for i < mX, j < mY, k < mZ is number
// (i * mY + j) * mZ + k + 1, which is also its set number at the start. A candidate wall is
// packed as (number of the room at x-2, y-2 or z-2) << 2 | axis; the room on the other side is
// that number plus delta[axis]. The passes touch only the set table, never the 4 MB grid,
// until a wall opens.
struct RoomLattice {
    int mX, mY, mZ;
    int32_t delta[3];
};

// A candidate as the passes keep it: its packed wall and the two rooms' sets as last seen.
inline uint64_t candidate(int32_t packed, uint32_t a, uint32_t b) {
    return static_cast<uint64_t>(packed) | (static_cast<uint64_t>(a) << 20) | (static_cast<uint64_t>(b) << 40);
}
inline int32_t setA(uint64_t e) { return static_cast<int32_t>((e >> 20) & 0xFFFFF); }
inline int32_t setB(uint64_t e) { return static_cast<int32_t>(e >> 40); }

// Every cell solid except the rooms (all coordinates odd, inside the shell), numbered in scan
// order from 1. Returns the number of rooms.
int32_t fillRooms(int32_t* cell, int32_t sX, int32_t sY, int32_t sZ) {
    int32_t rooms = 0;
    for (int x = 0; x < sX; ++x) {
        for (int y = 0; y < sY; ++y) {
            int32_t* row = cell + cellIndex(x, y, 0);
            bool rowHasRooms = (x & 1) && (y & 1) && x != sX - 1 && y != sY - 1;
            for (int z = 0; z < sZ; ++z) row[z] = rowHasRooms && (z & 1) && z != sZ - 1 ? ++rooms : -1;
        }
    }
    return rooms;
}

// The first pass's candidates in scan order: each room's slots towards x-2, y-2, z-2. A pass's
// candidates are always a subsequence of the previous pass's (sets only merge, walls only
// open), so every later pass only filters this list. An opened slot joins two rooms of one set
// for good, so "different sets" alone also tells that it is still closed. Returns their count.
int32_t listFirstCandidates(const RoomLattice& l, uint64_t* scan) {
    int32_t count = 0;
    for (int i = 0; i < l.mX; ++i) {
        for (int j = 0; j < l.mY; ++j) {
            for (int k = 0; k < l.mZ; ++k) {
                int32_t n = (i * l.mY + j) * l.mZ + k + 1;
                for (int axis = 0; axis < 3; ++axis) {
                    if ((axis == 0 ? i : axis == 1 ? j : k) == 0) continue;
                    int32_t low = n - l.delta[axis];
                    scan[count++] = candidate((low << 2) | axis, static_cast<uint32_t>(low), static_cast<uint32_t>(n));
                }
            }
        }
    }
    return count;
}

// Once few sets are left, renumbers them densely in their order (which keeps every
// larger/smaller decision) so the tables the passes look up shrink into the cache: renameTo
// then maps each old number straight to the new number of its set. Returns the table's new size
// (the old one when nothing was renumbered).
int32_t renumberSets(int32_t* renameTo, int32_t tableSize, int32_t liveSets) {
    if (liveSets * 4 >= tableSize || tableSize <= 1024) return tableSize;
    int32_t newSize = 0;
    for (int32_t i = 0; i < tableSize; ++i) {
        int32_t to = renameTo[i];
        renameTo[i] = to == i ? newSize++ : renameTo[to];  // to < i: already renumbered
    }
    return newSize;
}

// Keeps the walls between rooms of different sets, in scan order, bringing each entry's sets up
// to date with one lookup each: a set merges at most once a pass, into a set that survives it.
// Without branches: which entries survive is close to random in the early passes.
int32_t collectCandidates(uint64_t* scan, int32_t scanCount, const int32_t* renameTo) {
    int32_t count = 0;
    for (int32_t c = 0; c < scanCount; ++c) {
        uint64_t e = scan[c];
        auto a = static_cast<uint32_t>(renameTo[setA(e)]);
        auto b = static_cast<uint32_t>(renameTo[setB(e)]);
        scan[count] = candidate(static_cast<int32_t>(e & 0xFFFFF), a, b);
        count += a != b ? 1 : 0;
    }
    return count;
}

// 2 * count swaps, index = floor(r * count / 2^32).
void shuffleCandidates(uint64_t* list, int32_t count, MazeRng& mazeRng) {
    MazeRng rng = mazeRng;  // a local copy stays in registers
    for (int32_t s = 0; s < 2 * count; ++s) {
        uint32_t r1 = nextRandom(rng);
        uint32_t r2 = nextRandom(rng);
        auto i = static_cast<int32_t>((static_cast<uint64_t>(r1) * static_cast<uint32_t>(count)) >> 32);
        auto j = static_cast<int32_t>((static_cast<uint64_t>(r2) * static_cast<uint32_t>(count)) >> 32);
        std::swap(list[i], list[j]);
    }
    mazeRng = rng;
}

// Chooses the pass's merges in list order: each set takes part in at most one. Their positions
// in the list go to mergeSlot; returns how many.
int32_t chooseMerges(MazeWork& work, int32_t count, int32_t tableSize, bool expectMany) {
    std::memset(work.mergeMark, 0, static_cast<size_t>(tableSize));
    const uint64_t* list = work.wallList;
    uint8_t* marks = work.mergeMark;
    int32_t merges = 0;
    if (expectMany) {
        // Branch-free while merges are frequent: acceptance is then close to random.
        for (int32_t c = 0; c < count; ++c) {
            int32_t hi = std::max(setA(list[c]), setB(list[c])), lo = std::min(setA(list[c]), setB(list[c]));
            bool accept = (marks[lo] | marks[hi]) == 0;
            uint8_t mark = accept ? 0x31 : 0;
            marks[hi] |= mark;
            marks[lo] |= mark;
            work.mergeSlot[merges] = c;
            merges += accept ? 1 : 0;
        }
    } else {
        // Later passes accept a few candidates among many: a predictable branch, no stores.
        for (int32_t c = 0; c < count; ++c) {
            int32_t a = setA(list[c]), b = setB(list[c]);
            if ((marks[a] | marks[b]) != 0) continue;
            marks[a] = marks[b] = 0x31;
            work.mergeSlot[merges++] = c;
        }
    }
    return merges;
}

// Records the merges (the larger set number joins the smaller, so set 1 survives) and opens
// their slots: the cell beside the lower room towards the other.
void openMergedWalls(int32_t* cell, const MazeWork& work, int32_t merges, const RoomLattice& l, int32_t* renameTo) {
    for (int32_t m = 0; m < merges; ++m) {
        uint64_t e = work.wallList[work.mergeSlot[m]];
        renameTo[std::max(setA(e), setB(e))] = std::min(setA(e), setB(e));
        auto packed = static_cast<int32_t>(e & 0xFFFFF);
        int32_t r = (packed >> 2) - 1;
        int k = r % l.mZ, j = (r / l.mZ) % l.mY, i = r / (l.mZ * l.mY);
        cell[cellIndex(2 * i + 1, 2 * j + 1, 2 * k + 1) + kAxisStride[packed & 3]] = 0;
    }
}

// Every room now belongs to set 1 and becomes plain open space.
void openRooms(int32_t* cell, const RoomLattice& l) {
    for (int i = 0; i < l.mX; ++i)
        for (int j = 0; j < l.mY; ++j)
            for (int k = 0; k < l.mZ; ++k) cell[cellIndex(2 * i + 1, 2 * j + 1, 2 * k + 1)] = 0;
}

}  // namespace

std::unique_ptr<MazeWork> makeMazeWork() { return std::make_unique<MazeWork>(); }

void generateMaze(int32_t* cell, int32_t sX, int32_t sY, int32_t sZ, MazeRng& mazeRng, MazeWork& work) {
    const int32_t rooms = fillRooms(cell, sX, sY, sZ);
    work.mergeCount = 0;
    work.passCount = 0;
    for (int32_t n = 0; n <= rooms; ++n) work.renameTo[n] = n;
    const int mX = std::max(0, (sX - 1) / 2), mY = std::max(0, (sY - 1) / 2), mZ = std::max(0, (sZ - 1) / 2);
    const RoomLattice lattice{mX, mY, mZ, {mY * mZ, mZ, 1}};
    int32_t scanCount = listFirstCandidates(lattice, work.scanList);

    int32_t tableSize = rooms + 1;  // set numbers in use, 0 unused
    int32_t liveSets = rooms;
    bool expectManyMerges = true;  // chooses the merge loop from the last pass's acceptance
    for (;;) {
        const int32_t newSize = renumberSets(work.renameTo, tableSize, liveSets);
        const int32_t count = collectCandidates(work.scanList, scanCount, work.renameTo);
        if (newSize != tableSize) {
            tableSize = newSize;
            for (int32_t r = 0; r < tableSize; ++r) work.renameTo[r] = r;
        }
        scanCount = work.wallCount = count;
        if (count == 0) break;
        std::memcpy(work.wallList, work.scanList, sizeof(uint64_t) * static_cast<size_t>(count));
        shuffleCandidates(work.wallList, count, mazeRng);
        const int32_t merges = chooseMerges(work, count, tableSize, expectManyMerges);
        expectManyMerges = merges * 16 > count;
        openMergedWalls(cell, work, merges, lattice, work.renameTo);
        work.mergeCount = merges;
        liveSets -= merges;
        if (work.passCount < kMaxPassLog) work.passLog[work.passCount] = {count, merges};
        ++work.passCount;
    }
    openRooms(cell, lattice);
}

void newLevel(GameState& state, MazeWork& work) {
    int32_t edge = mazeEdgeForLevel(state.level);
    state.sizeX = state.sizeY = state.sizeZ = edge;
    generateMaze(state.cellGrid, edge, edge, edge, state.mazeRng, work);
    state.goalPos[0] = state.goalPos[1] = state.goalPos[2] = 1.0f;
    state.yaw = 180.0f;
    state.pitch = 0.0f;
    state.fieldOfView = 45.0f;
    state.flySpeed = 0;
    float start = static_cast<float>(edge - 2);
    state.playerPos[0] = state.playerPos[1] = state.playerPos[2] = start;
    state.flyRight = {-1, 0, 0, 0};
    state.flyUp = {0, 1, 0, 0};
    state.flyForward = {0, 0, -1, 0};
}

bool replayLevels(GameState& state, MazeWork& work, int32_t targetLevel, const ReplayProgress& progress) {
    int64_t total = std::max<int64_t>(0, static_cast<int64_t>(targetLevel) - 1);
    int64_t done = 0;
    for (int32_t counter = 1; counter < targetLevel; ++counter, ++done) {
        if (progress && !progress(done, total)) return false;
        state.level += 1;
        newLevel(state, work);
    }
    if (progress) progress(done, total);
    return true;
}

}  // namespace orlith
