// The exchange routine, the worker and the hand-over.
#include "ranking/network.h"

#include <cstring>
#include <mutex>

#include "base/text.h"
#include "ranking/ranking.h"

namespace orlith {

namespace {

int failExchange(RankingClient& client, ErrorSite site) {
    // An exchange cut short by shut-down is no error the player should see.
    if (client.http->aborted()) return 0;
    char16_t text[256];
    formatErrorText(text, site, client.http->lastErrorCode());
    client.host->showError(text);
    return 0;
}

void copyRecords(RankingRecord* to, int32_t& toCount, const RankingRecord* from, int32_t count) {
    if (count < 0) count = 0;
    if (count > kMaxRankingRecords) count = kMaxRankingRecords;
    std::memcpy(to, from, sizeof(RankingRecord) * static_cast<size_t>(count));
    toCount = count;
}

// The worker: sleeps until a frame signals, takes the newest path, runs the exchange outside the
// lock and hands the records over. Signals given during an exchange collapse into one, so at most
// one exchange is in flight and each starts with the newest path.
void networkWorker(std::shared_ptr<RankingHandOver> handOver, std::shared_ptr<RankingClient> client,
                   std::shared_ptr<AutoResetEvent> ended) {
    RankingHandOver& s = *handOver;
    char16_t path[1024];
    for (;;) {
        s.netEvent.wait();
        if (s.netRunning.load() == 0) break;
        {
            std::lock_guard<std::mutex> lock(s.netMutex);
            copyText(path, 1024, s.requestPath);
        }
        int ok = httpGetRecords(*client, path, client->records, client->recordCount);
        client->http->closeRequest();
        if (s.netRunning.load() == 0) break;  // shut down during the exchange: nothing to hand over
        {
            std::lock_guard<std::mutex> lock(s.netMutex);
            copyRecords(s.sharedRecords, s.sharedRecordCount, client->records, client->recordCount);
        }
        if (ok == 0) {
            // Its box is out; the game ends. No further exchange, so no second box.
            client->host->postClose();
            break;
        }
    }
    ended->set();
}

}  // namespace

namespace {

// The exchange from the sending of its open request on (for a background client: once done).
int finishGetRecords(RankingClient& client, RankingRecord* records, int32_t& count) {
    HttpClient& http = *client.http;
    if (!http.sendRequest()) return failExchange(client, kSendRequestSite);
    int32_t status = 0;
    if (!http.queryStatus(status)) return failExchange(client, kQueryStatusSite);
    if (status != 200) {
        char16_t name[32];
        formatText(name, 32, u"HttpQueryInfo[%d]", status);
        return failExchange(client, {kStatusSiteNumber, name});
    }
    uint32_t length = 0;
    for (;;) {
        // A full buffer means the body does not fit (65,536 bytes or more): a failed read,
        // rather than a terminator written past the buffer's end.
        if (length == kReplyBufferBytes) return failExchange(client, kReadSite);
        uint32_t got = 0;
        if (!http.readBody(client.replyBytes + length, kReplyBufferBytes - length, got)) return failExchange(client, kReadSite);
        if (got == 0) break;
        length += got;
    }
    // UTF-8 decoding replaces what is invalid and cannot fail, so the decoding box never shows.
    parseRankingReply(std::string_view(reinterpret_cast<const char*>(client.replyBytes), length), records, count,
                      *client.host);
    return 1;
}

}  // namespace

int httpGetRecords(RankingClient& client, const char16_t* path, RankingRecord* records, int32_t& count) {
    count = 0;
    if (!client.http->openRequest(path)) return failExchange(client, kOpenRequestSite);
    return finishGetRecords(client, records, count);
}

NetworkLink::NetworkLink(std::shared_ptr<HttpClient> http, std::shared_ptr<NetworkHost> host)
    : client_(std::make_shared<RankingClient>()),
      handOver_(std::make_shared<RankingHandOver>()),
      workerEnded_(std::make_shared<AutoResetEvent>()) {
    client_->http = std::move(http);
    client_->host = std::move(host);
}

NetworkLink::~NetworkLink() { shutDown(); }

bool NetworkLink::fail(ErrorSite site) {
    char16_t text[256];
    formatErrorText(text, site, client_->http->lastErrorCode());
    client_->host->showError(text);
    return false;
}

bool NetworkLink::open(std::u16string_view server, int32_t port) {
    if (!client_->http->openSession()) return fail(kInternetOpenSite);
    sessionOpen_ = true;
    if (!client_->http->connect(server, port)) return fail(kInternetConnectSite);
    return true;
}

bool NetworkLink::check(const GameState& state) {
    char16_t path[1024];
    buildCheckPath(state, path, 1024);
    // No worker runs yet: the list goes straight to where the first frame takes it.
    int ok = httpGetRecords(*client_, path, handOver_->sharedRecords, handOver_->sharedRecordCount);
    client_->http->closeRequest();
    return ok != 0;
}

std::span<const RankingRecord> NetworkLink::newestRecords() const {
    return {handOver_->sharedRecords, static_cast<size_t>(handOver_->sharedRecordCount)};
}

void NetworkLink::startWorker() {
    if (thread_.joinable() || background_) return;
    handOver_->netRunning = 1;
    if (client_->http->runsInBackground()) {
        background_ = true;
        return;
    }
    thread_ = std::thread(networkWorker, handOver_, client_, workerEnded_);
}

void NetworkLink::collectExchange() {
    HttpClient& http = *client_->http;
    if (!inFlight_ || !http.requestDone()) return;
    inFlight_ = false;
    int ok = finishGetRecords(*client_, client_->records, client_->recordCount);
    http.closeRequest();
    copyRecords(handOver_->sharedRecords, handOver_->sharedRecordCount, client_->records, client_->recordCount);
    if (ok == 0) {
        // As the worker: its box is out, the game ends, no further exchange.
        ended_ = true;
        if (!http.aborted()) client_->host->postClose();
    }
}

void NetworkLink::startExchange() {
    if (inFlight_ || !requested_ || ended_) return;
    requested_ = false;
    client_->recordCount = 0;
    if (!client_->http->openRequest(handOver_->requestPath)) {
        failExchange(*client_, kOpenRequestSite);
        ended_ = true;
        client_->host->postClose();
        return;
    }
    client_->http->startRequest();
    inFlight_ = true;
}

void NetworkLink::takeRankingUpdate(GameState& state) {
    if (background_) collectExchange();
    {
        std::lock_guard<std::mutex> lock(handOver_->netMutex);
        copyRecords(state.rankingList, state.rankingCount, handOver_->sharedRecords, handOver_->sharedRecordCount);
    }
    prepareRankingList(state);
}

void NetworkLink::sendRankingRequest(const GameState& state, uint32_t unixSeconds) {
    RankingHandOver& s = *handOver_;
    char16_t path[1024];
    buildRankingPath(state, unixSeconds, path, 1024);
    {
        std::lock_guard<std::mutex> lock(s.netMutex);
        copyText(s.requestPath, 1024, path);
    }
    if (thread_.joinable()) {
        s.netEvent.set();
        return;
    }
    if (background_) {
        // Requests made while one is in flight collapse into one, with the newest path.
        requested_ = true;
        collectExchange();
        startExchange();
        return;
    }
    // NetFps: the frame waits for its own exchange; no worker exists to share the lists with.
    if (httpGetRecords(*client_, s.requestPath, s.sharedRecords, s.sharedRecordCount) == 0 && !client_->http->aborted()) {
        client_->host->postClose();
    }
    client_->http->closeRequest();
}

bool NetworkLink::shutDown(uint32_t boundMs) {
    bool ended = true;
    if (background_ && inFlight_) client_->http->abort();
    inFlight_ = false;
    ended_ = true;
    if (thread_.joinable()) {
        handOver_->netRunning = 0;
        client_->http->abort();  // no waiting out a slow server
        handOver_->netEvent.set();
        ended = workerEnded_->waitFor(boundMs);
        if (ended) {
            thread_.join();
        } else {
            thread_.detach();  // it keeps the hand-over and the client alive until it returns
        }
    }
    if (ended && sessionOpen_) client_->http->close();
    sessionOpen_ = false;
    return ended;
}

}  // namespace orlith
