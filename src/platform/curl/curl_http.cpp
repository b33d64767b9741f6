// libcurl implementation of the HTTP seam.
#include "platform/curl/curl_http.h"

#include <cstring>
#include <mutex>

#include "base/text.h"

namespace orlith {

CurlHttpClient::CurlHttpClient(uint32_t connectTimeoutMs, uint32_t exchangeTimeoutMs)
    : connectTimeoutMs_(connectTimeoutMs), exchangeTimeoutMs_(exchangeTimeoutMs) {
    target_.reserve(1024);  // the request paths fit, so no exchange allocates for it
}

CurlHttpClient::~CurlHttpClient() { close(); }

bool CurlHttpClient::openSession() {
    static std::once_flag once;
    static CURLcode globalResult = CURLE_OK;
    std::call_once(once, [] { globalResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (globalResult != CURLE_OK) {
        error_ = globalResult;
        return false;
    }
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (easy_ == nullptr || multi_ == nullptr) {
        error_ = CURLE_FAILED_INIT;
        return false;
    }
    headers_ = curl_slist_append(headers_, "Cache-Control: no-cache");
    headers_ = curl_slist_append(headers_, "Pragma: no-cache");
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, "Orlith");
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);  // time-outs without signals: we run on a worker thread
    curl_easy_setopt(easy_, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs_));
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, static_cast<long>(exchangeTimeoutMs_));
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "");  // whatever curl can decode, decoded
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlHttpClient::takeBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    return true;
}

bool CurlHttpClient::connect(std::u16string_view host, int32_t port) {
    error_ = CURLE_URL_MALFORMAT;
    if (easy_ == nullptr || host.empty() || port < 1 || port > 65535) return false;
    std::string name = utf16ToUtf8(host);
    if (name.find(':') != std::string::npos && name.front() != '[') name = "[" + name + "]";  // an IPv6 address
    std::string url = "http://" + name + ":" + std::to_string(port) + "/";
    // The host goes into a URL: let curl's own parser refuse what is no host name.
    CURLU* parsed = curl_url();
    CURLUcode rc = parsed != nullptr ? curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
    curl_url_cleanup(parsed);
    if (rc != CURLUE_OK) {
        error_ = rc;
        return false;
    }
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    connected_ = true;
    error_ = 0;
    return true;
}

bool CurlHttpClient::openRequest(std::u16string_view path) {
    error_ = CURLE_URL_MALFORMAT;
    if (!connected_ || aborted_ || path.empty() || path.size() >= 1024 || path.front() != u'/') return false;
    target_.clear();
    for (char16_t c : path) {
        if (c < 0x21 || c > 0x7E) return false;  // escaped by the ranking layer; anything else is a fault
        target_.push_back(static_cast<char>(c));
    }
    // The request line carries exactly this path: curl's URL parser would re-encode it.
    curl_easy_setopt(easy_, CURLOPT_REQUEST_TARGET, target_.c_str());
    requestOpen_ = true;
    error_ = 0;
    return true;
}

size_t CurlHttpClient::takeBody(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<CurlHttpClient*>(self);
    size_t n = size * count;
    size_t room = kReplyBufferBytes - client->bodyLength_;
    if (n > room) {
        // Keep what fits, so the exchange routine sees a full buffer, and stop the transfer.
        std::memcpy(client->body_ + client->bodyLength_, data, room);
        client->bodyLength_ = kReplyBufferBytes;
        client->overflow_ = true;
        return 0;
    }
    std::memcpy(client->body_ + client->bodyLength_, data, n);
    client->bodyLength_ += static_cast<uint32_t>(n);
    return n;
}

bool CurlHttpClient::sendRequest() {
    status_ = 0;
    bodyError_ = 0;
    overflow_ = false;
    bodyLength_ = bodyRead_ = 0;
    if (!requestOpen_ || aborted_) {
        error_ = aborted_ ? CURLE_ABORTED_BY_CALLBACK : CURLE_FAILED_INIT;
        return false;
    }
    CURLcode result = CURLE_OK;
    curl_multi_add_handle(multi_, easy_);
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                if (message->msg == CURLMSG_DONE) result = message->data.result;
            }
            break;
        }
        if (aborted_) break;
        // Wakes for the socket, curl's own time-outs, or abort()'s wake-up call.
        curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(multi_, easy_);
    if (aborted_) {
        error_ = CURLE_ABORTED_BY_CALLBACK;
        return false;
    }
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
    if (result == CURLE_OK) return true;
    if (status_ > 0) {
        // The head arrived, the body failed: the read reports it, after what did arrive.
        bodyError_ = result;
        return true;
    }
    error_ = result;
    return false;
}

bool CurlHttpClient::queryStatus(int32_t& status) {
    if (status_ <= 0) {
        error_ = CURLE_RECV_ERROR;
        return false;
    }
    status = static_cast<int32_t>(status_);
    return true;
}

bool CurlHttpClient::readBody(uint8_t* into, uint32_t room, uint32_t& got) {
    got = 0;
    if (aborted_) {
        error_ = CURLE_ABORTED_BY_CALLBACK;
        return false;
    }
    uint32_t left = bodyLength_ - bodyRead_;
    if (left == 0) {
        if (bodyError_ == 0) return true;
        error_ = bodyError_;
        return false;
    }
    got = left < room ? left : room;
    std::memcpy(into, body_ + bodyRead_, got);
    bodyRead_ += got;
    return true;
}

void CurlHttpClient::closeRequest() { requestOpen_ = false; }

void CurlHttpClient::close() {
    requestOpen_ = false;
    connected_ = false;
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    multi_ = nullptr;
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    easy_ = nullptr;
    if (headers_ != nullptr) curl_slist_free_all(headers_);
    headers_ = nullptr;
}

void CurlHttpClient::abort() {
    aborted_ = true;
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

}  // namespace orlith
