// The Boost.Beast socket loop of the ranking server. Kept to this one translation unit: Beast
// is slow to compile, and everything that decides an answer lives in handler.cpp.
#include "http_server.h"

// Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace orlith::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using reuse_port = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

namespace {

struct Shared {
    ServerOptions options;
    HttpServer::Handler handler;
    Metrics& metrics;
    std::atomic<size_t> connections{0};
    asio::thread_pool* blocking = nullptr;  // requests that wait for a database commit
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Shared& shared) : stream_(std::move(socket)), shared_(shared) {
        beast::error_code ec;
        auto peer = stream_.socket().remote_endpoint(ec);
        if (ec) return;
        // A key per address: IPv4 as its number plus one, IPv6 hashed with the top bit set.
        auto address = peer.address();
        if (address.is_v4()) {
            client_ = uint64_t{address.to_v4().to_uint()} + 1;
        } else {
            auto bytes = address.to_v6().to_bytes();
            uint64_t h = 1469598103934665603ull;
            for (unsigned char b : bytes) h = (h ^ b) * 1099511628211ull;
            client_ = h | (uint64_t{1} << 63);
        }
    }
    ~Session() { shared_.connections.fetch_sub(1); }

    void start() { read(); }

private:
    void read() {
        parser_.emplace();
        parser_->header_limit(shared_.options.headerLimit);
        parser_->body_limit(0);
        // One deadline for the whole request: a slow drip of header bytes is cut off too.
        stream_.expires_after(std::chrono::milliseconds(shared_.options.idleTimeoutMs));
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::eof ||
            ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
            return close();
        }
        if (ec) {
            // Malformed input: answer once and close, since the stream cannot be resynchronised.
            int status = ec == http::error::header_limit ? 431 : ec == http::error::body_limit ? 413 : 400;
            shared_.metrics.count(status);
            response_ = HttpResponse{status, status == 431 ? "request header fields too large\r\n" : "bad request\r\n"};
            return write(11, false);
        }
        const auto& req = parser_->get();
        HttpRequest request{std::string_view(req.method_string().data(), req.method_string().size()),
                            std::string_view(req.target().data(), req.target().size()), client_};
        Decision decision = shared_.handler.decide(request);
        if (!decision.registration) {
            response_ = std::move(decision.response);
            return write(req.version(), req.keep_alive());
        }
        // A new nickname waits for its commit on a blocking thread, so this loop's other
        // connections are not held up by the disk. Nothing reads this connection meanwhile.
        asio::post(*shared_.blocking, [self = shared_from_this(), registration = std::move(*decision.registration)] {
            HttpResponse answer = self->shared_.handler.commit(registration);
            asio::post(self->stream_.get_executor(), [self, answer = std::move(answer)]() mutable {
                self->response_ = std::move(answer);
                const auto& r = self->parser_->get();
                self->write(r.version(), r.keep_alive());
            });
        });
    }

    // The status line and headers are written here rather than by Beast's serializer, so the
    // body can go out as a gather write of the reply's own part and the shared view's slices.
    void write(unsigned version, bool keepAlive) {
        keepAlive_ = keepAlive;
        const ReplyText& body = response_.body;
        head_.clear();
        head_ += version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
        head_ += std::to_string(response_.status);
        head_ += ' ';
        beast::string_view reason = http::obsolete_reason(static_cast<http::status>(response_.status));
        head_.append(reason.data(), reason.size());
        head_ += "\r\nContent-Type: ";
        head_ += response_.contentType;
        head_ += "\r\nContent-Length: ";
        head_ += std::to_string(body.size());
        // The same Connection header Beast would set: only where the version's default differs.
        if (version == 10 && keepAlive) head_ += "\r\nConnection: keep-alive";
        if (version != 10 && !keepAlive) head_ += "\r\nConnection: close";
        head_ += "\r\n\r\n";
        size_t n = 0;
        buffers_[n++] = asio::buffer(head_);
        if (!body.own.empty()) buffers_[n++] = asio::buffer(body.own);
        for (uint8_t i = 0; i < body.sliceCount; ++i) buffers_[n++] = asio::buffer(body.slices[i]);
        stream_.expires_after(std::chrono::milliseconds(shared_.options.idleTimeoutMs));
        asio::async_write(stream_, std::span<const asio::const_buffer>(buffers_.data(), n),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->response_ = {};  // lets go of the view at once
                              if (ec || !self->keepAlive_) return self->close();
                              self->read();
                          });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    Shared& shared_;
    HttpResponse response_;   // kept until written: its slices point into a shared view
    std::string head_;        // reused: its capacity stays with the connection
    std::array<asio::const_buffer, 2 + std::tuple_size_v<decltype(ReplyText::slices)>> buffers_;
    bool keepAlive_ = true;
    uint64_t client_ = 0;
};

// One event loop, one listening socket (SO_REUSEPORT lets the kernel spread connections).
class Loop {
public:
    explicit Loop(Shared& shared) : shared_(shared), acceptor_(ioc_), retry_(ioc_) {}

    bool listen(const tcp::endpoint& endpoint, std::string& error) {
        beast::error_code ec;
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.set_option(reuse_port(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) acceptor_.non_blocking(true, ec);  // the accepts after a completion never wait
        if (ec) {
            error = "cannot listen on " + endpoint.address().to_string() + ":" + std::to_string(endpoint.port()) +
                    ": " + ec.message();
            return false;
        }
        return true;
    }
    uint16_t port() const { return acceptor_.local_endpoint().port(); }
    void run() {
        accept();
        ioc_.run();
    }
    void stop() { ioc_.stop(); }

private:
    void accept() {
        acceptor_.async_accept(ioc_, [this](beast::error_code ec, tcp::socket socket) {
            if (ec) {
                // Out of descriptors or similar: pause briefly instead of spinning.
                retry_.expires_after(std::chrono::milliseconds(20));
                retry_.async_wait([this](beast::error_code) { accept(); });
                return;
            }
            onAccept(std::move(socket));
            // Take whatever else is queued now: with a thousand clients connecting at once,
            // one accept per trip through a busy loop leaves the last ones waiting for seconds.
            for (int i = 0; i < 256; ++i) {
                tcp::socket next(ioc_);
                acceptor_.accept(next, ec);
                if (ec) break;
                onAccept(std::move(next));
            }
            accept();
        });
    }

    void onAccept(tcp::socket socket) {
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        if (shared_.connections.fetch_add(1) >= shared_.options.maxConnections) {
            shared_.connections.fetch_sub(1);
            shared_.metrics.count(503);
            static const char kFull[] =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            auto s = std::make_shared<tcp::socket>(std::move(socket));
            asio::async_write(*s, asio::buffer(kFull, sizeof kFull - 1), [s](beast::error_code, size_t) {
                beast::error_code e;
                s->shutdown(tcp::socket::shutdown_both, e);
                s->close(e);
            });
            return;
        }
        std::make_shared<Session>(std::move(socket), shared_)->start();
    }

    Shared& shared_;
    asio::io_context ioc_{1};
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
};

}  // namespace

struct HttpServer::Impl {
    Shared shared;
    std::vector<std::unique_ptr<Loop>> loops;
    std::vector<std::thread> threads;
    std::unique_ptr<asio::thread_pool> blocking;
    uint16_t port = 0;
};

HttpServer::HttpServer(ServerOptions options, Handler handler, Metrics& metrics)
    : impl_(new Impl{Shared{std::move(options), std::move(handler), metrics, {}, nullptr}, {}, {}, {}, 0}) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& error) {
    const ServerOptions& o = impl_->shared.options;
    beast::error_code ec;
    auto address = asio::ip::make_address(o.host, ec);
    if (ec) {
        error = "--host " + o.host + " is not an IP address";
        return false;
    }
    uint16_t port = o.port;
    int threads = o.threads < 1 ? 1 : o.threads;
    for (int i = 0; i < threads; ++i) {
        auto loop = std::make_unique<Loop>(impl_->shared);
        // The first socket may take any free port; the others join that same port.
        if (!loop->listen(tcp::endpoint(address, port), error)) return false;
        port = loop->port();
        impl_->loops.push_back(std::move(loop));
    }
    impl_->port = port;
    impl_->blocking = std::make_unique<asio::thread_pool>(std::max(1, o.blockingThreads));
    impl_->shared.blocking = impl_->blocking.get();
    for (auto& loop : impl_->loops) impl_->threads.emplace_back([l = loop.get()] { l->run(); });
    return true;
}

void HttpServer::stop() {
    for (auto& loop : impl_->loops) loop->stop();
    for (auto& t : impl_->threads) t.join();
    impl_->threads.clear();
    // Commits under way finish first (they post their replies to the loops' queues, which
    // must still exist); the loops' destruction then drops those replies with the sessions.
    if (impl_->blocking) impl_->blocking->join();
    impl_->loops.clear();
    impl_->blocking.reset();
}

uint16_t HttpServer::port() const { return impl_->port; }
size_t HttpServer::connections() const { return impl_->shared.connections.load(); }

}  // namespace orlith::server
