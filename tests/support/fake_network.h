// Fakes of the network seams: a host that writes down the boxes and close requests it gets (from
// any thread, in order), and an HTTP client that answers from a script without a socket.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/http.h"

namespace orlith::test {

class FakeNetworkHost final : public NetworkHost {
public:
    void showError(std::u16string_view text) override { note("box: " + utf16ToUtf8(text)); }
    void postClose() override { note("close"); }
    bool localTime(uint32_t, LocalDateTime& out) const override { return out = {1970, 1, 1, 0, 0}, true; }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    void note(std::string event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// Every exchange gets status and body; the paths asked for are kept. A step can be made to fail.
class ScriptedHttpClient final : public HttpClient {
public:
    int32_t status = 200;
    std::string body;
    std::vector<std::u16string> paths;
    std::string failStep;  // "session", "connect", "send": that step fails with code 12029
    std::function<void()> duringSend;  // runs inside sendRequest (to block it, say)
    bool background = false;           // runs its exchanges in the background, done when done is
    bool done = false;
    int started = 0;                   // background exchanges started

    bool openSession() override { return step("session"); }
    bool connect(std::u16string_view, int32_t) override { return step("connect"); }
    bool openRequest(std::u16string_view path) override { return paths.emplace_back(path), read_ = 0, true; }
    bool sendRequest() override {
        if (duringSend) duringSend();
        return step("send");
    }
    bool queryStatus(int32_t& s) override { return s = status, true; }
    bool readBody(uint8_t* into, uint32_t room, uint32_t& got) override {
        got = static_cast<uint32_t>(std::min<size_t>(room, body.size() - read_));
        std::copy_n(body.data() + read_, got, into);
        read_ += got;
        return true;
    }
    void closeRequest() override {}
    bool runsInBackground() const override { return background; }
    void startRequest() override { ++started; }
    bool requestDone() override { return done; }
    void close() override {}
    void abort() override { aborted_ = true; }
    bool aborted() const override { return aborted_; }
    int lastErrorCode() const override { return code_; }

private:
    bool step(const std::string& name) { return (code_ = failStep == name ? 12029 : 0) == 0; }
    size_t read_ = 0;
    int code_ = 0;
    std::atomic<bool> aborted_{false};
};

}  // namespace orlith::test
