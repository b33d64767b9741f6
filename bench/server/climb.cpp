// The climbing script: registers a nickname, then asks for the next level as often as the
// server answers, its step count far ahead of any path, on one kept-alive connection, and
// prints the level it holds after every second. A server that lets only walked progress
// through holds it to the time the levels' shortest paths take.
// Usage: orlith-bench-climb PORT SECONDS [nickname]
#include <utility>  // Boost 1.74's asio needs it first

#include <boost/asio.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <map>
#include <string>

#include "base/text.h"
#include "ranking/ranking.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: orlith-bench-climb PORT SECONDS [nickname]\n");
        return 2;
    }
    const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
    const int seconds = std::atoi(argv[2]);
    const std::u16string name = orlith::utf8ToUtf16(argc > 3 ? argv[3] : "climber");
    char16_t pin[9];
    orlith::makePinHash(name, u"73915", pin);
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    socket.set_option(tcp::no_delay(true));
    asio::streambuf in;
    // One request and its whole reply; the status.
    auto ask = [&](int32_t level, int32_t steps) {
        float pos[3] = {3, 3, 3}, view[3] = {0, 0, -1}, up[3] = {0, 1, 0};
        std::u16string query = u"name=" + name + u"&state=" + orlith::formatStateValue(1700000000u, pin, level, steps, pos, view, up);
        query += orlith::makeChecksumTag(query);
        std::string request = "GET /state/change.php?" + orlith::utf16ToUtf8(query) + " HTTP/1.1\r\nHost: climb\r\n\r\n";
        asio::write(socket, asio::buffer(request));
        size_t head = asio::read_until(socket, in, "\r\n\r\n");
        std::string header(asio::buffers_begin(in.data()), asio::buffers_begin(in.data()) + static_cast<long>(head));
        in.consume(head);
        size_t at = header.find("Content-Length: ");
        size_t length = at == std::string::npos ? 0 : std::stoul(header.substr(at + 16));
        if (in.size() < length) asio::read(socket, in, asio::transfer_exactly(length - in.size()));
        in.consume(length);
        return std::atoi(header.c_str() + 9);
    };
    int32_t level = 1;
    if (ask(level, 0) != 200) {
        std::fprintf(stderr, "registration refused\n");
        return 1;
    }
    std::map<int, long> statuses;
    const auto start = std::chrono::steady_clock::now();
    int reported = 0;
    for (;;) {
        int elapsed = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
        for (; reported < elapsed && reported < seconds; ++reported) std::printf("after %d s: level %d\n", reported + 1, level);
        if (elapsed >= seconds) break;
        int status = ask(level + 1, 1'000'000 * (level + 1));
        ++statuses[status];
        if (status == 200) ++level;
    }
    std::printf("requests:");
    for (auto [status, n] : statuses) std::printf(" %ld x %d", n, status);
    std::printf("\n");
    return 0;
}
