// The flusher thread of the ranking server, its health and its last flush.
#include "storage/flusher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace orlith::server {

Flusher::Flusher(WriteBehind& writes, Options options, std::function<int64_t()> steadyMs)
    : writes_(writes), options_(options), steadyMs_(std::move(steadyMs)), lastFlushMs_(steadyMs_()) {}

Flusher::~Flusher() { stop(); }

void Flusher::start() { thread_ = std::thread([this] { run(); }); }

void Flusher::stop() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Flusher::run() {
    const int64_t period = std::min<int64_t>(options_.flushMs, 500);
    int64_t nextFlush = steadyMs_() + options_.flushMs, nextProbe = 0;
    std::unique_lock lock(stopMutex_);
    while (!stopped_.wait_for(lock, std::chrono::milliseconds(period), [&] { return stopping_; })) {
        lock.unlock();
        std::string e;
        if (steadyMs_() >= nextProbe) {
            nextProbe = steadyMs_() + 450;  // a tick early, so a probe falls in every half-second tick
            writes_.probe();
        }
        if (steadyMs_() >= nextFlush) {
            nextFlush = std::max(nextFlush + options_.flushMs, steadyMs_());
            // A failed flush is a fault, logged once as such; the next flush retries.
            if (writes_.flush(e)) lastFlushMs_.store(steadyMs_());
        }
        if (!writes_.pull(steadyMs_(), e)) std::fprintf(stderr, "orlith-server: reading other instances failed: %s\n", e.c_str());
        // A slice of the players each time: a million take a minute or so to go through.
        int64_t cutoff = wallNowMs() - options_.forgetDays * 86400000;
        size_t forgotten = writes_.forgetQuiet(cutoff, 20000, e);
        if (forgotten) std::fprintf(stderr, "orlith-server: forgot %zu players quiet at level 1\n", forgotten);
        else if (!e.empty()) std::fprintf(stderr, "orlith-server: forgetting failed: %s\n", e.c_str());
        lock.lock();
    }
}

double Flusher::flushLagSeconds() { return static_cast<double>(steadyMs_() - lastFlushMs_.load()) / 1000.0; }

std::string Flusher::health() {
    std::string why = writes_.fault();
    double lag = flushLagSeconds(), limit = 3.0 * static_cast<double>(options_.flushMs) / 1000.0;
    if (lag > limit) {
        char text[160];
        std::snprintf(text, sizeof text, "%sflush lag %.1f s exceeds three flush intervals (%.1f s)", why.empty() ? "" : "; ",
                      lag, limit);
        why += text;
    }
    return why;
}

int Flusher::lastFlush() {
    std::string error;
    for (int attempt = 0; attempt < 5 && !writes_.databaseGone(); ++attempt) {
        if (writes_.flush(error)) {
            std::string fault = writes_.fault();
            std::fprintf(stderr, "orlith-server: all states written%s%s, bye\n", fault.empty() ? "" : "; but ", fault.c_str());
            return 0;
        }
        std::fprintf(stderr, "orlith-server: final flush failed: %s\n", error.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // The last words name what is lost: never "all written" and status 0 over a lost database.
    if (writes_.databaseGone()) error = writes_.fault();
    size_t pending = writes_.pendingWrites();
    std::string names;
    for (const std::string& n : writes_.pendingNames(10)) names += (names.empty() ? "" : ", ") + n;
    std::fprintf(stderr, "orlith-server: NOT WRITTEN: the states of %zu players (%s%s): %s\n", pending, names.c_str(),
                 pending > 10 ? ", ..." : "", error.c_str());
    if (writes_.databaseGone()) {
        std::fprintf(stderr, "orlith-server: NOT WRITTEN: none of the %zu players known here is in a database any more\n",
                     writes_.playerCount());
    }
    return 1;
}

}  // namespace orlith::server
