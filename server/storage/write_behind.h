// Ranking server, the players between memory and the database: every stored player loaded at
// start; the states accepted since the last flush written in one batch (registrations and
// rises are committed by the rules before their reply, see Storage); what other instances
// sharing the database wrote, taken in; players quiet at level 1 forgotten; and the health of
// the database, which every write and probe reports here.
// Owns: the database's fault (a fault refuses registrations and rises with 503 until a probe
// passes with the last flush written, or for good when the database is not the one opened any
// more; logged when it changes). Reads/writes: Storage, and the players under their lock.
// Called by: the rules (loading, write failures) and the flusher thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "players/players.h"
#include "storage/storage.h"

namespace orlith::server {

// The player's marks as stored; none (a row stored before marks were kept) changes nothing.
void setMarks(Player& p, const std::optional<LevelMarks>& marks);

class WriteBehind {
public:
    // liveMs: a player seen this recently is live; foreignQuietMs: a row written elsewhere wins
    // after this much quiet here.
    WriteBehind(Storage& storage, Players& players, int64_t liveMs, int64_t foreignQuietMs);

    // Loads every stored player; false with a message when a row or the database is bad. The
    // look-alike index of the loaded names is built afterwards on a thread of its own.
    bool load(std::string& error);
    // Writes every state changed since the last flush; false (and the states stay pending)
    // when the database refuses or is not the one opened any more.
    bool flush(std::string& error);
    // Takes in what other instances sharing the database have written.
    bool pull(int64_t nowMs, std::string& error);
    // Forgets players still at level 1 and last seen before cutoffWallMs, here and in the
    // database. Looks at no more than `scan` players a call, resuming where the last stopped,
    // so a full pass over a million players is spread over many calls.
    size_t forgetQuiet(int64_t cutoffWallMs, size_t scan, std::string& error);

    // Checks the database (see Storage::probe); false when something is wrong.
    bool probe();
    // A write of the rules failed: the probe tells a database that is gone from one that
    // refused this once.
    void writeFailed(const std::string& error);
    bool faulted() const { return faulted_; }   // without a lock, for every rise and registration
    // What is wrong with the database, empty when nothing is; and whether the database is not
    // the one opened any more (a fault that never clears).
    std::string fault();
    bool databaseGone();

    size_t playerCount();
    size_t pendingWrites();
    // The nicknames of states not yet written, at most limit of them (for the last words).
    std::vector<std::string> pendingNames(size_t limit);
    bool sharedByInstances() const { return storage_.sharedByInstances(); }

private:
    void noteFault(const std::string& reason, bool lasting);

    Storage& storage_;
    Players& players_;
    const int64_t liveMs_;
    const int64_t foreignQuietMs_;
    int64_t pulledUpToMs_ = 0;           // database clock of the last pull (flusher thread only)
    size_t forgetCursor_ = 0;            // under the players' lock
    std::mutex faultMutex_;
    std::string fault_;                  // what is wrong with the database; empty: nothing
    bool faultLasting_ = false;          // the database is not the one opened: never clears
    std::atomic<bool> faulted_{false};   // fault_ is not empty (read without the lock)
    std::atomic<bool> flushFailing_{false};  // the last flush with states to write failed
};

}  // namespace orlith::server
