// A scripted platform for tests: a clock the test advances, messages collected instead of shown, the system's real files (with failures the test can plant), UTC
// as the local time, and a temporary working directory.
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/native_files.h"
#include "platform/platform.h"

namespace orlith::test {

class FakePlatform : public Platform {
public:
    uint32_t tick = 0;             // current ms tick, advanced by every sleep
    std::vector<std::u16string> messages;
    bool answerYes = false;
    int errorCode = 0;
    uint32_t now = 1700000000;

    uint32_t tickCount() override { return tick; }
    void sleepMs(uint32_t ms) override { tick += ms; }
    bool showMessage(std::u16string_view text, MessageKind) override { return messages.emplace_back(text), answerYes; }
    int lastErrorCode() override { return errorCode; }
    uint32_t unixTime() override { return now; }
    bool localTime(uint32_t seconds, LocalDateTime& out) const override {
        if (!localTimeWorks) return false;
        // The civil date of the day, proleptic Gregorian, as the standard library counts it.
        const std::chrono::year_month_day day{std::chrono::sys_days{std::chrono::days{seconds / 86400}}};
        const auto rest = static_cast<int32_t>(seconds % 86400);
        out = {int32_t{day.year()}, static_cast<int32_t>(unsigned{day.month()}), static_cast<int32_t>(unsigned{day.day()}),
               rest / 3600, rest / 60 % 60};
        return true;
    }
    bool readFile(const std::string& path, size_t maxBytes, std::string& bytes) override {
        return native::readFile(path, maxBytes, bytes, errorCode);
    }
    FileFailure replaceFile(const std::string& path, std::string_view bytes) override {
        if (failReplace != FileFailure::none) return errorCode = 28, failReplace;  // ENOSPC, as a full disk leaves it
        return native::replaceFile(path, bytes, errorCode);
    }
    std::string pathInCurrentDirectory(std::string_view name) override { return native::pathInCurrentDirectory(name); }

    bool localTimeWorks = true;                    // false: every conversion fails
    FileFailure failReplace = FileFailure::none;   // planted failure of the next replacements
};

// Runs a test inside a fresh temporary directory and returns to the old one afterwards.
class TempDir {
public:
    TempDir() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("orlith-test-" + std::to_string(random()));
        std::filesystem::create_directories(path_);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~TempDir() {
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

private:
    std::filesystem::path path_, old_;
};

}  // namespace orlith::test
