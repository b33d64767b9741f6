// Ranking server, the socket side: HTTP/1.1 over TCP with keep-alive, one event loop per
// thread (each with its own listening socket on the shared port), idle time-outs and a
// connection cap. Owns: threads, sockets, sessions. Calls: the request handler for each
// parsed request. Called by: main.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "handler.h"

namespace orlith::server {

struct ServerOptions {
    std::string host = "0.0.0.0";
    uint16_t port = 8080;               // 0: any free port (see HttpServer::port)
    int threads = 1;
    int64_t idleTimeoutMs = 30000;      // a request must arrive complete within this
    size_t maxConnections = 10000;      // above this, new connections get 503 and are closed
    uint32_t headerLimit = 8192;        // request line and headers, bytes
    int blockingThreads = 2;            // run requests that wait for a database commit (overlap on PostgreSQL)
};

class HttpServer {
public:
    // decide runs on the connection's event loop; a decision to commit a registration runs
    // commit on a blocking thread, and its reply is written back from the event loop.
    struct Handler {
        std::function<Decision(const HttpRequest&)> decide;
        std::function<HttpResponse(const Registration&)> commit;
    };
    HttpServer(ServerOptions options, Handler handler, Metrics& metrics);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts the threads; false with a message when the address cannot be used.
    bool start(std::string& error);
    // Stops accepting, closes every connection and joins the threads.
    void stop();
    uint16_t port() const;
    size_t connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orlith::server
