// The HTTP seam on libcurl: one easy handle, reused so the connection stays alive between
// exchanges, driven through a multi handle so that abort() from another thread ends a transfer
// at once. Owned by the online session (ranking/network.h) and shared with its worker.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <string>

#include "platform/http.h"

namespace orlith {

class CurlHttpClient final : public HttpClient {
public:
    // The time-outs are the game's; tests shorten them.
    explicit CurlHttpClient(uint32_t connectTimeoutMs = kConnectTimeoutMs, uint32_t exchangeTimeoutMs = kExchangeTimeoutMs);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    bool openSession() override;
    bool connect(std::u16string_view host, int32_t port) override;
    bool openRequest(std::u16string_view path) override;
    bool sendRequest() override;
    bool queryStatus(int32_t& status) override;
    bool readBody(uint8_t* into, uint32_t room, uint32_t& got) override;
    void closeRequest() override;
    void close() override;
    void abort() override;
    bool aborted() const override { return aborted_.load(); }
    int lastErrorCode() const override { return error_; }  // a CURLcode (CURLUcode for a bad host)

private:
    static size_t takeBody(char* data, size_t size, size_t count, void* self);

    uint32_t connectTimeoutMs_, exchangeTimeoutMs_;
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    curl_slist* headers_ = nullptr;
    bool connected_ = false;
    bool requestOpen_ = false;
    std::string target_;                   // the request line's path, ASCII
    long status_ = 0;                      // of the last exchange, 0 before its head arrived
    int bodyError_ = 0;                    // a failure after the head: reported by readBody
    bool overflow_ = false;                // the body did not fit the reply buffer
    uint8_t body_[kReplyBufferBytes];      // the decoded body as received
    uint32_t bodyLength_ = 0, bodyRead_ = 0;
    int error_ = 0;
    std::atomic<bool> aborted_{false};
};

}  // namespace orlith
