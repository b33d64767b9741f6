// An auto-reset event on the standard library: a flag under a condition variable. set() wakes one
// waiter (or the next one to come); the wake-up clears the flag, so signals given while nobody
// waits collapse into one. Used to wake the network worker and to learn that it has ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orlith {

class AutoResetEvent {
public:
    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        wake_.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }
    // False when timeoutMs passed without a signal.
    bool waitFor(uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) return false;
        signalled_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool signalled_ = false;
};

}  // namespace orlith
