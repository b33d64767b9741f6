// The operating system's own file, clock and calendar services, written once per system and
// shared by every Platform of that system: the game's (sdl/, win32/) and the tests' fakes.
// posix/native_files.cpp on Linux, win32/native_files.cpp on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace orlith::native {

// Reads at most maxBytes of the file. On failure returns false with the system's error code.
bool readFile(const std::string& path, size_t maxBytes, std::string& bytes, int& errorCode);

// Writes a temporary file beside the target, flushes it to the disk and moves it over the
// target in one step, so a crash leaves the old or the new file whole. On failure the
// temporary file is removed, the target is untouched and errorCode holds the system's code.
FileFailure replaceFile(const std::string& path, std::string_view bytes, int& errorCode);

// The current directory, as the system reports it now, joined with name.
std::string pathInCurrentDirectory(std::string_view name);

// Local calendar time of a time stamp (thread-safe).
bool localTime(uint32_t unixSeconds, LocalDateTime& out);

// Seconds since 1970-01-01 UTC, as an unsigned 32-bit count (good until 2106).
uint32_t unixTime();

}  // namespace orlith::native
