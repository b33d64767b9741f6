// The seams through which the portable game reaches the machine: clock, message box, last error,
// files and local time, and the one error report over them. One implementation per platform
// (sdl/, win32/), fakes in the tests. The core includes this header only; it never sees SDL, GL,
// curl, sockets, POSIX or Windows headers. Input is not here: the platform hands the game a
// snapshot of it each frame (state/input.h); the game never asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error_report.h"

namespace orlith {

enum class MessageKind {
    error,     // OK button, exclamation icon
    question,  // Yes/No buttons, No the default
};

// A calendar moment in the machine's time zone.
struct LocalDateTime {
    int32_t year = 0;    // e.g. 2026
    int32_t month = 0;   // 1..12
    int32_t day = 0;     // 1..31
    int32_t hour = 0;    // 0..23
    int32_t minute = 0;  // 0..59
};

// Local time of a time stamp. Its own seam because the ranking formats need it on any thread
// (the network worker parses replies), and the server needs nothing else of the platform.
class LocalClock {
public:
    virtual ~LocalClock() = default;
    // Seconds since 1970-01-01 UTC (unsigned 32-bit) to local calendar time; false when the
    // system cannot convert it. Must be safe to call from any thread.
    virtual bool localTime(uint32_t unixSeconds, LocalDateTime& out) const = 0;
};

// Which step of an atomic file replacement failed.
enum class FileFailure {
    none,
    create,   // the new file could not be created
    write,    // writing or flushing it failed
    replace,  // it could not take the old file's place
};

class Platform : public LocalClock {
public:
    // Milliseconds from an arbitrary origin; wraps at 2^32 like the tick count it stands for.
    virtual uint32_t tickCount() = 0;
    virtual void sleepMs(uint32_t ms) = 0;

    // Shows a modal message titled "Orlith"; for a question, returns true on Yes.
    virtual bool showMessage(std::u16string_view text, MessageKind kind) = 0;

    // The platform's last error code (the calling thread's), printed by the error report.
    // Every failing call below leaves its system error code here.
    virtual int lastErrorCode() = 0;

    // Seconds since 1970-01-01 UTC, for the state value's time stamp.
    virtual uint32_t unixTime() = 0;

    // --- files: paths are UTF-8; a relative path is taken from the current directory ---
    // Reads at most maxBytes of the file; false when it cannot be opened or read.
    virtual bool readFile(const std::string& path, size_t maxBytes, std::string& bytes) = 0;
    // Replaces the file's whole content so that a crash or failure at any moment leaves
    // either the old file or the new one, never a mixture or an empty file.
    virtual FileFailure replaceFile(const std::string& path, std::string_view bytes) = 0;
    // The current directory joined with name, as the system reports it at this moment.
    virtual std::string pathInCurrentDirectory(std::string_view name) = 0;
};

// The error box: the site's number and name and the platform's last error at this moment,
// formatted as the error text (base/error_report.h), titled "Orlith".
inline void reportError(Platform& platform, ErrorSite site) {
    char16_t text[256];
    formatErrorText(text, site, platform.lastErrorCode());
    platform.showMessage(text, MessageKind::error);
}
inline void reportError(Platform& platform, int number, const char16_t* operation) {
    reportError(platform, {number, operation});
}

}  // namespace orlith
