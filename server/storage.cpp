// Choosing the storage by the --db value, and the in-memory storage of tests.
#include <chrono>
#include <map>
#include <mutex>

#include "storage.h"

namespace orlith::server {

namespace {

class MemoryStorage final : public Storage {
public:
    bool loadAll(std::vector<StoredPlayer>& out, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const auto& [name, row] : rows_) out.push_back(row);
        return true;
    }
    bool registerPlayer(const StoredPlayer& player, bool& inserted, StoredPlayer& existing, std::string&) override {
        std::lock_guard lock(mutex_);
        auto [it, added] = rows_.emplace(player.name, player);
        inserted = added;
        if (!added) existing = it->second;
        return true;
    }
    bool writeStates(const std::vector<StateWrite>& batch, std::string&) override {
        std::lock_guard lock(mutex_);
        for (const StateWrite& w : batch) {
            if (auto it = rows_.find(w.name); it != rows_.end()) it->second.state = w.state;
        }
        return true;
    }
    bool changedSince(int64_t, std::vector<StoredPlayer>&, int64_t& nowMs, std::string&) override {
        nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch()).count();
        return true;
    }
    bool sharedByInstances() const override { return false; }

private:
    std::mutex mutex_;
    std::map<std::string, StoredPlayer> rows_;
};

}  // namespace

std::unique_ptr<Storage> makeMemoryStorage() { return std::make_unique<MemoryStorage>(); }

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
