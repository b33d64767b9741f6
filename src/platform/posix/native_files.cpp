// Files, clock and calendar on POSIX systems.
#include "platform/native_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace orlith::native {

namespace {

bool writeAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The directory part of a path, "." when it has none.
std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool readFile(const std::string& path, size_t maxBytes, std::string& bytes, int& errorCode) {
    bytes.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errorCode = errno;
        return false;
    }
    char buffer[4096];
    while (bytes.size() < maxBytes) {
        size_t want = std::min(sizeof buffer, maxBytes - bytes.size());
        ssize_t n = ::read(fd, buffer, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            errorCode = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

FileFailure replaceFile(const std::string& path, std::string_view bytes, int& errorCode) {
    // A unique temporary name in the target's directory: rename is only atomic within one
    // file system, and two games in one directory must not share a temporary file.
    std::vector<char> temp(path.begin(), path.end());
    for (char c : std::string_view(".XXXXXX")) temp.push_back(c);
    temp.push_back('\0');
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        errorCode = errno;
        return FileFailure::create;
    }
    // mkstemp makes the file private; a saved game is an ordinary file of the user's.
    ::fchmod(fd, 0644);
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(temp.data());
        errorCode = saved;
        return FileFailure::write;
    }
    if (::rename(temp.data(), path.c_str()) != 0) {
        errorCode = errno;
        ::unlink(temp.data());
        return FileFailure::replace;
    }
    // The rename itself is durable only once the directory is on the disk.
    int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return FileFailure::none;
}

std::string pathInCurrentDirectory(std::string_view name) {
    std::vector<char> buffer(1024);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string(name);
        buffer.resize(buffer.size() * 2);
    }
    std::string path(buffer.data());
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

bool localTime(uint32_t unixSeconds, LocalDateTime& out) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) return false;
    out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
    return true;
}

uint32_t unixTime() { return static_cast<uint32_t>(std::time(nullptr)); }

}  // namespace orlith::native
