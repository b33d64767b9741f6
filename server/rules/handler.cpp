// Routing and refusals of the ranking server.
#include "rules/handler.h"

#include <chrono>
#include <cstdio>
#include <type_traits>
#include <utility>

#include "rules/request.h"

namespace orlith::server {

void RefusalLog::refused(int status, const char* reason, std::string_view nickname, int64_t nowMs) {
    int64_t window = nowMs / 1000;
    int64_t seen = window_.load();
    if (seen != window && window_.compare_exchange_strong(seen, window)) inWindow_.store(0);
    if (inWindow_.fetch_add(1) >= perSecond_) {
        suppressed_.fetch_add(1);
        return;
    }
    logged_.fetch_add(1);
    uint64_t dropped = suppressed_.exchange(0);
    // The nickname has passed validation (no control characters) before it is ever logged.
    std::fprintf(stderr, "refused %d: %s%s%.*s%s", status, reason, nickname.empty() ? "" : " (nickname \"",
                 static_cast<int>(nickname.size()), nickname.data(), nickname.empty() ? "" : "\")");
    if (dropped) std::fprintf(stderr, " [%llu refusals not logged]", static_cast<unsigned long long>(dropped));
    std::fputc('\n', stderr);
}

namespace {

HttpResponse refuse(HandlerContext& ctx, int status, const char* reason, std::string_view nickname, int64_t now) {
    ctx.log.refused(status, reason, nickname, now);
    HttpResponse r;
    r.status = status;
    // Only fixed texts go into an error body: nothing of the request is echoed.
    r.body = std::string(reason) + "\r\n";
    return r;
}

Decision route(const HttpRequest& req, HandlerContext& ctx, int64_t now) {
    std::string_view path, query;
    splitTarget(req.target, path, query);
    // Health and metrics live on the admin listener only, where floods on the game port
    // never reach; the game port serves the game's one path.
    if (req.admin) {
        if (path != "/healthz" && path != "/metrics") return refuse(ctx, 404, "no such path", {}, now);
        if (req.method != "GET" && req.method != "HEAD") return refuse(ctx, 405, "only GET and HEAD are served", {}, now);
        if (path == "/healthz") {
            std::string why = ctx.health ? ctx.health() : std::string();
            if (why.empty()) return HttpResponse{200, "ok\n"};
            return HttpResponse{503, "unhealthy: " + why + "\n"};
        }
        return HttpResponse{200, ctx.metrics.render(ctx.gauges()), "text/plain; version=0.0.4"};
    }
    if (path != kRankingPath) return refuse(ctx, 404, "no such path", {}, now);
    // HEAD is answered as GET is (the socket side leaves the body out).
    if (req.method != "GET" && req.method != "HEAD") return refuse(ctx, 405, "only GET and HEAD are served", {}, now);

    ParsedQuery q = parseQuery(query);
    Requester who{req.client, req.connection, req.acceptGzip};
    Reply reply;
    switch (q.kind) {
        case QueryKind::invalid:
            return refuse(ctx, 400, q.error, {}, now);
        case QueryKind::legacyCheck:
            reply = ctx.store.check(nullptr, {}, who, now);
            break;
        case QueryKind::namedCheck:
            reply = ctx.store.check(&q.nickname, q.pin, who, now, q.rawNickname.empty() ? nullptr : &q.rawNickname);
            break;
        case QueryKind::ranking:
            reply = ctx.store.submit(q.nickname, q.stateValue, who, now);
            break;
    }
    if (reply.commit) return Decision(std::move(*reply.commit));
    if (reply.retryAtMs) {
        Decision later;
        later.retryAtMs = reply.retryAtMs;
        return later;
    }
    // A nickname refused for its characters is not written to the log either.
    if (reply.status != 200) return refuse(ctx, reply.status, reply.reason, reply.status == 400 ? "" : q.nicknameUtf8, now);
    return HttpResponse{200, std::move(reply.body)};
}

template <typename Work>
auto measured(Work work) {
    auto start = std::chrono::steady_clock::now();
    decltype(work()) out;
    try {
        out = work();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "internal error: %s\n", e.what());
        out = HttpResponse{500, "internal error\r\n"};
    }
    return std::make_pair(std::move(out), start);
}

void count(HandlerContext& ctx, int status, std::chrono::steady_clock::time_point start) {
    ctx.metrics.count(status);
    ctx.metrics.observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace

Decision handleRequest(const HttpRequest& request, HandlerContext& ctx) {
    auto [decision, start] = measured([&] { return route(request, ctx, ctx.nowMs()); });
    // A commit or a held request is counted once it is answered.
    if (!decision.commit && !decision.retryAtMs) count(ctx, decision.response.status, start);
    return std::move(decision);
}

HttpResponse commitChange(const Commit& change, HandlerContext& ctx) {
    auto [response, start] = measured([&] {
        Reply reply = ctx.store.commit(change);
        if (reply.status != 200) {
            return refuse(ctx, reply.status, reply.reason, toUtf8(change.name), ctx.nowMs());
        }
        return HttpResponse{200, std::move(reply.body)};
    });
    count(ctx, response.status, start);
    return std::move(response);
}

}  // namespace orlith::server
