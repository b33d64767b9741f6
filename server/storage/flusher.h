// Ranking server, the flusher: the write-behind's own thread. It writes the pending states
// every flushMs; probes the database and (shared database) takes in the other instances'
// players every half second whatever flushMs is, so a fault is noticed and their players
// show up here within about a second; and forgets a slice of the players quiet at level 1 on
// each pass. At the stop, the last flush writes everything accepted.
// Owns: that thread, and the time of the last successful flush (health: a flush lag of more
// than three intervals is a fault). Calls: the write-behind. Called by: main.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "storage/write_behind.h"

namespace orlith::server {

class Flusher {
public:
    struct Options {
        int64_t flushMs = 1000;          // pending states written at least this often
        int64_t forgetDays = 30;         // players at level 1 unseen this long are forgotten
    };
    Flusher(WriteBehind& writes, Options options, std::function<int64_t()> steadyMs);
    ~Flusher();
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

    void start();
    void stop();
    // What is wrong, empty when nothing is: the database's fault, and a flush lag over three
    // flush intervals.
    std::string health();
    double flushLagSeconds();
    // After stop: writes every pending state (a few retries ride out a busy database, not one
    // that is gone) and says so; otherwise names what is lost. The process's exit status: 0
    // only when everything was written.
    int lastFlush();

private:
    void run();

    WriteBehind& writes_;
    const Options options_;
    std::function<int64_t()> steadyMs_;
    std::atomic<int64_t> lastFlushMs_;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orlith::server
