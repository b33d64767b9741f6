// Child-process control and loopback clients of the server integration tests.
#include "server/server_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "server/server_test_util.h"

namespace orlith::server::test {

namespace {

size_t collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

}  // namespace

ServerProcess::~ServerProcess() {
    if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
    if (pid_ > 0) stop(SIGKILL);
    if (outFd_ >= 0) close(outFd_);
}

bool ServerProcess::start(const std::vector<std::string>& args, const std::string& cwd, const std::string& runAs) {
    // Started again: the last run's output and port are gone.
    if (outFd_ >= 0) close(outFd_);
    output_.clear();
    int fds[2];
    if (pipe(fds) != 0) return false;
    // The user is taken on in the child itself, so signals and the exit status are the server's.
    const passwd* user = runAs.empty() ? nullptr : getpwnam(runAs.c_str());
    if (!runAs.empty() && !user) return false;
    std::vector<std::string> argv;
    argv.push_back(ORLITH_SERVER_BINARY);
    argv.insert(argv.end(), {"--host", "127.0.0.1", "--port", "0", "--admin-port", "0", "--threads", "2"});
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        if (user && (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) _exit(127);
        if (openFileLimit > 0) {
            rlimit limit{static_cast<rlim_t>(openFileLimit), static_cast<rlim_t>(openFileLimit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (fileSizeLimit > 0) {
            // A write past the limit then fails (EFBIG) instead of ending the process.
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> cargs;
        for (auto& a : argv) cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execvp(cargs[0], cargs.data());
        _exit(127);
    }
    close(fds[1]);
    outFd_ = fds[0];
    fcntl(outFd_, F_SETFL, O_NONBLOCK);
    std::regex listening("listening on [0-9.]+:([0-9]+).* admin on [0-9.]+:([0-9]+)");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        readOutput(50);
        std::smatch m;
        if (std::regex_search(output_, m, listening)) {
            port_ = std::stoi(m[1]);
            adminPort_ = std::stoi(m[2]);
            return true;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            readOutput(50);
            return false;
        }
    }
    return false;
}

void ServerProcess::readOutput(int timeoutMs) {
    pollfd p{outFd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return;
    char buf[4096];
    ssize_t n;
    while ((n = read(outFd_, buf, sizeof buf)) > 0) output_.append(buf, static_cast<size_t>(n));
}

int ServerProcess::waitExit() {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        readOutput(20);
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            readOutput(20);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    return -1;
}

int ServerProcess::stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int rc = waitExit();
    if (rc == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return rc;
}

std::string ServerProcess::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

HttpResult ServerProcess::admin(const std::string& target) {
    HttpResult r;
    CURL* c = curl_easy_init();
    std::string u = "http://127.0.0.1:" + std::to_string(adminPort_) + target;
    curl_easy_setopt(c, CURLOPT_URL, u.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(c);
    return r;
}

HttpResult ServerProcess::request(const std::string& target, const std::string& source, bool gzip) {
    HttpResult r;
    CURL* c = curl_easy_init();
    std::string u = url(target);
    curl_easy_setopt(c, CURLOPT_URL, u.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_INTERFACE, ("host!" + source).c_str());
    if (gzip) curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "gzip");
    if (curl_easy_perform(c) == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        curl_off_t bytes = 0;
        curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
        r.wireBytes = static_cast<long>(bytes);
    }
    curl_easy_cleanup(c);
    return r;
}

HttpResult ServerProcess::get(const std::string& target) {
    if (!curl_) curl_ = curl_easy_init();
    CURL* c = static_cast<CURL*>(curl_);
    HttpResult r;
    std::string u = url(target);
    curl_easy_setopt(c, CURLOPT_URL, u.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    if (curl_easy_perform(c) == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &r.newConnections);
    }
    return r;
}

int connectLoopback(int port, const char* source) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string readFor(int fd, int timeoutMs, bool& closed) {
    std::string out;
    closed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string exchangeRaw(int port, const std::string& bytes, int timeoutMs) {
    int fd = connectLoopback(port);
    if (fd < 0) return {};
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    bool closed;
    std::string out = readFor(fd, timeoutMs, closed);
    close(fd);
    return out;
}

namespace {

// Polls /healthz until it fails: the failing reply, and how long it took (up to 3 s).
std::pair<HttpResult, std::chrono::milliseconds> untilUnhealthy(ServerProcess& s) {
    auto t0 = std::chrono::steady_clock::now();
    HttpResult h;
    do {
        h = s.admin("/healthz");
        if (h.status != 200) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3));
    return {h, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)};
}

}  // namespace

void expectLoudFault(ServerProcess& s, const std::string& reason) {
    auto [health, took] = untilUnhealthy(s);
    EXPECT_EQ(health.status, 503) << reason;
    EXPECT_NE(health.body.find(reason), std::string::npos) << health.body;
    EXPECT_LT(took, std::chrono::milliseconds(1000)) << reason;
    EXPECT_EQ(s.get(rankingTarget(u"newcomer", StateFields{})).status, 503) << reason;
    StateFields a;
    a.steps = 6;
    a.level = 2;  // a third of a second after the registration: a rise that was walked
    EXPECT_EQ(s.get(rankingTarget(u"a", a)).status, 503) << reason;
    a.level = 1;
    EXPECT_EQ(s.get(rankingTarget(u"a", a)).status, 200) << "play goes on: " << reason;
}

void expectLastWords(ServerProcess& s, int exitStatus) {
    EXPECT_EQ(s.stop(SIGTERM), exitStatus) << s.output();
    EXPECT_NE(s.output().find("DATABASE FAULT: "), std::string::npos) << s.output();
    if (exitStatus) EXPECT_NE(s.output().find("NOT WRITTEN: the states of 1 players (a)"), std::string::npos) << s.output();
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/orlith-server-XXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "";
    chmod(path.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

}  // namespace orlith::server::test
