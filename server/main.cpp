// orlith-server: the ranking server of Orlith. Parses the flags, opens the database and loads
// the players, serves until SIGINT or SIGTERM while the flusher writes and watches the
// database, then writes every pending state before it exits, and exits non-zero naming what
// it could not write.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "http/http_server.h"
#include "http/static_files.h"
#include "rules/handler.h"
#include "rules/ranking_store.h"
#include "storage/flusher.h"
#include "storage/storage.h"

using namespace orlith::server;

namespace {

const char kUsage[] =
    "usage: orlith-server [options]\n"
    "  --host ADDR            address to listen on (default 0.0.0.0)\n"
    "  --port N               port (default 8080; 0 picks a free one)\n"
    "  --db PATH|URL          SQLite file (default ranking.db) or postgresql://user@host:port/db\n"
    "  --threads N            event-loop threads (default: number of cores)\n"
    "  --flush-ms N           write pending states at least this often (default 1000)\n"
    "  --legacy-check         list true PIN hashes in a check without a name (off by default)\n"
    "  --admin-host ADDR      address of the health and metrics listener (default 127.0.0.1)\n"
    "  --admin-port N         its port (default 9090; 0 picks a free one)\n"
    "  --idle-timeout-ms N    close a connection idle this long (default 30000)\n"
    "  --header-timeout-ms N  a request's headers must arrive within this (default 5000)\n"
    "  --max-connections N    refuse connections beyond this many (default: what the\n"
    "                         open-file limit allows; trimmed to that)\n"
    "  --max-connections-per-address N\n"
    "                         the same for one address, IPv6 by /64 (default 64)\n"
    "  --max-partial-per-address N, --max-partial-per-group N\n"
    "                         connections whose request is still arriving, per address and\n"
    "                         per IPv4 /24 or IPv6 /64 (default 16 and 256)\n"
    "  --max-registrations N  new nicknames accepted per second (default 200)\n"
    "  --max-registrations-per-address N\n"
    "                         new nicknames one address may register at once, then one\n"
    "                         per 6 s (default 20)\n"
    "  --max-registrations-per-group N\n"
    "                         the same for an IPv4 /24 or IPv6 /64, then one a second (default 40)\n"
    "  --min-interval-ms N    replies to one player at least this far apart (default 50)\n"
    "  --forget-days N        forget players still at level 1 unseen this long (default 30)\n"
    "  --trusted-proxy CIDR[,CIDR...]\n"
    "                         reverse proxies whose X-Forwarded-For names the client (none)\n"
    "  --proxy-protocol       every connection to the game port opens with a PROXY protocol\n"
    "                         header (v1 or v2) from a trusted proxy, naming its client\n"
    "  --web-root DIR         also serve the browser game built into DIR (the files it holds at\n"
    "                         start-up; \"/\" is its index.html)\n"
    "  --help                 this text\n";

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool parseNumber(const char* text, int64_t low, int64_t high, int64_t& out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || v < low || v > high) return false;
    out = v;
    return true;
}

ServerOptions fromOpenFileLimit() {
    ServerOptions o;
    o.maxConnections = 0;  // set from the open-file limit at start
    return o;
}

struct Flags {
    std::string db = "ranking.db";
    ServerOptions server = fromOpenFileLimit();
    StoreOptions store;
    Flusher::Options flusher;
    std::string webRoot;  // empty: no web game
};

// 0: go on, 1: error, 2: --help shown.
int parseFlags(int argc, char** argv, Flags& f) {
    f.server.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        int64_t n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 2;
        } else if (a == "--legacy-check") {
            f.store.legacyCheck = true;
        } else if (a == "--proxy-protocol") {
            f.server.proxyProtocol = true;
        } else if (a == "--host" && value(v)) {
            f.server.host = v;
        } else if (a == "--db" && value(v)) {
            f.db = v;
        } else if (a == "--port" && value(v) && parseNumber(v, 0, 65535, n)) {
            f.server.port = static_cast<uint16_t>(n);
        } else if (a == "--threads" && value(v) && parseNumber(v, 1, 256, n)) {
            f.server.threads = static_cast<int>(n);
        } else if (a == "--flush-ms" && value(v) && parseNumber(v, 1, 3600000, n)) {
            f.flusher.flushMs = n;
        } else if (a == "--idle-timeout-ms" && value(v) && parseNumber(v, 1, 3600000, n)) {
            f.server.idleTimeoutMs = n;
        } else if (a == "--trusted-proxy" && value(v)) {
            for (std::string_view rest = v; !rest.empty();) {
                size_t comma = std::min(rest.find(','), rest.size());
                f.server.trustedProxies.emplace_back(rest.substr(0, comma));
                rest.remove_prefix(std::min(comma + 1, rest.size()));
            }
        } else if (a == "--header-timeout-ms" && value(v) && parseNumber(v, 1, 3600000, n)) {
            f.server.headerTimeoutMs = n;
        } else if (a == "--max-partial-per-address" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.server.maxPartialPerAddress = static_cast<size_t>(n);
        } else if (a == "--max-partial-per-group" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.server.maxPartialPerGroup = static_cast<size_t>(n);
        } else if (a == "--max-registrations-per-group" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.store.budgets.registrationsPerGroup = static_cast<int32_t>(n);
        } else if (a == "--max-connections" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.server.maxConnections = static_cast<size_t>(n);
        } else if (a == "--max-registrations" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.store.budgets.registrationsPerSecond = static_cast<int32_t>(n);
        } else if (a == "--max-registrations-per-address" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.store.budgets.registrationsPerAddress = static_cast<int32_t>(n);
        } else if (a == "--max-connections-per-address" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.server.maxConnectionsPerAddress = static_cast<size_t>(n);
        } else if (a == "--admin-host" && value(v)) {
            f.server.adminHost = v;
        } else if (a == "--admin-port" && value(v) && parseNumber(v, 0, 65535, n)) {
            f.server.adminPort = static_cast<uint16_t>(n);
        } else if (a == "--min-interval-ms" && value(v) && parseNumber(v, 0, 60000, n)) {
            f.store.budgets.minIntervalMs = n;
        } else if (a == "--forget-days" && value(v) && parseNumber(v, 1, 36500, n)) {
            f.flusher.forgetDays = n;
        } else if (a == "--web-root" && value(v)) {
            f.webRoot = v;
        } else {
            std::fprintf(stderr, "orlith-server: bad or incomplete option %s\n%s", a.c_str(), kUsage);
            return 1;
        }
    }
    return 0;
}

// Every connection is a descriptor: raise the soft limit to the hard one, and trim the
// connection caps to what fits, keeping some for the database, the listeners and logs.
void fitOpenFileLimit(ServerOptions& o) {
    constexpr rlim_t kReserve = 64;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    rlim_t usable = limit.rlim_cur > kReserve + o.maxAdminConnections ? limit.rlim_cur - kReserve - o.maxAdminConnections : 1;
    if (o.maxConnections == 0) {
        // No cap asked for: every descriptor the process may have, none left idle by a constant.
        o.maxConnections = static_cast<size_t>(std::min<rlim_t>(usable, 1000000));
    } else if (o.maxConnections > usable) {
        std::fprintf(stderr, "orlith-server: open-file limit %llu: --max-connections trimmed from %zu to %llu\n",
                     static_cast<unsigned long long>(limit.rlim_cur), o.maxConnections,
                     static_cast<unsigned long long>(usable));
        o.maxConnections = static_cast<size_t>(usable);
    }
}

// SIGINT and SIGTERM are taken by sigwait at the end; every thread started after this inherits
// the mask, so none of them is interrupted. A peer gone mid-write is an error, not a signal.
sigset_t takeStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signals;
}

int failed(const std::string& error) {
    std::fprintf(stderr, "orlith-server: %s\n", error.c_str());
    return 1;
}

using Clock = std::chrono::steady_clock;

void reportLoaded(RankingStore& store, Clock::time_point startedAt, Clock::time_point openedAt) {
    auto loadedAt = Clock::now();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "orlith-server: database opened in %.2f s, %zu players loaded in %.2f s (%.2f s of CPU in all)\n",
                 std::chrono::duration<double>(openedAt - startedAt).count(), store.playerCount(),
                 std::chrono::duration<double>(loadedAt - openedAt).count(),
                 static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
}

Metrics::Gauges gauges(RankingStore& store, Flusher& flusher, const HttpServer* server) {
    Metrics::Gauges g;
    g.players = store.playerCount();
    g.livePlayers = store.livePlayerCount(steadyMs());
    g.pendingWrites = store.writes().pendingWrites();
    g.flushLagSeconds = flusher.flushLagSeconds();
    g.connections = server ? server->connections() : 0;
    if (server) g.loopConnections = server->loopConnections();
    g.healthy = flusher.health().empty();
    return g;
}

void reportListening(const Flags& flags, const HttpServer& server, RankingStore& store) {
    std::printf("orlith-server listening on %s:%u with %d threads, admin on %s:%u, database %s, %zu players\n",
                flags.server.host.c_str(), static_cast<unsigned>(server.port()), flags.server.threads,
                flags.server.adminHost.c_str(), static_cast<unsigned>(server.adminPort()),
                store.writes().sharedByInstances() ? "postgresql" : flags.db.c_str(), store.playerCount());
    std::fflush(stdout);
}

void waitForStopSignal(const sigset_t& signals) {
    int sig = 0;
    sigwait(&signals, &sig);
    std::fprintf(stderr, "orlith-server: %s, shutting down\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
}

}  // namespace

int main(int argc, char** argv) {
    Flags flags;
    if (int rc = parseFlags(argc, argv, flags)) return rc == 2 ? 0 : 2;
    const sigset_t stopSignals = takeStopSignals();

    std::string error;
    const auto startedAt = Clock::now();
    std::unique_ptr<Storage> storage = openStorage(flags.db, error);
    const auto openedAt = Clock::now();
    if (!storage) return failed(error);
    RankingStore store(*storage, flags.store);
    if (!store.load(error)) return failed(error);
    reportLoaded(store, startedAt, openedAt);

    StaticFiles webFiles;
    if (!flags.webRoot.empty() && !webFiles.load(flags.webRoot, error)) return failed(error);
    fitOpenFileLimit(flags.server);
    Flusher flusher(store.writes(), flags.flusher, steadyMs);
    Metrics metrics;
    RefusalLog log;
    std::unique_ptr<HttpServer> server;
    HandlerContext context{store, metrics, log, steadyMs, [&] { return gauges(store, flusher, server.get()); },
                           [&] { return flusher.health(); }};
    server = std::make_unique<HttpServer>(
        flags.server,
        HttpServer::Handler{[&](const HttpRequest& r) { return handleRequest(r, context); },
                            [&](const Commit& c) { return commitChange(c, context); },
                            flags.webRoot.empty() ? nullptr
                                                  : std::function([&](const HttpRequest& r, std::string_view tag) {
                                                        return webFiles.answer(r.method, r.target, r.acceptGzip, tag);
                                                    })},
        metrics);
    if (!server->start(error)) return failed(error);
    reportListening(flags, *server, store);
    if (!flags.webRoot.empty()) {
        // Listening on every address: this machine's name or address from elsewhere.
        const bool everywhere = flags.server.host == "0.0.0.0" || flags.server.host == "::";
        std::printf("orlith-server: the web game (%zu files from %s): open http://%s:%u/%s\n", webFiles.count(),
                    flags.webRoot.c_str(), everywhere ? "localhost" : flags.server.host.c_str(),
                    static_cast<unsigned>(server->port()), everywhere ? " here, or this machine's address elsewhere" : "");
        std::fflush(stdout);
    }
    flusher.start();

    waitForStopSignal(stopSignals);
    server->stop();
    flusher.stop();
    return flusher.lastFlush();
}
