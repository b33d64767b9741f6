// The levels' shortest paths, computed in the background and kept in the database.
#include "rules/levels.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

namespace orlith::server {

LevelPaths::LevelPaths(Storage& storage) : storage_(storage), thread_([this] { run(); }) {}

LevelPaths::~LevelPaths() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool LevelPaths::load(std::string& error) {
    std::vector<StoredLevel> rows;
    if (!storage_.loadLevels(rows, error)) return false;
    const int32_t table = std::max(1, LevelMaker::tableLevels());  // without a table, level 1 from the seed
    int32_t disagree = 0;
    std::lock_guard lock(mutex_);
    for (const StoredLevel& row : rows) {
        GeneratorState before{{row.before[0], row.before[1], row.before[2], row.before[3]}};
        if (row.level < 1 || (row.level <= table && !(before == LevelMaker::tableEntry(row.level)))) {
            ++disagree;
            continue;
        }
        paths_[row.level] = row.path;
        if (row.level > table) before_[row.level] = before;
    }
    if (disagree) std::fprintf(stderr, "orlith-server: %d stored levels disagree with the level table; computed again\n", disagree);
    return true;
}

int32_t LevelPaths::path(int32_t level) {
    if (level < 1) return -1;
    std::lock_guard lock(mutex_);
    if (auto it = paths_.find(level); it != paths_.end()) return it->second;
    if (wanted_.insert(level).second) changed_.notify_all();
    return -1;
}

int32_t LevelPaths::waitFor(int32_t level) {
    if (int32_t known = path(level); known >= 0 || level < 1) return known;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return paths_.count(level) || stopping_; });
    return paths_.count(level) ? paths_[level] : -1;
}

void LevelPaths::run() {
    std::unique_ptr<LevelMaker> maker;  // its 12 MB only once a level is asked for
    const int32_t table = std::max(1, LevelMaker::tableLevels());  // without a table, level 1 from the seed
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || !wanted_.empty(); });
        if (stopping_) return;
        const int32_t level = *wanted_.begin();
        // From the table's entry, or past the table from the highest state known below the
        // level, generating every level between in order.
        int64_t at = std::min(level, table);
        GeneratorState state = LevelMaker::tableEntry(static_cast<int32_t>(at));
        if (auto known = before_.upper_bound(level); level > table && known != before_.begin()) {
            --known;
            at = known->first;
            state = known->second;
        }
        while (at <= level && !paths_.count(level) && !stopping_) {
            lock.unlock();
            if (!maker) maker = std::make_unique<LevelMaker>();
            // A few levels at a time, each taken in at once: a long way past the table is
            // stored as it goes and stops with the server.
            std::vector<StoredLevel> made;
            std::vector<GeneratorState> after;
            for (; at <= level && made.size() < 16; ++at) {
                StoredLevel row{static_cast<int32_t>(at), {state.words[0], state.words[1], state.words[2], state.words[3]}, 0};
                after.emplace_back();
                row.path = maker->make(row.level, state, after.back());
                state = after.back();
                made.push_back(row);
            }
            // Not stored (a database fault): computed again at the next start, nothing is lost.
            std::string error;
            if (!storage_.storeLevels(made, error)) std::fprintf(stderr, "orlith-server: levels not stored: %s\n", error.c_str());
            lock.lock();
            for (size_t i = 0; i < made.size(); ++i) {
                paths_[made[i].level] = made[i].path;
                if (made[i].level >= table && made[i].level < INT32_MAX) before_[made[i].level + 1] = after[i];
            }
            changed_.notify_all();
        }
        wanted_.erase(level);
    }
}

}  // namespace orlith::server
