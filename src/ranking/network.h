// The network side of online play: the one HTTP exchange routine, the hand-over of the newest
// request path from the frame to the worker and of its reply back, and the worker itself (or,
// for a client that runs its exchanges in the background, the frame's own calls in its place).
// Owns: the worker thread, the reply buffer and the hand-over (its lock, the event that wakes
// the worker, the running flag, the newest path and records); GameState holds none of it.
// Reads: the game state's pose and name (to build requests). Writes: the state's ranking copy,
// on the main thread only. Called by: start-up (connection, check request, worker start), the
// frame hooks (the ranking copy first in a frame, the request once a frame) and shut-down, all
// on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>

#include "base/event.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "state/game_state.h"

namespace orlith {

inline constexpr uint32_t kWorkerStopMs = 3000;  // shut-down waits no longer for the worker

// The error boxes of the online start and of an exchange, as the player sees them.
inline constexpr ErrorSite kInternetOpenSite{983, u"InternetOpen"};
inline constexpr ErrorSite kInternetConnectSite{992, u"InternetConnect"};
inline constexpr ErrorSite kOpenRequestSite{3436, u"HttpOpenRequest"};
inline constexpr ErrorSite kSendRequestSite{3442, u"HttpSendRequest"};
inline constexpr ErrorSite kQueryStatusSite{3452, u"HttpQueryInfo"};
inline constexpr int kStatusSiteNumber = 3458;  // "HttpQueryInfo[<status>]"
inline constexpr ErrorSite kReadSite{3468, u"InternetReadFile"};

// Everything one exchange uses. Only one thread runs exchanges at a time (start-up and NetFps:
// the main thread; otherwise the worker), so none of it needs a lock.
struct RankingClient {
    std::shared_ptr<HttpClient> http;
    std::shared_ptr<NetworkHost> host;        // error boxes; local time for the date texts
    uint8_t replyBytes[kReplyBufferBytes];    // the raw body
    RankingRecord records[kMaxRankingRecords];  // the last reply, parsed
    int32_t recordCount = 0;
};

// What the frame and the worker hand each other, under one lock held only for copies.
struct RankingHandOver {
    std::mutex netMutex;                              // guards requestPath and the shared list
    char16_t requestPath[1024] = {};                  // newest ranking request path
    RankingRecord sharedRecords[kMaxRankingRecords];  // newest list, for the next frame
    int32_t sharedRecordCount = 0;
    AutoResetEvent netEvent;                          // wakes the worker, once per frame at most
    std::atomic<int32_t> netRunning{0};               // 1 while the worker is to go on
};

// GET path, parse the reply into at most 256 records. Sets count to 0 first. On failure shows
// the step's error box (none when the client was aborted) and returns 0; a body of 65,536 bytes
// or more is a failed read. The caller closes the request either way.
int httpGetRecords(RankingClient& client, const char16_t* path, RankingRecord* records, int32_t& count);

// The online session of one run: the connection, the check request, the worker and the
// per-frame hand-over. The worker shares ownership of everything it touches (never the game
// state), so a worker that outlives shut-down's wait never reaches a freed object.
class NetworkLink {
public:
    NetworkLink(std::shared_ptr<HttpClient> http, std::shared_ptr<NetworkHost> host);
    ~NetworkLink();
    NetworkLink(const NetworkLink&) = delete;
    NetworkLink& operator=(const NetworkLink&) = delete;

    // Session and connection to the server (error boxes "InternetOpen", "InternetConnect").
    bool open(std::u16string_view server, int32_t port);
    // The check request naming the player; its list is newestRecords() and the first frame's
    // ranking. False after its error box.
    bool check(const GameState& state);
    // The newest list handed over, as the next frame will take it. Main thread, while no
    // worker runs (after the check, or in NetFps).
    std::span<const RankingRecord> newestRecords() const;
    // Starts the worker; from now on each frame's exchange runs there. Without it (NetFps) the
    // exchange runs inside sendRankingRequest. A client that runs in the background gets no
    // thread: the frame starts its exchange and collects it, with the worker's rules (one in
    // flight, started with the newest path, the same boxes, no frame ever waits).
    void startWorker();
    // First in each frame: the newest list into the state's rankingList (under the lock, for
    // at most 256 records), then its goal distances and order. In the background: the
    // exchange that ended since is collected first.
    void takeRankingUpdate(GameState& state);
    // Once a frame: the newest path for the worker, which is woken; or the exchange itself.
    // A failed exchange shows its box and asks the window to close.
    void sendRankingRequest(const GameState& state, uint32_t unixSeconds);
    // Stops the worker (the exchange in progress is aborted, then at most boundMs of waiting),
    // then closes the connection. False when the worker did not end in time: it is left running
    // with what it holds, and the connection stays open for it.
    bool shutDown(uint32_t boundMs = kWorkerStopMs);

    bool workerStarted() const { return thread_.joinable() || background_; }
    HttpClient& http() { return *client_->http; }

private:
    bool fail(ErrorSite site);
    void collectExchange();  // background: the exchange that has ended, handed over
    void startExchange();    // background: the next one, with the newest path, unless one runs

    std::shared_ptr<RankingClient> client_;
    std::shared_ptr<RankingHandOver> handOver_;
    std::shared_ptr<AutoResetEvent> workerEnded_;
    std::thread thread_;
    bool sessionOpen_ = false;
    bool background_ = false;  // the client runs in the background: no thread
    bool inFlight_ = false;    // background: an exchange has started and not been collected
    bool requested_ = false;   // background: a path is waiting for the next exchange
    bool ended_ = false;       // background: an exchange failed (or shut down); no more
};

}  // namespace orlith
