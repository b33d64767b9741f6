// The levels' shortest paths, computed in the background and kept in the database.
#include "rules/levels.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

namespace orlith::server {

LevelPaths::LevelPaths(Storage& storage, size_t fieldBytes)
    : storage_(storage), fieldLimit_(fieldBytes), thread_([this] { run(); }) {}

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

int32_t LevelPaths::cellsFromStart(int32_t level, const float position[3]) {
    if (level < 1 || fieldLimit_ == 0) return -1;
    std::lock_guard lock(mutex_);
    auto it = fields_.find(level);
    if (it == fields_.end()) {
        if (wantedFields_.insert(level).second) changed_.notify_all();
        return -1;
    }
    Field& f = it->second;
    f.used = ++asks_;
    const int32_t c[3] = {cellOfCoordinate(position[0]), cellOfCoordinate(position[1]), cellOfCoordinate(position[2])};
    auto at = [&](int32_t x, int32_t y, int32_t z) -> int32_t {
        if (x < 0 || y < 0 || z < 0 || x >= f.edge || y >= f.edge || z >= f.edge) return LevelMaker::kNoCell;
        return f.cells[static_cast<size_t>((x * f.edge + y) * f.edge + z)];
    };
    int32_t d = at(c[0], c[1], c[2]);
    if (d != LevelMaker::kNoCell) return d;
    // Not an open cell (a position rounded into a wall, or outside the box): it is reached
    // from an open neighbour at the least.
    int32_t best = LevelMaker::kNoCell;
    for (int axis = 0; axis < 3; ++axis) {
        for (int side = -1; side <= 1; side += 2) {
            int32_t n[3] = {c[0], c[1], c[2]};
            n[axis] += side;
            best = std::min(best, at(n[0], n[1], n[2]));
        }
    }
    return best == LevelMaker::kNoCell ? -1 : best + 1;
}

void LevelPaths::waitForField(int32_t level) {
    std::unique_lock lock(mutex_);
    while (!fields_.count(level) && !stopping_ && level >= 1) {
        if (wantedFields_.insert(level).second) changed_.notify_all();
        changed_.wait(lock);
    }
}

size_t LevelPaths::fieldBytes() {
    std::lock_guard lock(mutex_);
    return fieldBytes_;
}

void LevelPaths::makeField(std::unique_lock<std::mutex>& lock, std::unique_ptr<LevelMaker>& maker, int32_t level) {
    const int32_t table = std::max(1, LevelMaker::tableLevels());
    GeneratorState before;
    if (level <= table) {
        before = LevelMaker::tableEntry(level);
    } else if (auto known = before_.find(level); known != before_.end()) {
        before = known->second;
    } else {
        // The state before it comes with the path of the level below; asked for again then.
        if (wanted_.insert(level - 1).second) changed_.notify_all();
        return;
    }
    lock.unlock();
    if (!maker) maker = std::make_unique<LevelMaker>();
    GeneratorState after;
    maker->make(level, before, after);
    Field made;
    made.edge = maker->distancesFromStart(level, made.cells);
    lock.lock();
    made.used = ++asks_;
    fieldBytes_ += made.cells.size() * sizeof(uint16_t);
    fields_[level] = std::move(made);
    // Over the limit: the least recently asked go first, never the one just made.
    while (fieldBytes_ > fieldLimit_ && fields_.size() > 1) {
        auto oldest = std::min_element(fields_.begin(), fields_.end(),
                                       [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        fieldBytes_ -= oldest->second.cells.size() * sizeof(uint16_t);
        fields_.erase(oldest);
    }
    changed_.notify_all();
}

void LevelPaths::run() {
    std::unique_ptr<LevelMaker> maker;  // its 12 MB only once a level is asked for
    const int32_t table = std::max(1, LevelMaker::tableLevels());  // without a table, level 1 from the seed
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || !wanted_.empty() || !wantedFields_.empty(); });
        if (stopping_) return;
        if (!wantedFields_.empty()) {  // players stand on these levels now
            const int32_t level = *wantedFields_.begin();
            wantedFields_.erase(wantedFields_.begin());
            makeField(lock, maker, level);
            continue;
        }
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
