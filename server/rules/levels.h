// Ranking server, the levels players reach: the generator's state before each and the length
// of its shortest path from the start cell to the goal cell in cells left (what stepCount
// counts). Each level is computed once, on a thread of its own (never an event loop: a large
// level takes a few hundred milliseconds and 12 MB of work storage), and kept in the
// database. The level table gives the state before any of its levels; past its end the
// generator runs in the game's order from the last state known.
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

#include "bridge/core_bridge.h"
#include "storage/storage.h"

namespace orlith::server {

class LevelPaths {
public:
    explicit LevelPaths(Storage& storage);
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

private:
    void run();

    Storage& storage_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<int32_t, int32_t> paths_;
    std::map<int32_t, GeneratorState> before_;  // past the table: the state before each level known
    std::set<int32_t> wanted_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orlith::server
