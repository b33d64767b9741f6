// orlith-server: the ranking server of Orlith. Parses the flags, opens the database, serves
// until SIGINT or SIGTERM while watching the database, then writes every pending state before
// it exits, and exits non-zero naming what it could not write.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "handler.h"
#include "http_server.h"
#include "ranking_store.h"
#include "static_files.h"
#include "storage.h"

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
    "  --max-connections N    refuse connections beyond this many (default 10000; trimmed to\n"
    "                         what the open-file limit allows)\n"
    "  --max-connections-per-address N\n"
    "                         the same for one address, IPv6 by /64 (default 64)\n"
    "  --max-registrations N  new nicknames accepted per second (default 200)\n"
    "  --max-registrations-per-address N\n"
    "                         new nicknames one address may register at once, then one\n"
    "                         per 6 s (default 20)\n"
    "  --min-interval-ms N    replies to one player at least this far apart (default 50)\n"
    "  --forget-days N        forget players still at level 1 unseen this long (default 30)\n"
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

struct Flags {
    ServerOptions server;
    std::string db = "ranking.db";
    int64_t flushMs = 1000;
    bool legacyCheck = false;
    int32_t registrationsPerSecond = 200;
    int32_t registrationsPerAddress = 20;
    int64_t minIntervalMs = 50;
    int64_t forgetDays = 30;
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
            f.legacyCheck = true;
        } else if (a == "--host" && value(v)) {
            f.server.host = v;
        } else if (a == "--db" && value(v)) {
            f.db = v;
        } else if (a == "--port" && value(v) && parseNumber(v, 0, 65535, n)) {
            f.server.port = static_cast<uint16_t>(n);
        } else if (a == "--threads" && value(v) && parseNumber(v, 1, 256, n)) {
            f.server.threads = static_cast<int>(n);
        } else if (a == "--flush-ms" && value(v) && parseNumber(v, 1, 3600000, n)) {
            f.flushMs = n;
        } else if (a == "--idle-timeout-ms" && value(v) && parseNumber(v, 1, 3600000, n)) {
            f.server.idleTimeoutMs = n;
        } else if (a == "--max-connections" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.server.maxConnections = static_cast<size_t>(n);
        } else if (a == "--max-registrations" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.registrationsPerSecond = static_cast<int32_t>(n);
        } else if (a == "--max-registrations-per-address" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.registrationsPerAddress = static_cast<int32_t>(n);
        } else if (a == "--max-connections-per-address" && value(v) && parseNumber(v, 1, 1000000, n)) {
            f.server.maxConnectionsPerAddress = static_cast<size_t>(n);
        } else if (a == "--admin-host" && value(v)) {
            f.server.adminHost = v;
        } else if (a == "--admin-port" && value(v) && parseNumber(v, 0, 65535, n)) {
            f.server.adminPort = static_cast<uint16_t>(n);
        } else if (a == "--min-interval-ms" && value(v) && parseNumber(v, 0, 60000, n)) {
            f.minIntervalMs = n;
        } else if (a == "--forget-days" && value(v) && parseNumber(v, 1, 36500, n)) {
            f.forgetDays = n;
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
    if (o.maxConnections > usable) {
        std::fprintf(stderr, "orlith-server: open-file limit %llu: --max-connections trimmed from %zu to %llu\n",
                     static_cast<unsigned long long>(limit.rlim_cur), o.maxConnections,
                     static_cast<unsigned long long>(usable));
        o.maxConnections = static_cast<size_t>(usable);
    }
}

int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    Flags flags;
    if (int rc = parseFlags(argc, argv, flags)) return rc == 2 ? 0 : 2;

    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto startedAt = std::chrono::steady_clock::now();
    std::unique_ptr<Storage> storage = openStorage(flags.db, error);
    auto openedAt = std::chrono::steady_clock::now();
    if (!storage) {
        std::fprintf(stderr, "orlith-server: %s\n", error.c_str());
        return 1;
    }
    StoreOptions storeOptions;
    storeOptions.legacyCheck = flags.legacyCheck;
    storeOptions.registrationsPerSecond = flags.registrationsPerSecond;
    storeOptions.registrationsPerAddress = flags.registrationsPerAddress;
    storeOptions.minIntervalMs = flags.minIntervalMs;
    RankingStore store(*storage, storeOptions);
    if (!store.load(error)) {
        std::fprintf(stderr, "orlith-server: %s\n", error.c_str());
        return 1;
    }
    auto loadedAt = std::chrono::steady_clock::now();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "orlith-server: database opened in %.2f s, %zu players loaded in %.2f s (%.2f s of CPU in all)\n",
                 std::chrono::duration<double>(openedAt - startedAt).count(), store.playerCount(),
                 std::chrono::duration<double>(loadedAt - openedAt).count(),
                 static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);

    StaticFiles webFiles;
    if (!flags.webRoot.empty() && !webFiles.load(flags.webRoot, error)) {
        std::fprintf(stderr, "orlith-server: %s\n", error.c_str());
        return 1;
    }
    fitOpenFileLimit(flags.server);
    Metrics metrics;
    RefusalLog log;
    std::atomic<int64_t> lastFlushMs{steadyMs()};
    std::unique_ptr<HttpServer> server;
    // Unhealthy while the database has a fault, or while states wait longer than three flushes.
    auto health = [&] {
        std::string why = store.fault();
        double lag = static_cast<double>(steadyMs() - lastFlushMs.load()) / 1000.0;
        if (lag > 3.0 * static_cast<double>(flags.flushMs) / 1000.0) {
            char text[160];
            std::snprintf(text, sizeof text, "%sflush lag %.1f s exceeds three flush intervals (%.1f s)",
                          why.empty() ? "" : "; ", lag, 3.0 * static_cast<double>(flags.flushMs) / 1000.0);
            why += text;
        }
        return why;
    };
    HandlerContext context{store, metrics, log, steadyMs,
                           [&] {
                               Metrics::Gauges g;
                               int64_t now = steadyMs();
                               g.players = store.playerCount();
                               g.livePlayers = store.livePlayerCount(now);
                               g.pendingWrites = store.pendingWrites();
                               g.flushLagSeconds = static_cast<double>(now - lastFlushMs.load()) / 1000.0;
                               g.connections = server ? server->connections() : 0;
                               g.healthy = health().empty();
                               return g;
                           },
                           health};
    server = std::make_unique<HttpServer>(
        flags.server,
        HttpServer::Handler{[&](const HttpRequest& r) { return handleRequest(r, context); },
                            [&](const Commit& c) { return commitChange(c, context); },
                            flags.webRoot.empty() ? nullptr
                                                  : std::function([&](const HttpRequest& r, std::string_view tag) {
                                                        return webFiles.answer(r.method, r.target, r.acceptGzip, tag);
                                                    })},
        metrics);
    if (!server->start(error)) {
        std::fprintf(stderr, "orlith-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("orlith-server listening on %s:%u with %d threads, admin on %s:%u, database %s, %zu players\n",
                flags.server.host.c_str(), static_cast<unsigned>(server->port()), flags.server.threads,
                flags.server.adminHost.c_str(), static_cast<unsigned>(server->adminPort()),
                storage->sharedByInstances() ? "postgresql" : flags.db.c_str(), store.playerCount());
    if (!flags.webRoot.empty()) {
        // Listening on every address: this machine's name or address from elsewhere.
        const bool everywhere = flags.server.host == "0.0.0.0" || flags.server.host == "::";
        std::printf("orlith-server: the web game (%zu files from %s): open http://%s:%u/%s\n", webFiles.count(),
                    flags.webRoot.c_str(), everywhere ? "localhost" : flags.server.host.c_str(),
                    static_cast<unsigned>(server->port()), everywhere ? " here, or this machine's address elsewhere" : "");
    }
    std::fflush(stdout);

    // The flusher: pending states every --flush-ms; the database's health, and (shared
    // database) the other instances' players, every half second whatever --flush-ms is, so a
    // fault is noticed and their players show up here within about a second.
    std::mutex stopMutex;
    std::condition_variable stopped;
    bool stopping = false;
    std::thread flusher([&] {
        int64_t period = std::min<int64_t>(flags.flushMs, 500);
        int64_t nextFlush = steadyMs() + flags.flushMs, nextProbe = 0;
        std::unique_lock lock(stopMutex);
        while (!stopped.wait_for(lock, std::chrono::milliseconds(period), [&] { return stopping; })) {
            lock.unlock();
            std::string e;
            if (steadyMs() >= nextProbe) {
                nextProbe = steadyMs() + 450;  // a tick early, so a probe falls in every half-second tick
                store.probe();
            }
            if (steadyMs() >= nextFlush) {
                nextFlush = std::max(nextFlush + flags.flushMs, steadyMs());
                if (store.flush(e)) lastFlushMs.store(steadyMs());
                else std::fprintf(stderr, "orlith-server: flush failed, will retry: %s\n", e.c_str());
            }
            if (!store.pull(steadyMs(), e)) std::fprintf(stderr, "orlith-server: reading other instances failed: %s\n", e.c_str());
            // A slice of the players each time: a million take a minute or so to go through.
            int64_t cutoff = wallMs() - flags.forgetDays * 86400000;
            size_t forgotten = store.forgetQuiet(cutoff, 20000, e);
            if (forgotten) std::fprintf(stderr, "orlith-server: forgot %zu players quiet at level 1\n", forgotten);
            else if (!e.empty()) std::fprintf(stderr, "orlith-server: forgetting failed: %s\n", e.c_str());
            lock.lock();
        }
    });

    int sig = 0;
    sigwait(&signals, &sig);
    std::fprintf(stderr, "orlith-server: %s, shutting down\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    server->stop();
    {
        std::lock_guard lock(stopMutex);
        stopping = true;
    }
    stopped.notify_all();
    flusher.join();
    // Everything accepted is written before exit; a few retries ride out a busy database, but
    // not one that is gone.
    for (int attempt = 0; attempt < 5 && !store.databaseGone(); ++attempt) {
        if (store.flush(error)) {
            std::string fault = store.fault();
            std::fprintf(stderr, "orlith-server: all states written%s%s, bye\n", fault.empty() ? "" : "; but ",
                         fault.c_str());
            return 0;
        }
        std::fprintf(stderr, "orlith-server: final flush failed: %s\n", error.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // The last words name what is lost: never "all written" and status 0 over a lost database.
    if (store.databaseGone()) error = store.fault();
    size_t pending = store.pendingWrites();
    std::string names;
    for (const std::string& n : store.pendingNames(10)) names += (names.empty() ? "" : ", ") + n;
    std::fprintf(stderr, "orlith-server: NOT WRITTEN: the states of %zu players (%s%s): %s\n", pending, names.c_str(),
                 pending > 10 ? ", ..." : "", error.c_str());
    if (store.databaseGone()) {
        std::fprintf(stderr, "orlith-server: NOT WRITTEN: none of the %zu players known here is in a database any more\n",
                     store.playerCount());
    }
    return 1;
}
