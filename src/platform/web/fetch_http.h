// The HTTP seam on the browser's Fetch API: each exchange is one fetch to the server and port
// the player chose (same-origin with the page when they are the page's own), with no cache,
// the exchange's time-out, and the body read up to the reply buffer's size (the browser
// decodes a compressed reply). It runs in the background: the network link starts and collects
// it from the frame; where the game waits for it (the check at start-up, NetFps) the wait
// yields to the browser. Error codes are WinINet's: 12029 no connection, 12002 timed out,
// 12017 cancelled, 12030 the connection broke during the body, 12005 a bad host.
#pragma once

#include <string>

#include "platform/http.h"

namespace orlith {

class FetchHttpClient final : public HttpClient {
public:
    // The time-outs are the game's; a fetch cannot tell connecting from waiting for the reply,
    // so the whole exchange's bound covers both.
    explicit FetchHttpClient(uint32_t exchangeTimeoutMs = kExchangeTimeoutMs);
    ~FetchHttpClient() override;
    FetchHttpClient(const FetchHttpClient&) = delete;
    FetchHttpClient& operator=(const FetchHttpClient&) = delete;

    bool openSession() override { return true; }
    bool connect(std::u16string_view host, int32_t port) override;
    bool openRequest(std::u16string_view path) override;
    bool sendRequest() override;
    bool queryStatus(int32_t& status) override;
    bool readBody(uint8_t* into, uint32_t room, uint32_t& got) override;
    void closeRequest() override;
    bool runsInBackground() const override { return true; }
    void startRequest() override;
    bool requestDone() override;
    void close() override;
    void abort() override;
    bool aborted() const override { return aborted_; }
    int lastErrorCode() const override { return error_; }

private:
    int id_;                     // the page's record of this client's exchange
    uint32_t exchangeTimeoutMs_;
    std::string base_;           // "http://host:port"
    std::string url_;            // of the open request
    bool requestOpen_ = false, started_ = false, finished_ = false;
    int32_t status_ = 0;
    int bodyError_ = 0;
    uint32_t bodyRead_ = 0;
    int error_ = 0;
    bool aborted_ = false;
};

}  // namespace orlith
