// The Boost.Beast socket loop of the ranking server. Kept to this one translation unit: Beast
// is slow to compile, and everything that decides an answer lives in handler.cpp.
#include "http_server.h"

// Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
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
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Shared& shared) : stream_(std::move(socket)), shared_(shared) {}
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
            auto res = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
            res->set(http::field::content_type, "text/plain; charset=utf-8");
            res->body() = status == 431 ? "request header fields too large\r\n" : "bad request\r\n";
            res->keep_alive(false);
            res->prepare_payload();
            return write(std::move(res));
        }
        const auto& req = parser_->get();
        HttpRequest request{std::string_view(req.method_string().data(), req.method_string().size()),
                            std::string_view(req.target().data(), req.target().size())};
        HttpResponse out = shared_.handler(request);
        auto res = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(out.status),
                                                                        req.version());
        res->set(http::field::content_type, out.contentType);
        res->keep_alive(req.keep_alive());
        res->body() = std::move(out.body);
        res->prepare_payload();
        write(std::move(res));
    }

    void write(std::shared_ptr<http::response<http::string_body>> res) {
        stream_.expires_after(std::chrono::milliseconds(shared_.options.idleTimeoutMs));
        http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
            if (ec || !res->keep_alive()) return self->close();
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
    uint16_t port = 0;
};

HttpServer::HttpServer(ServerOptions options, Handler handler, Metrics& metrics)
    : impl_(new Impl{Shared{std::move(options), std::move(handler), metrics, {}}, {}, {}, 0}) {}

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
    for (auto& loop : impl_->loops) impl_->threads.emplace_back([l = loop.get()] { l->run(); });
    return true;
}

void HttpServer::stop() {
    for (auto& loop : impl_->loops) loop->stop();
    for (auto& t : impl_->threads) t.join();
    impl_->threads.clear();
    impl_->loops.clear();
}

uint16_t HttpServer::port() const { return impl_->port; }
size_t HttpServer::connections() const { return impl_->shared.connections.load(); }

}  // namespace orlith::server
