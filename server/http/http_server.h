// Ranking server, the socket side: HTTP/1.1 over TCP with keep-alive, one event loop per
// thread (each with its own listening socket on the shared port), an admin listener for
// health and metrics, idle and header time-outs, connection caps (in all and per address, and
// for requests still arriving per address and address group), the client named by a trusted
// proxy (X-Forwarded-For, or a PROXY protocol header: proxy_protocol.h), bounded buffers per
// connection, and the waiting that request handling asks for (a commit on a
// blocking thread, a paced reply on a timer). Owns: threads, sockets, sessions. Calls: the
// request handler for each parsed request. Called by: main.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/handler.h"

namespace orlith::server {

struct ServerOptions {
    std::string host = "0.0.0.0";
    uint16_t port = 8080;               // 0: any free port (see HttpServer::port)
    std::string adminHost = "127.0.0.1";
    uint16_t adminPort = 9090;          // health and metrics; 0: any free port
    int threads = 1;
    int64_t idleTimeoutMs = 30000;      // a kept-alive connection may be quiet, and a reply take, this long
    int64_t headerTimeoutMs = 5000;     // a request's headers must arrive within this of its first byte
    size_t maxConnections = 10000;      // above this, new connections get 503 and are closed (main
                                        // sets it from the open-file limit)
    size_t maxConnectionsPerAddress = 64;  // the same for one address (IPv6: one /64)
    // Connections whose request has begun (or that are new) and whose headers are not complete,
    // per address and per address group (IPv4 /24, IPv6 /64): beyond these, 503 and closed.
    size_t maxPartialPerAddress = 16;
    size_t maxPartialPerGroup = 256;
    size_t maxAdminConnections = 16;
    uint32_t headerLimit = 8192;        // request line and headers, bytes
    int sendBufferBytes = 32768;        // SO_SNDBUF of every connection (the kernel doubles it): a reply fits
    int receiveBufferBytes = 16384;     // SO_RCVBUF: requests are small
    int blockingThreads = 2;            // run commits of registrations and rises (overlap on PostgreSQL)
    // Reverse proxies ("10.0.0.0/8", "::1/128", ...). A request from one of them is taken to
    // come from the right-most X-Forwarded-For address that is not itself a trusted proxy
    // (the peer, when there is none), for every budget, and on no connection of its own; the
    // per-address connection caps do not count a trusted proxy. (With proxyProtocol, below,
    // the client its PROXY header names instead, on the connection.)
    std::vector<std::string> trustedProxies;
    // The game listener expects a PROXY protocol header (v1 or v2) first on every connection,
    // from a trusted proxy only, and takes its client address for the connection's whole life:
    // every cap and budget. Anything else (no header, a malformed one, another peer) is closed
    // unanswered and counted. Needs trustedProxies.
    bool proxyProtocol = false;
};

class HttpServer {
public:
    // decide runs on the connection's event loop; a decision to commit a change runs commit
    // on a blocking thread, and its reply is written back from the event loop.
    // file, when set, answers the game port's requests for the web game's files before decide
    // sees them (nothing when the path names no file): given the request and its
    // If-None-Match header.
    struct Handler {
        std::function<Decision(const HttpRequest&)> decide;
        std::function<HttpResponse(const Commit&)> commit;
        std::function<std::optional<HttpResponse>(const HttpRequest&, std::string_view ifNoneMatch)> file = nullptr;
    };
    HttpServer(ServerOptions options, Handler handler, Metrics& metrics);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts the threads; false with a message when an address cannot be used.
    bool start(std::string& error);
    // Stops accepting, closes every connection and joins the threads.
    void stop();
    uint16_t port() const;
    uint16_t adminPort() const;
    size_t connections() const;
    // Connections each game loop serves, in loop order; a new one goes to the least busy.
    std::vector<uint64_t> loopConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What the socket side sends before a response's body: the status line and header lines,
// the blank line included. The usual reply's fixed bytes (200 on the game port, plain text, no
// further header lines: every ranking reply and check) are prepared once; only its length and
// the lines after it are written per request, without allocating. Sent as pieces of the
// reply's one gather write.
struct ReplyHead {
    std::string_view fixed;      // prepared once, up to "Content-Length: "; or empty
    char tail[128];              // the rest, when it fits
    size_t size = 0;             // of tail
    std::string general;         // the rest, when it does not (a web file's further headers)
    std::string_view rest() const { return general.empty() ? std::string_view(tail, size) : std::string_view(general); }
};
void replyHead(const HttpResponse& response, unsigned version, bool keepAlive, bool admin, ReplyHead& out);

// The key of a peer address for caps and budgets: IPv4 (also IPv4-mapped IPv6) by address,
// other IPv6 by its /64, the block one subscriber usually holds. Never 0.
uint64_t addressKey(const unsigned char* bytes, size_t length);

}  // namespace orlith::server
