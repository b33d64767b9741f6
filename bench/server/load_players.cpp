// Drives N players against a ranking server the way the game does: each on its own kept-alive
// connection, sending its next state as soon as the previous reply has arrived, at most once a
// frame (60 a second), moving one step per request. Reports requests a second, latency
// percentiles (send to whole reply) and bytes received per player per second.
// Usage: orlith-bench-players PORT PLAYERS SECONDS [gzip] [first-player]
// The players are "player<first>".."player<first+N-1>" with PIN 73915 (see make_db.cpp).
#include <utility>  // Boost 1.74's asio needs it first

#include <boost/asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "ranking/ranking.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

struct Stats {
    Clock::time_point from, to;
    std::vector<double> latencyMs;
    long bytes = 0, requests = 0, failures = 0;
};

class Player : public std::enable_shared_from_this<Player> {
public:
    Player(asio::io_context& io, int index, bool gzip, Stats& stats)
        : socket_(io), timer_(io), gzip_(gzip), stats_(stats) {
        name_ = orlith::utf8ToUtf16("player" + std::to_string(index));
        orlith::makePinHash(name_, u"73915", pin_);
        x_ = static_cast<float>(3 + index % 5);
    }
    void start(const tcp::endpoint& server) {
        socket_.async_connect(server, [self = shared_from_this()](boost::system::error_code ec) {
            if (ec) return self->fail();
            self->socket_.set_option(tcp::no_delay(true));
            self->send();
        });
    }

private:
    void send() {
        ++steps_;
        float pos[3] = {x_ + 0.01f * static_cast<float>(steps_ % 100), 3.0f, 3.0f}, view[3] = {0, 0, 1}, up[3] = {0, 1, 0};
        std::u16string query = u"name=" + name_ + u"&state=" +
                               orlith::formatStateValue(static_cast<uint32_t>(std::time(nullptr)), pin_, 1, steps_, pos, view, up);
        query += orlith::makeChecksumTag(query);
        request_ = "GET /state/change.php?" + orlith::utf16ToUtf8(query) + " HTTP/1.1\r\nHost: bench\r\n" +
                   (gzip_ ? "Accept-Encoding: gzip\r\n" : "") + "\r\n";
        sent_ = Clock::now();
        asio::async_write(socket_, asio::buffer(request_), [self = shared_from_this()](boost::system::error_code ec, size_t) {
            if (ec) return self->fail();
            self->readHead();
        });
    }
    void readHead() {
        asio::async_read_until(socket_, asio::dynamic_buffer(in_), "\r\n\r\n",
                               [self = shared_from_this()](boost::system::error_code ec, size_t headLength) {
                                   if (ec) return self->fail();
                                   self->readBody(headLength);
                               });
    }
    void readBody(size_t headLength) {
        size_t at = in_.find("Content-Length: ");
        size_t length = at < headLength ? std::strtoul(in_.c_str() + at + 16, nullptr, 10) : 0;
        ok_ = in_.compare(0, 12, "HTTP/1.1 200") == 0;
        size_t total = headLength + length;
        size_t missing = in_.size() >= total ? 0 : total - in_.size();
        asio::async_read(socket_, asio::dynamic_buffer(in_), asio::transfer_exactly(missing),
                         [self = shared_from_this(), total](boost::system::error_code ec, size_t) {
                             if (ec) return self->fail();
                             self->done(total);
                         });
    }
    void done(size_t total) {
        Clock::time_point now = Clock::now();
        in_.erase(0, total);
        if (now >= stats_.from && now < stats_.to) {
            stats_.latencyMs.push_back(std::chrono::duration<double, std::milli>(now - sent_).count());
            stats_.bytes += static_cast<long>(total);
            ++stats_.requests;
            stats_.failures += !ok_;
        }
        if (now >= stats_.to) return socket_.close();
        // The game sends at most once a frame.
        timer_.expires_at(std::max(now, sent_ + std::chrono::microseconds(16667)));
        timer_.async_wait([self = shared_from_this()](boost::system::error_code) { self->send(); });
    }
    void fail() {
        ++stats_.failures;
        socket_.close();
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    std::u16string name_;
    char16_t pin_[9];
    float x_;
    int32_t steps_ = 0;
    bool gzip_, ok_ = false;
    std::string request_, in_;
    Clock::time_point sent_;
    Stats& stats_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: orlith-bench-players PORT PLAYERS SECONDS [gzip] [first-player]\n");
        return 2;
    }
    int port = std::atoi(argv[1]), players = std::atoi(argv[2]);
    double seconds = std::atof(argv[3]);
    bool gzip = argc > 4 && std::string(argv[4]) == "gzip";
    int first = argc > 5 ? std::atoi(argv[5]) : 0;
    asio::io_context io(1);
    Stats stats;
    // Two seconds to connect and settle, then the measured window.
    stats.from = Clock::now() + std::chrono::seconds(2);
    stats.to = stats.from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    tcp::endpoint server(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    for (int i = 0; i < players; ++i) std::make_shared<Player>(io, first + i, gzip, stats)->start(server);
    io.run();
    std::vector<double>& l = stats.latencyMs;
    std::sort(l.begin(), l.end());
    auto pct = [&](double p) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<size_t>(p * static_cast<double>(l.size())))]; };
    std::printf("players=%d gzip=%d req/s=%.0f per-player=%.1f p50-ms=%.2f p99-ms=%.2f bytes/player/s=%.0f failures=%ld\n",
                players, gzip ? 1 : 0, static_cast<double>(stats.requests) / seconds,
                static_cast<double>(stats.requests) / seconds / players, pct(0.5), pct(0.99),
                static_cast<double>(stats.bytes) / seconds / players, stats.failures);
    return 0;
}
