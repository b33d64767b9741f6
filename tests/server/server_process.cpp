// Child-process control and loopback clients of the server integration tests.
#include "server/server_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "server/server_test_util.h"

namespace orlith::server::test {

namespace {

using Clock = std::chrono::steady_clock;

// One request on handle c; a fresh handle is cleaned up afterwards.
HttpResult perform(CURL* c, const std::string& url, bool fresh) {
    HttpResult r;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
    });
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    if (curl_easy_perform(c) == CURLE_OK) {
        curl_off_t bytes = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &r.newConnections);
        curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
        r.wireBytes = static_cast<long>(bytes);
    }
    if (fresh) curl_easy_cleanup(c);
    return r;
}

void setLimit(int resource, long value) {
    rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    setrlimit(resource, &limit);
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
    std::vector<std::string> argv = {ORLITH_SERVER_BINARY, "--host", "127.0.0.1", "--port", "0",
                                     "--admin-port", "0", "--threads", "2"};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        if (user && (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) _exit(127);
        dieWithParent(SIGKILL, parent);  // after setuid, which clears it
        if (openFileLimit > 0) setLimit(RLIMIT_NOFILE, openFileLimit);
        if (fileSizeLimit > 0) {
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails (EFBIG) instead of ending the process
            setLimit(RLIMIT_FSIZE, fileSizeLimit);
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
    for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
        readOutput(50);
        std::smatch m;
        if (std::regex_search(output_, m, listening)) {
            port_ = std::stoi(m[1]);
            adminPort_ = std::stoi(m[2]);
            return true;
        }
        int status;
        if (exited(status)) return false;
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

bool ServerProcess::exited(int& status) {
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    readOutput(20);
    return true;
}

int ServerProcess::stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(15); Clock::now() < deadline; readOutput(20)) {
        if (exited(status)) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

HttpResult ServerProcess::get(const std::string& target) {
    if (!curl_) curl_ = curl_easy_init();
    return perform(static_cast<CURL*>(curl_), "http://127.0.0.1:" + std::to_string(port_) + target, false);
}

HttpResult ServerProcess::request(const std::string& target, const std::string& source, bool gzip, int port) {
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_INTERFACE, ("host!" + source).c_str());
    if (gzip) curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "gzip");
    return perform(c, "http://127.0.0.1:" + std::to_string(port ? port : port_) + target, true);
}

void dieWithParent(int signal, pid_t parent) {
    // A test binary killed by a time-out or a crash runs no destructor: its children must not
    // outlive it holding ports and files.
    prctl(PR_SET_PDEATHSIG, signal);
    if (getppid() != parent) _exit(127);  // it died before the line above
}

int connectLoopback(int port, const char* source) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    return -1;
}

bool eventually(const std::function<bool()>& done, int limitMs) {
    for (auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (done()) return true;
        if (Clock::now() > deadline) return false;
    }
}

std::string readFor(int fd, int timeoutMs, bool& closed) {
    std::string out;
    closed = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return out;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return closed = true, out;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string exchangeRaw(int port, const std::string& bytes, const char* source) {
    int fd = connectLoopback(port, source);
    if (fd < 0) return {};
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    bool closed;
    std::string out = readFor(fd, 30000, closed);
    close(fd);
    return out;
}

void expectLoudFault(ServerProcess& s, const std::string& reason) {
    HttpResult health;
    // Until the fault itself is named: a busy machine may show a flush lag first.
    EXPECT_TRUE(eventually([&] { return (health = s.admin("/healthz")).body.find(reason) != std::string::npos; }))
        << reason << ": " << health.body;
    EXPECT_EQ(health.status, 503) << reason;
    EXPECT_EQ(s.get(rankingTarget(u"newcomer", StateFields{})).status, 503) << reason;
    EXPECT_EQ(s.get(rankingTarget(u"a", StateFields{.level = 2, .steps = 6})).status, 503) << reason;
    EXPECT_EQ(s.get(rankingTarget(u"a", StateFields{.steps = 6})).status, 200) << "play goes on: " << reason;
}

void expectLastWords(ServerProcess& s, int exitStatus) {
    EXPECT_EQ(s.stop(SIGTERM), exitStatus) << s.output();
    const std::string& out = s.output();
    // Logged once since the database was last written again, however often it failed since.
    size_t faults = 0, cleared = out.rfind("the database is written again");
    for (size_t at = out.find("DATABASE FAULT: ", cleared == std::string::npos ? 0 : cleared); at != std::string::npos;
         at = out.find("DATABASE FAULT: ", at + 1))
        ++faults;
    EXPECT_EQ(faults, 1u) << out;
    if (exitStatus) EXPECT_NE(s.output().find("NOT WRITTEN: the states of 1 players (a)"), std::string::npos) << s.output();
}

}  // namespace orlith::server::test
