// A scripted platform for tests: keys set by the test, a clock the test advances, messages
// collected instead of shown, and a temporary working directory.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orlith::test {

class FakePlatform : public Platform {
public:
    uint32_t tick = 0;             // current ms tick
    uint32_t tickStep = 0;         // added after each tickCount() read
    std::vector<uint32_t> sleeps;  // every sleepMs argument
    std::set<int> down;            // virtual keys held now
    bool focus = true;
    std::vector<std::u16string> messages;
    bool answerYes = false;
    int errorCode = 0;
    uint32_t now = 1700000000;

    uint32_t tickCount() override {
        uint32_t t = tick;
        tick += tickStep;
        return t;
    }
    void sleepMs(uint32_t ms) override {
        sleeps.push_back(ms);
        tick += ms;
    }
    bool isKeyDown(int key) override { return down.count(key) != 0; }
    bool hasFocus() override { return focus; }
    bool showMessage(std::u16string_view text, MessageKind) override {
        messages.emplace_back(text);
        return answerYes;
    }
    int lastErrorCode() override { return errorCode; }
    uint32_t unixTime() override { return now; }
};

// Runs a test inside a fresh temporary directory and returns to the old one afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/orlith-test-XXXXXX";
        path_ = mkdtemp(pattern);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~TempDir() {
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_, old_;
};

}  // namespace orlith::test
