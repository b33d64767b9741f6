// Ranking server, the levels players reach: the generator's state before each and the length
// of its shortest path from the start cell to the goal cell in cells left (what stepCount
// counts). Each level is computed once, on a thread of its own (never an event loop: a large
// level takes a few hundred milliseconds and 12 MB of work storage), and kept in the
// database. The level table gives the state before any of its levels; past its end the
// generator runs in the game's order from the last state known.
// For the reachability of a claimed position, the same thread also keeps the distance of each
// cell from a level's start cell, for the levels players are on: a cache with a byte limit
// that drops the least recently asked level (the largest level's field is 2.2 MB).
// Owns: that thread. Reads/writes: Storage (the levels). Called by: the ranking store, from
// any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bridge/core_bridge.h"
#include "storage/storage.h"

namespace orlith::server {

class LevelPaths {
public:
    // fieldBytes: the most the cached distance fields may hold together.
    explicit LevelPaths(Storage& storage, size_t fieldBytes = 64u << 20);
    ~LevelPaths();
    LevelPaths(const LevelPaths&) = delete;
    LevelPaths& operator=(const LevelPaths&) = delete;

    // Takes in the stored levels. A stored level the table covers whose state differs from
    // the table's is computed again. False with a message when the database cannot be read.
    bool load(std::string& error);
    // The shortest path of a level in cells left, or -1 while it is not known; it is then
    // computed in the background. Never waits.
    int32_t path(int32_t level);
    // Waits until the level is known (tests and tools).
    int32_t waitFor(int32_t level);
    // Cells left, at the least, from the level's start cell to the cell of a position, along
    // the maze's open cells; -1 while the level's field is not at hand (it is then computed in
    // the background) or when the position is nowhere near an open cell. Never waits.
    int32_t cellsFromStart(int32_t level, const float position[3]);
    // Waits until cellsFromStart can answer for the level (tests and benchmarks).
    void waitForField(int32_t level);
    size_t fieldBytes();

private:
    struct Field {
        int32_t edge = 0;
        std::vector<uint16_t> cells;
        uint64_t used = 0;           // when last asked, in asks
    };
    void run();
    // Under the lock, unlocked meanwhile: makes the level's field from the state before it.
    void makeField(std::unique_lock<std::mutex>& lock, std::unique_ptr<LevelMaker>& maker, int32_t level);

    Storage& storage_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<int32_t, int32_t> paths_;
    std::map<int32_t, GeneratorState> before_;  // past the table: the state before each level known
    std::set<int32_t> wanted_;
    std::set<int32_t> wantedFields_;
    std::unordered_map<int32_t, Field> fields_;
    const size_t fieldLimit_;
    size_t fieldBytes_ = 0;
    uint64_t asks_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orlith::server
