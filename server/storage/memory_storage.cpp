// Choosing the storage by the --db value, and the in-memory storage of tests.
#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "budgets/budgets.h"
#include "storage/storage.h"

namespace orlith::server {

namespace {

class MemoryStorage final : public Storage {
public:
    explicit MemoryStorage(std::function<int64_t()> sharedClock) : sharedClock_(std::move(sharedClock)) {}

    bool forEachPlayer(const std::function<bool(const StoredPlayer&)>& take, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const auto& [name, row] : rows_) {
            if (!take(row)) return false;
        }
        return true;
    }
    bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing, std::string&) override {
        std::lock_guard lock(mutex_);
        StoredPlayer row = player;
        row.updatedMs = wallMs();
        auto [it, added] = rows_.emplace(player.name, row);
        inserted = added;
        if (!added) existing = it->second;
        return true;
    }
    // The same conditions as the databases' statements, on the same hex texts.
    bool commitRise(const RiseWrite& rise, bool& applied, StoredPlayer& current, std::string& error) override {
        std::lock_guard lock(mutex_);
        auto it = rows_.find(rise.name);
        if (it == rows_.end()) {
            error = "no row for the player";
            return false;
        }
        StoredPlayer& row = it->second;
        const auto& m = row.marks;
        int64_t steps = static_cast<int32_t>(std::stoul(rise.state.substr(24, 8), nullptr, 16));
        const bool oneUp = std::stoul(row.state.substr(16, 8), nullptr, 16) + 1 == std::stoul(rise.state.substr(16, 8), nullptr, 16);
        const bool walked = !m || (int64_t{m->sinceSteps} + m->need <= steps &&
                                   static_cast<double>(m->sinceMs) + m->need * rise.msPerCell <= static_cast<double>(rise.nowMs));
        applied = oneUp && walked;
        if (applied) {
            row.state = rise.state;
            row.marks = rise.marks;
            row.updatedMs = wallMs();
        } else {
            current = row;
        }
        return true;
    }
    bool writeStates(const std::vector<StateWrite>& batch, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const StateWrite& w : batch) {
            auto it = rows_.find(w.name);
            if (it == rows_.end() || it->second.state.compare(16, 8, w.state, 16, 8) != 0 ||
                it->second.state.compare(24, 8, w.state, 24, 8) > 0) {
                continue;
            }
            it->second.state = w.state;
            it->second.updatedMs = wallMs();
        }
        return true;
    }
    bool changedSince(int64_t sinceMs, std::vector<StoredPlayer>& out, int64_t& nowMs, std::string&) override {
        std::lock_guard lock(mutex_);
        nowMs = wallMs();
        for (const auto& [name, row] : rows_) {
            if (sharedClock_ && row.updatedMs > sinceMs) out.push_back(row);
        }
        return true;
    }
    bool forgetPlayers(const std::vector<std::string>& names, int64_t cutoffMs, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const std::string& name : names) {
            auto it = rows_.find(name);
            if (it != rows_.end() && it->second.updatedMs < cutoffMs && it->second.state.compare(16, 8, "00000001") == 0) {
                rows_.erase(it);
            }
        }
        return true;
    }
    bool loadLevels(std::vector<StoredLevel>& out, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const auto& [level, row] : levels_) out.push_back(row);
        return true;
    }
    bool storeLevels(const std::vector<StoredLevel>& levels, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const StoredLevel& l : levels) levels_[l.level] = l;
        return true;
    }
    bool probe(bool& gone, std::string&) override {
        gone = false;
        return true;
    }
    bool sharedByInstances() const override { return sharedClock_ != nullptr; }
    bool spendShared(const std::vector<SharedBudget>& budgets, int64_t nowMs, bool spend, bool& open,
                     std::string&) override {
        std::lock_guard lock(mutex_);
        open = std::all_of(budgets.begin(), budgets.end(),
                           [&](const SharedBudget& b) { return budgetOpen(budgets_[b.key], nowMs, b.burst, b.periodMs); });
        for (const SharedBudget& b : budgets) {
            if (open && spend) budgets_[b.key] = std::max(budgets_[b.key], nowMs) + b.periodMs;
        }
        return true;
    }

private:
    int64_t wallMs() const {
        if (sharedClock_) return sharedClock_();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch()).count();
    }
    std::function<int64_t()> sharedClock_;
    std::mutex mutex_;
    std::map<std::string, StoredPlayer> rows_;
    std::map<int32_t, StoredLevel> levels_;
    std::map<std::string, int64_t> budgets_;
};

}  // namespace

std::unique_ptr<Storage> makeMemoryStorage(std::function<int64_t()> sharedClock) {
    return std::make_unique<MemoryStorage>(std::move(sharedClock));
}

std::unique_ptr<Storage> openStorage(const std::string& location, std::string& error) {
    if (location.starts_with("postgresql://") || location.starts_with("postgres://")) {
        return openPostgresStorage(location, error);
    }
    if (location.empty()) {
        error = "empty --db";
        return nullptr;
    }
    return openSqliteStorage(location, error);
}

}  // namespace orlith::server
