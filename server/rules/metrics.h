// Ranking server, counters for /metrics: requests by status and a latency histogram, kept in
// relaxed atomics so every I/O thread counts without a lock, each thread in a slot of its own
// (no cache line written by two threads); the slots are summed when read. Rendered in
// Prometheus text format.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace orlith::server {

class Metrics {
public:
    static constexpr std::array<int, 12> kStatuses = {200, 400, 403, 404, 405, 409, 429, 431, 500, 503, 413, 408};
    static constexpr std::array<double, 11> kBuckets = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                         0.01,   0.025,   0.05,   0.1,   0.25};

    void count(int status);
    void observe(double seconds);
    uint64_t requests(int status) const;
    // Connections of a --proxy-protocol listener closed before their PROXY header was read:
    // from a peer that is no trusted proxy, with a header missing or malformed, or too slow.
    enum ProxyRefusal { kProxyUntrusted, kProxyBad, kProxySlow, kProxyRefusals };
    void proxyRefused(ProxyRefusal why) { proxyRefused_[why].fetch_add(1, std::memory_order_relaxed); }

    struct Gauges {
        uint64_t players = 0;
        uint64_t livePlayers = 0;
        uint64_t pendingWrites = 0;
        double flushLagSeconds = 0;   // since the last successful flush
        uint64_t connections = 0;
        std::vector<uint64_t> loopConnections;  // of each event loop
        bool healthy = true;          // what /healthz says
    };
    std::string render(const Gauges& gauges) const;

private:
    static constexpr size_t kSlots = 16;  // threads beyond this share slots, still correctly
    struct alignas(64) Slot {
        std::array<std::atomic<uint64_t>, kStatuses.size() + 1> byStatus{};  // last: any other
        std::array<std::atomic<uint64_t>, kBuckets.size() + 1> buckets{};    // last: +Inf
        std::atomic<uint64_t> sumMicros{0};
    };
    Slot& mine();
    template <typename Counter>
    uint64_t total(Counter counter) const {  // counter(slot): one of its atomics
        uint64_t n = 0;
        for (const Slot& s : slots_) n += counter(s).load(std::memory_order_relaxed);
        return n;
    }

    std::array<Slot, kSlots> slots_{};
    std::array<std::atomic<uint64_t>, kProxyRefusals> proxyRefused_{};  // rare: shared
};

}  // namespace orlith::server
