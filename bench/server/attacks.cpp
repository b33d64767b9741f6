// orlith-bench-attacks PORT spam|slowloris SECONDS [spread]: two attacks on a running server
// (loopback, sources across 127.0.0.0/8), and what honest players get meanwhile.
//  spam:      2,000 addresses (eight /24s; with "spread", a /24 each) register junk
//             nicknames as fast as they are answered while 115 newcomers, each from a /24 of
//             its own, register one each, spread over the run; prints how many were served.
//  slowloris: 160 addresses, 64 connections each, hold half a request and reopen whatever
//             the server closes, while 50 players from another /24 ask for the ranking every
//             100 ms; prints the players' answers second by second ("spread": as above).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "ranking/ranking.h"

using Clock = std::chrono::steady_clock;

namespace {

int port = 0;

int connectFrom(const std::string& source) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        return fd;
    }
    close(fd);
    return -1;
}

// One request on a new connection; the status, or 0 when the connection failed.
int ask(const std::string& source, const std::string& target) {
    int fd = connectFrom(source);
    if (fd < 0) return 0;
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char head[16] = {};
    ssize_t n = recv(fd, head, sizeof head - 1, MSG_WAITALL);
    close(fd);
    return n >= 12 ? std::atoi(head + 9) : 0;
}

std::string registration(const std::string& nick) {
    std::u16string name = orlith::utf8ToUtf16(nick);
    char16_t pin[9];
    orlith::makePinHash(name, u"73915", pin);
    float pos[3] = {3, 3, 3}, view[3] = {0, 0, -1}, up[3] = {0, 1, 0};
    std::u16string query = u"name=" + name + u"&state=" + orlith::formatStateValue(1700000000u, pin, 1, 0, pos, view, up);
    query += orlith::makeChecksumTag(query);
    return "/state/change.php?" + orlith::utf16ToUtf8(query);
}

std::string address(int a, int b, int c) { return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: orlith-bench-attacks PORT spam|slowloris SECONDS [spread]\n");
        return 2;
    }
    port = std::atoi(argv[1]);
    const std::string attack = argv[2];
    const int seconds = std::atoi(argv[3]);
    const bool spread = argc > 4 && std::string(argv[4]) == "spread";
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::atomic<bool> stop{false};
    std::vector<std::thread> attackers;
    if (attack == "spam") {
        std::atomic<long> accepted{0}, refused{0};
        for (int t = 0; t < 4; ++t) {
            attackers.emplace_back([&, t] {
                for (long i = t; !stop; i += 4) {
                    int a = static_cast<int>(i % 2000);
                    const std::string from = spread ? address(10 + a / 250, a % 250, 1) : address(1, a / 250, a % 250 + 1);
                    int st = ask(from, registration("junk" + std::to_string(i)));
                    (st == 200 ? accepted : refused)++;
                }
            });
        }
        int served = 0;
        for (int k = 0; k < 115; ++k) {
            std::this_thread::sleep_until(Clock::now() + std::chrono::milliseconds(seconds * 1000 / 115));
            served += ask(address(2, k, 1), registration("newcomer" + std::to_string(k))) == 200;
        }
        stop = true;
        for (auto& t : attackers) t.join();
        std::printf("newcomers served %d of 115; junk accepted %ld, refused %ld\n", served, accepted.load(), refused.load());
        return 0;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    // The attack: one thread keeps 10,240 half requests open, reopening what is closed.
    attackers.emplace_back([&] {
        std::vector<pollfd> fds;
        std::vector<std::string> sources;
        for (int a = 0; a < 160; ++a) {
            for (int c = 0; c < 64; ++c) sources.push_back(spread ? address(3, a, 1) : address(3, 0, a + 1));
        }
        const char partial[] = "GET /state/change.php?mode=check HTTP/1.1\r\nHost: x\r\n";
        auto open = [&](size_t i) {
            int fd = connectFrom(sources[i]);
            if (fd >= 0) send(fd, partial, sizeof partial - 1, MSG_NOSIGNAL);
            return fd;
        };
        for (size_t i = 0; i < sources.size(); ++i) fds.push_back({open(i), POLLIN, 0});
        char buf[4096];
        while (!stop) {
            poll(fds.data(), fds.size(), 100);
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd >= 0 && !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (fds[i].fd >= 0 && recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT) > 0) continue;  // read the 408 or 503 first
                if (fds[i].fd >= 0) close(fds[i].fd);
                fds[i].fd = open(i);
                fds[i].revents = 0;
            }
        }
        for (auto& p : fds) if (p.fd >= 0) close(p.fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the attack in place
    std::vector<std::atomic<int>> okPerSecond(static_cast<size_t>(seconds) + 1), allPerSecond(static_cast<size_t>(seconds) + 1);
    const auto begun = Clock::now();
    std::vector<std::thread> players;
    for (int p = 0; p < 50; ++p) {
        players.emplace_back([&, p] {
            while (Clock::now() < end) {
                int st = ask(address(4, 0, p + 1), "/state/change.php?mode=check");
                auto s = static_cast<size_t>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begun).count());
                if (s < okPerSecond.size()) okPerSecond[s] += st == 200, allPerSecond[s]++;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    for (auto& t : players) t.join();
    stop = true;
    for (auto& t : attackers) t.join();
    int ok = 0, all = 0;
    for (size_t s = 0; s < okPerSecond.size(); ++s) {
        std::printf("second %zu: %d of %d served\n", s, okPerSecond[s].load(), allPerSecond[s].load());
        ok += okPerSecond[s], all += allPerSecond[s];
    }
    std::printf("players served %d of %d requests\n", ok, all);
    return 0;
}
