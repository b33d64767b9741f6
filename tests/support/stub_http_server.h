// A scripted HTTP server on a loopback port, for the client's tests: every request's target and
// head are recorded and answered with the bytes the test's function returns (after whatever it
// waits); an empty answer holds the connection open without a word until the server stops.
// POSIX sockets, or Winsock on Windows.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orlith::test {

#ifdef _WIN32
using Socket = SOCKET;
inline int closeSocket(Socket s) { return closesocket(s); }
inline int pollSocket(pollfd* p, int timeoutMs) { return WSAPoll(p, 1, timeoutMs); }
constexpr int kShutBoth = SD_BOTH, kNoSignal = 0;
struct SocketsReady {
    SocketsReady() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
// Wine's shutdown wakes no thread blocked on the socket (and its WinINet keeps the client's end
// open in a pool): only closing it does.
constexpr bool kCloseWakes = true;
#else
using Socket = int;
inline int closeSocket(Socket s) { return close(s); }
inline int pollSocket(pollfd* p, int timeoutMs) { return poll(p, 1, timeoutMs); }
constexpr int kShutBoth = SHUT_RDWR, kNoSignal = MSG_NOSIGNAL;
struct SocketsReady {};
constexpr bool kCloseWakes = false;  // shutdown wakes them; closing first could reuse the number
#endif

class StubHttpServer {
public:
    using Answer = std::function<std::string(const std::string& target)>;

    explicit StubHttpServer(Answer answer) : answer_(std::move(answer)) {
        [[maybe_unused]] static SocketsReady ready;  // Winsock once per process
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET, address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener_, 16) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
        accepter_ = std::thread([this] { acceptLoop(); });
    }
    ~StubHttpServer() {
        stopping_ = true;
        accepter_.join();  // no connection is added from here on; a server still records its last request under the lock
        for (Socket fd : connections_) shutdown(fd, kShutBoth);
        if (kCloseWakes) for (Socket fd : connections_) closeSocket(fd);
        for (std::thread& t : servers_) t.join();
        if (!kCloseWakes) for (Socket fd : connections_) closeSocket(fd);
        closeSocket(listener_);
    }

    int port() const { return port_; }
    std::vector<std::string> targets() { return locked(targets_); }
    std::vector<std::string> heads() { return locked(heads_); }  // each request's line and header lines
    int mostInFlight() { return locked(mostInFlight_); }  // exchanges answered at the same time, at most
    size_t connections() { return locked(connections_).size(); }

    // A whole response with status, a length and the body.
    static std::string response(int status, const std::string& body, const std::string& headers = "") {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
               headers + "\r\n" + body;
    }

private:
    template <typename T>
    T locked(const T& value) {
        std::lock_guard<std::mutex> lock(mutex_);
        return value;
    }
    void acceptLoop() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (pollSocket(&p, 20) <= 0) continue;
            Socket fd = accept(listener_, nullptr, nullptr);
            if (fd == static_cast<Socket>(-1)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.push_back(fd);
            servers_.emplace_back([this, fd] { serve(fd); });
        }
    }
    void serve(Socket fd) {
        std::string pending;
        char buffer[4096];
        for (;;) {
            size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                auto n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                pending.append(buffer, static_cast<size_t>(n));
            }
            std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);
            size_t first = head.find(' '), second = head.find(' ', first + 1);
            std::string target = head.substr(first + 1, second - first - 1);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                targets_.push_back(target);
                heads_.push_back(head);
                mostInFlight_ = std::max(mostInFlight_, ++inFlight_);
            }
            std::string reply = answer_(target);
            --inFlight_;
            while (reply.empty() && !stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(10));  // silent
            if (reply.empty()) return;
            for (size_t sent = 0; sent < reply.size();) {
                auto n = send(fd, reply.data() + sent, static_cast<int>(reply.size() - sent), kNoSignal);
                if (n <= 0) return;
                sent += static_cast<size_t>(n);
            }
        }
    }

    Answer answer_;
    Socket listener_ = static_cast<Socket>(-1);
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> inFlight_{0};
    int mostInFlight_ = 0;
    std::mutex mutex_;
    std::vector<std::string> targets_, heads_;
    std::vector<Socket> connections_;
    std::vector<std::thread> servers_;
    std::thread accepter_;
};

}  // namespace orlith::test
