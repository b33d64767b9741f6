// Ranking server, one request in, one response out: the routing, the status of every
// refusal and its log line. No sockets, so it is tested and fuzzed directly.
// Reads: the request's method and target. Writes: the ranking store (via its rules).
// Called by: the HTTP session of each connection, on its I/O thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "metrics.h"
#include "ranking_store.h"
#include "reply_text.h"

namespace orlith::server {

struct HttpRequest {
    std::string_view method;
    std::string_view target;
    uint64_t client = 0;        // the peer's address as a key; 0: unknown, never limited
};

struct HttpResponse {
    int status = 200;
    ReplyText body;             // .str() for the whole text
    const char* contentType = "text/plain; charset=utf-8";
};

class RefusalLog {
public:
    explicit RefusalLog(int perSecond = 20) : perSecond_(perSecond) {}
    // Logs to stderr, at most perSecond lines a second, so a flood of bad requests cannot
    // turn into a flood of log output; the suppressed count is reported with the next line.
    void refused(int status, const char* reason, std::string_view nickname, int64_t nowMs);
    uint64_t logged() const { return logged_.load(); }

private:
    int perSecond_;
    std::atomic<int64_t> window_{-1};
    std::atomic<int> inWindow_{0};
    std::atomic<uint64_t> suppressed_{0};
    std::atomic<uint64_t> logged_{0};
};

struct HandlerContext {
    RankingStore& store;
    Metrics& metrics;
    RefusalLog& log;
    std::function<int64_t()> nowMs;                 // steady clock, milliseconds
    std::function<Metrics::Gauges()> gauges;        // for /metrics
};

// The whole of one request; never throws. With mayBlock false (an event-loop thread), a
// request that would wait for a database commit is answered with status
// RankingStore::kWouldBlock and no effect; the caller repeats it where blocking is fine.
HttpResponse handle_request(const HttpRequest& request, HandlerContext& context, bool mayBlock = true);

}  // namespace orlith::server
