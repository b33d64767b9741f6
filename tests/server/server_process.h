// The real orlith-server as a child process on a loopback port, and small HTTP clients for
// it (libcurl for ordinary requests, raw sockets for what curl will not send).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "server/server_test_util.h"  // TempDir

namespace orlith::server::test {

struct HttpResult {
    long status = 0;
    std::string body;
    long newConnections = 0;  // connections curl opened for this request
    long wireBytes = 0;       // body bytes as sent (compressed, when gzip)
};

class ServerProcess {
public:
    ~ServerProcess();
    // Starts the binary with args (plus --host 127.0.0.1 --port 0) in directory cwd, as user
    // runAs when not empty. Returns false if it exits or prints no port within 30 s.
    bool start(const std::vector<std::string>& args, const std::string& cwd = ".", const std::string& runAs = "");
    // Sends sig and waits for the exit; returns the exit status (or 128 + signal), -1 if none.
    int stop(int sig);
    int openFileLimit = 0;  // when set, the child's RLIMIT_NOFILE (soft and hard)
    long fileSizeLimit = 0; // when set, the child's RLIMIT_FSIZE: a full disk for its files
    int port() const { return port_; }
    int adminPort() const { return adminPort_; }
    const std::string& output() const { return output_; }  // stdout and stderr so far
    HttpResult get(const std::string& target);  // one curl handle, kept alive across calls
    // From a source address (127.0.0.x), asking for gzip (curl inflates it), on a fresh handle;
    // to another port (a proxy in front) when port is set.
    HttpResult request(const std::string& target, const std::string& source, bool gzip = false, int port = 0);
    HttpResult admin(const std::string& target) { return request(target, "127.0.0.1", false, adminPort_); }

private:
    void readOutput(int timeoutMs);
    bool exited(int& status);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int port_ = 0;
    int adminPort_ = 0;
    std::string output_;
    void* curl_ = nullptr;
};

// Asks done() every 20 ms until it holds; false after limitMs, a safety net far beyond any
// wait the server needs on a loaded machine, never a measure of its speed.
bool eventually(const std::function<bool()>& done, int limitMs = 30000);
// In a forked child: the signal it gets when the test process ends, however it ends.
void dieWithParent(int signal, pid_t parent);
// Connects to 127.0.0.1:port from the given loopback source address; -1 on failure.
int connectLoopback(int port, const char* source = "127.0.0.1");
// Sends bytes from the source address and reads until the peer closes (within 30 s).
std::string exchangeRaw(int port, const std::string& bytes, const char* source = "127.0.0.1");
// Reads what arrives on fd until the peer closes or timeoutMs passes; sets closed when it closed.
std::string readFor(int fd, int timeoutMs, bool& closed);

// What a server must do once its database is harmed: /healthz fails with the reason, a new
// nickname and a rise (of the player "a", registered at the start of level 1, whose 6 cells
// the second allowed for a request to arrive already covers) get 503 while play goes on.
void expectLoudFault(ServerProcess& s, const std::string& reason);
// Then SIGTERM: the exit status, and the fault and what was not written (the state of "a") named.
void expectLastWords(ServerProcess& s, int exitStatus);

}  // namespace orlith::server::test
