// Prometheus text rendering of the server's counters.
#include "rules/metrics.h"

#include <cstdio>

namespace orlith::server {

Metrics::Slot& Metrics::mine() {
    static std::atomic<size_t> threads{0};
    thread_local const size_t slot = threads.fetch_add(1, std::memory_order_relaxed) % kSlots;
    return slots_[slot];
}

void Metrics::count(int status) {
    size_t i = 0;
    while (i < kStatuses.size() && kStatuses[i] != status) ++i;
    mine().byStatus[i].fetch_add(1, std::memory_order_relaxed);
}

uint64_t Metrics::requests(int status) const {
    size_t i = 0;
    while (i < kStatuses.size() && kStatuses[i] != status) ++i;
    return total([i](const Slot& s) -> const std::atomic<uint64_t>& { return s.byStatus[i]; });
}

void Metrics::observe(double seconds) {
    size_t i = 0;
    while (i < kBuckets.size() && seconds > kBuckets[i]) ++i;
    Slot& s = mine();
    s.buckets[i].fetch_add(1, std::memory_order_relaxed);
    s.sumMicros.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
}

std::string Metrics::render(const Gauges& g) const {
    std::string out;
    char line[160];
    out += "# HELP orlith_requests_total HTTP requests answered, by status.\n# TYPE orlith_requests_total counter\n";
    for (size_t i = 0; i < kStatuses.size(); ++i) {
        std::snprintf(line, sizeof line, "orlith_requests_total{status=\"%d\"} %llu\n", kStatuses[i],
                      static_cast<unsigned long long>(requests(kStatuses[i])));
        out += line;
    }
    std::snprintf(line, sizeof line, "orlith_requests_total{status=\"other\"} %llu\n",
                  static_cast<unsigned long long>(requests(0)));
    out += line;
    out += "# HELP orlith_request_duration_seconds Time to handle a request.\n"
           "# TYPE orlith_request_duration_seconds histogram\n";
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= kBuckets.size(); ++i) {
        cumulative += total([i](const Slot& s) -> const std::atomic<uint64_t>& { return s.buckets[i]; });
        if (i < kBuckets.size()) {
            std::snprintf(line, sizeof line, "orlith_request_duration_seconds_bucket{le=\"%g\"} %llu\n", kBuckets[i],
                          static_cast<unsigned long long>(cumulative));
        } else {
            std::snprintf(line, sizeof line, "orlith_request_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
                          static_cast<unsigned long long>(cumulative));
        }
        out += line;
    }
    std::snprintf(line, sizeof line, "orlith_request_duration_seconds_sum %.6f\norlith_request_duration_seconds_count %llu\n",
                  static_cast<double>(total([](const Slot& s) -> const std::atomic<uint64_t>& { return s.sumMicros; })) / 1e6,
                  static_cast<unsigned long long>(cumulative));
    out += line;
    std::snprintf(line, sizeof line,
                  "# TYPE orlith_players gauge\norlith_players %llu\n"
                  "# TYPE orlith_live_players gauge\norlith_live_players %llu\n",
                  static_cast<unsigned long long>(g.players), static_cast<unsigned long long>(g.livePlayers));
    out += line;
    std::snprintf(line, sizeof line,
                  "# TYPE orlith_pending_writes gauge\norlith_pending_writes %llu\n"
                  "# TYPE orlith_flush_lag_seconds gauge\norlith_flush_lag_seconds %.3f\n",
                  static_cast<unsigned long long>(g.pendingWrites), g.flushLagSeconds);
    out += line;
    out += "# HELP orlith_proxy_refused_total Connections closed before a good PROXY header from a trusted proxy.\n"
           "# TYPE orlith_proxy_refused_total counter\n";
    const char* const reasons[kProxyRefusals] = {"untrusted", "bad", "slow"};
    for (size_t i = 0; i < kProxyRefusals; ++i) {
        std::snprintf(line, sizeof line, "orlith_proxy_refused_total{reason=\"%s\"} %llu\n", reasons[i],
                      static_cast<unsigned long long>(proxyRefused_[i].load(std::memory_order_relaxed)));
        out += line;
    }
    std::snprintf(line, sizeof line, "# TYPE orlith_connections gauge\norlith_connections %llu\n"
                  "# TYPE orlith_healthy gauge\norlith_healthy %d\n",
                  static_cast<unsigned long long>(g.connections), g.healthy ? 1 : 0);
    out += line;
    if (!g.loopConnections.empty()) out += "# TYPE orlith_loop_connections gauge\n";
    for (size_t i = 0; i < g.loopConnections.size(); ++i) {
        std::snprintf(line, sizeof line, "orlith_loop_connections{loop=\"%zu\"} %llu\n", i,
                      static_cast<unsigned long long>(g.loopConnections[i]));
        out += line;
    }
    return out;
}

}  // namespace orlith::server
