// The online part of a frame on the main thread: taking over the newest list (a copy of 256
// records under the lock and their sort) and handing over the next request (the path with its
// escaped nickname and checksum, the copy under the lock, the wake-up), while the worker
// exchanges as fast as it can with a server that answers at once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/text.h"
#include "maze/maze.h"
#include "platform/native_files.h"
#include "ranking/network.h"
#include "ranking/ranking.h"

using namespace orlith;

namespace {

// A server at no distance: every exchange returns the same 256 players at once.
class InstantClient final : public HttpClient {
public:
    std::string body;
    bool openSession() override { return true; }
    bool connect(std::u16string_view, int32_t) override { return true; }
    bool openRequest(std::u16string_view) override {
        read_ = 0;
        return !aborted_;
    }
    bool sendRequest() override { return !aborted_; }
    bool queryStatus(int32_t& status) override {
        status = 200;
        return true;
    }
    bool readBody(uint8_t* into, uint32_t room, uint32_t& got) override {
        got = static_cast<uint32_t>(std::min<size_t>(room, body.size() - read_));
        std::memcpy(into, body.data() + read_, got);
        read_ += got;
        return true;
    }
    void closeRequest() override {}
    void close() override {}
    void abort() override { aborted_ = true; }
    bool aborted() const override { return aborted_; }
    int lastErrorCode() const override { return 0; }

private:
    size_t read_ = 0;
    std::atomic<bool> aborted_{false};
};

class QuietHost final : public NetworkHost {
public:
    void showError(std::u16string_view) override {}
    void postClose() override {}
    bool localTime(uint32_t seconds, LocalDateTime& out) const override { return native::localTime(seconds, out); }
};

void BM_OnlineFrameSteps(benchmark::State& bs) {
    auto s = makeGameState();
    auto work = makeMazeWork();
    newLevel(*s, *work);
    s->networkEnabled = 1;
    copyText(s->nickname, 32, u"日本 #1");
    copyText(s->pinHash, 32, u"0123abcd");
    auto http = std::make_shared<InstantClient>();
    for (int k = 0; k < kMaxRankingRecords; ++k) {
        float pos[3] = {static_cast<float>(k % 5), 3, static_cast<float>(k % 7)}, zero[3] = {0, 0, 0};
        http->body += utf16ToUtf8(formatStateValue(0, u"00000000", 1 + k % 3, k, pos, zero, zero)) + "p" +
                      std::to_string(k) + "\r\n";
    }
    NetworkLink link(http, std::make_shared<QuietHost>());
    link.open(u"host", 80);
    link.startWorker();
    for (auto _ : bs) {
        link.takeRankingUpdate(*s);
        link.sendRankingRequest(*s, 1700000000u);
    }
    link.shutDown();
    bs.counters["records"] = s->rankingCount;
}
BENCHMARK(BM_OnlineFrameSteps)->Unit(benchmark::kMicrosecond);

}  // namespace
