// Ranking server, the rules: what a request may change. One request in, one decision out:
// the routing, the parsing of the query (request.h), the rules of the ranking store
// (ranking_store.h, with the levels' shortest paths of levels.h), the status of every refusal
// and its log line, the health check and the metrics (metrics.h). It never waits and knows
// nothing of threads or sockets: a request that needs a database commit (a new nickname, a
// level rise) comes back as "commit this, then send that", and the socket side chooses where
// to wait. Tested and fuzzed directly.
// Reads: the request's method and target. Writes: the ranking store (via its rules).
// Called by: the HTTP session of each connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "rules/metrics.h"
#include "rules/ranking_store.h"
#include "view/reply_text.h"

namespace orlith::server {

struct HttpRequest {
    std::string_view method;
    std::string_view target;
    uint64_t client = 0;        // the peer's address (IPv6: its /64) as a key; 0: unknown, never limited
    uint64_t connection = 0;    // the connection, unique in the process's life; 0: none
    bool acceptGzip = false;    // Accept-Encoding allows gzip
    bool admin = false;         // arrived on the admin listener (health and metrics only)
};

struct HttpResponse {
    int status = 200;
    ReplyText body;             // .str() for the whole text
    const char* contentType = "text/plain; charset=utf-8";
    std::string headers = {};   // further header lines, each ending "\r\n" (a web file's ETag)
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
    std::function<std::string()> health = nullptr;  // what is wrong, for /healthz; empty: ok
};

// What the socket side does with a request: send the response; or, for a new nickname or a
// level rise, first run commitChange (which waits for the database) and send what it
// returns; or, for a player answered less than --min-interval-ms ago, nothing yet: hand the
// same request to handleRequest again at retryAtMs (a timer, not a thread, holds it meanwhile).
struct Decision {
    HttpResponse response;                     // unused while one of the two below is set
    std::optional<Commit> commit;
    int64_t retryAtMs = 0;

    Decision() = default;
    Decision(HttpResponse r) : response(std::move(r)) {}                 // NOLINT: send this
    explicit Decision(Commit c) : commit(std::move(c)) {}
};

// The whole of one request; never throws and never waits.
Decision handleRequest(const HttpRequest& request, HandlerContext& context);
// Commits a change decided by handleRequest and gives the reply to its request. Waits for the
// database: the caller keeps it off any thread that serves other connections.
HttpResponse commitChange(const Commit& change, HandlerContext& context);

}  // namespace orlith::server
