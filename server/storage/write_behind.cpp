// The players between memory and the database: loading, batched writes, other instances'
// changes, forgetting, and the database's health.
#include "storage/write_behind.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "players/names.h"

namespace orlith::server {

void setMarks(Player& p, const std::optional<LevelMarks>& m) {
    if (!m) return;
    p.sinceWallMs = m->sinceMs;
    p.sinceSteps = m->sinceSteps;
    p.need = m->need;
}

WriteBehind::WriteBehind(Storage& storage, Players& players, int64_t liveMs, int64_t foreignQuietMs)
    : storage_(storage), players_(players), liveMs_(liveMs), foreignQuietMs_(foreignQuietMs) {}

bool WriteBehind::load(std::string& error) {
    std::vector<Player*> loaded;
    {
        std::lock_guard lock(players_.mutex);
        std::u16string name;
        std::string bad;
        bool read = storage_.forEachPlayer(
            [&](const StoredPlayer& row) {
                // A row that this server could not have written means the database is not ours
                // or is damaged; refuse to start rather than serve a partial ranking.
                if (!strictUtf8ToUtf16(row.name, name) || checkNickname(name) != nullptr ||
                    row.state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(row.state) ||
                    row.pinHash.size() != 8 || row.state.compare(8, 8, row.pinHash) != 0) {
                    bad = row.name.substr(0, 64);
                    return false;
                }
                if (!players_.find(name)) {
                    loaded.push_back(players_.add(name, row.state, INT64_MIN / 2, row.updatedMs, 0, false, true));
                    setMarks(*loaded.back(), row.marks);
                }
                return true;
            },
            error);
        if (!bad.empty() || !read) {
            if (!bad.empty()) error = "database holds an invalid player row (nickname \"" + bad + "\")";
            return false;
        }
        players_.order(loaded);
    }
    players_.indexLater(std::move(loaded));
    return true;
}

bool WriteBehind::flush(std::string& error) {
    {
        std::lock_guard lock(faultMutex_);
        if (faultLasting_) {
            // Whatever were written now would go to a file nobody opens again.
            error = fault_;
            return false;
        }
    }
    std::vector<StateWrite> batch;
    {
        std::lock_guard lock(players_.mutex);
        batch.reserve(players_.pending.size());
        for (Player* p : players_.pending) {
            std::string state;
            appendHex(state, p->state, kStateBytes);
            batch.push_back({toUtf8(nameOf(*p)), std::move(state)});
            p->dirty = false;
        }
        players_.pending.clear();
    }
    if (storage_.writeStates(batch, error)) {
        if (!batch.empty()) flushFailing_ = false;
        return true;
    }
    flushFailing_ = true;
    writeFailed(error);
    // Pending again: the next flush retries them (a newer state, if any, is already there).
    std::lock_guard lock(players_.mutex);
    for (const StateWrite& w : batch) {
        if (Player* p = players_.find(toUtf16(w.name))) players_.markPending(*p);
    }
    return false;
}

bool WriteBehind::pull(int64_t nowMs, std::string& error) {
    if (!storage_.sharedByInstances()) return true;
    std::vector<StoredPlayer> rows;
    int64_t dbNow = 0;
    // Overlap the previous pull: a batch committed late may carry an earlier clock value.
    int64_t since = pulledUpToMs_ == 0 ? 0 : pulledUpToMs_ - 5000;
    if (!storage_.changedSince(since, rows, dbNow, error)) return false;
    std::lock_guard lock(players_.mutex);
    pulledUpToMs_ = dbNow;
    for (const StoredPlayer& row : rows) {
        std::u16string name;
        if (!strictUtf8ToUtf16(row.name, name) || checkNickname(name) != nullptr ||
            row.state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(row.state)) {
            continue;
        }
        int64_t seen = nowMs - std::max<int64_t>(0, dbNow - row.updatedMs);
        Player* p = players_.find(name);
        if (!p) {
            Player* added = players_.add(name, row.state, seen, row.updatedMs, lookAlikeKey(name), seen + liveMs_ > nowMs);
            setMarks(*added, row.marks);
            continue;
        }
        // The instance that serves a player right now holds its newest state; a row from
        // elsewhere wins only after this instance has not heard from the player for a while.
        if (nowMs - p->lastLocalMs < foreignQuietMs_) continue;
        uint8_t bytes[kStateBytes];
        toBytes(row.state, bytes);
        if (std::memcmp(p->state, bytes, kStateBytes) == 0) continue;
        if (std::memcmp(p->state + 4, bytes + 4, 4) != 0) continue;
        players_.update(*p, row.state, seen, row.updatedMs, nowMs);
        setMarks(*p, row.marks);
    }
    return true;
}

size_t WriteBehind::forgetQuiet(int64_t cutoffWallMs, size_t scan, std::string& error) {
    if (!players_.indexed()) return 0;  // the indexer holds pointers to the loaded players
    std::vector<std::string> names;
    for (size_t done = 0; done < scan;) {
        std::lock_guard lock(players_.mutex);
        if (players_.slots == 0) break;
        // A slice at a time under the lock, so requests never wait long behind it.
        for (size_t k = 0; k < 4096 && done < scan; ++k, ++done) {
            if (forgetCursor_ >= players_.slots) forgetCursor_ = 0;
            Player& p = *players_.slot(forgetCursor_++);
            if (p.used && p.level == 1 && !p.live && !p.dirty && int64_t{p.seenWallSec} * 1000 < cutoffWallMs) {
                names.push_back(toUtf8(nameOf(p)));
                players_.remove(p);
            }
        }
    }
    if (names.empty()) return 0;
    // Rows written since the cutoff (by another instance) stay; a failure leaves the rows,
    // and they come back at the next start.
    if (!storage_.forgetPlayers(names, cutoffWallMs, error)) return 0;
    return names.size();
}

size_t WriteBehind::playerCount() {
    std::lock_guard lock(players_.mutex);
    return players_.count;
}

size_t WriteBehind::pendingWrites() {
    std::lock_guard lock(players_.mutex);
    return players_.pending.size();
}

std::vector<std::string> WriteBehind::pendingNames(size_t limit) {
    std::lock_guard lock(players_.mutex);
    std::vector<std::string> names;
    for (size_t i = 0; i < players_.pending.size() && i < limit; ++i) names.push_back(toUtf8(nameOf(*players_.pending[i])));
    return names;
}

void WriteBehind::noteFault(const std::string& reason, bool lasting) {
    std::lock_guard lock(faultMutex_);
    if (faultLasting_) return;
    // Once a fault: a failing disk fails every write and probe in its own words, and the
    // first reason is the one that explains the rest. Only a fault turning lasting is news.
    if (!faulted_ || lasting) {
        std::fprintf(stderr, "orlith-server: DATABASE FAULT: %s; new nicknames and level rises are refused (503) and "
                     "/healthz fails %s\n", reason.c_str(), lasting ? "until the server is restarted" : "until a write succeeds");
    }
    fault_ = reason;
    faultLasting_ = lasting;
    faulted_ = true;
}

void WriteBehind::writeFailed(const std::string& error) {
    bool gone = false;
    std::string why;
    if (!storage_.probe(gone, why) && gone) noteFault(why, true);
    else noteFault(error, false);
}

bool WriteBehind::probe() {
    bool gone = false;
    std::string why;
    if (!storage_.probe(gone, why)) {
        noteFault(why, gone);
        return false;
    }
    // A small write passing says little while the states fail: they clear it by being written.
    if (faulted_ && !flushFailing_) {
        std::lock_guard lock(faultMutex_);
        if (!faultLasting_) {
            std::fprintf(stderr, "orlith-server: the database is written again\n");
            fault_.clear();
            faulted_ = false;
        }
    }
    return !faulted_;
}

std::string WriteBehind::fault() {
    std::lock_guard lock(faultMutex_);
    return fault_;
}

bool WriteBehind::databaseGone() {
    std::lock_guard lock(faultMutex_);
    return faultLasting_;
}

}  // namespace orlith::server
