// Fetch API implementation of the HTTP seam.
#include "platform/web/fetch_http.h"

#include <emscripten.h>

#include "base/text.h"

namespace orlith {

namespace {

constexpr int kCannotConnect = 12029, kCancelled = 12017, kBadHost = 12005;

int nextId = 1;

EM_JS(void, jsFetch, (int id, const char* url, int timeoutMs, int limit),
      { Module.orlithWeb.fetch(id, UTF8ToString(url), timeoutMs, limit); });
EM_JS(int, jsFetchDone, (int id), { var x = Module.orlithWeb.exchanges[id]; return x && x.done ? 1 : 0; });
EM_ASYNC_JS(void, jsFetchWait, (int id), { await Module.orlithWeb.exchanges[id].promise; });
EM_JS(int, jsFetchStatus, (int id), { return Module.orlithWeb.exchanges[id].status; });
EM_JS(int, jsFetchError, (int id), { return Module.orlithWeb.exchanges[id].error; });
EM_JS(int, jsFetchBodyError, (int id), { return Module.orlithWeb.exchanges[id].bodyError; });
EM_JS(int, jsFetchBody, (int id, uint8_t* into, int room, int offset),
      { return Module.orlithWeb.takeBody(id, into, room, offset); });
EM_JS(void, jsFetchAbort, (int id), { Module.orlithWeb.abortFetch(id); });
EM_JS(void, jsFetchForget, (int id), { delete Module.orlithWeb.exchanges[id]; });

// A host name as it may stand in a URL: letters, digits, dots, hyphens (and an IPv6 address's
// colons, bracketed).
bool urlHost(std::u16string_view host, std::string& out) {
    if (host.empty() || host.size() > 253) return false;
    bool colons = false;
    for (char16_t c : host) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' ||
                           c == u'-' || c == u'_';
        colons = colons || c == u':';
        if (!plain && c != u':') return false;
    }
    out = utf16ToUtf8(host);
    if (colons) out = "[" + out + "]";
    return true;
}

}  // namespace

FetchHttpClient::FetchHttpClient(uint32_t exchangeTimeoutMs) : id_(nextId++), exchangeTimeoutMs_(exchangeTimeoutMs) {}

FetchHttpClient::~FetchHttpClient() { close(); }

bool FetchHttpClient::connect(std::u16string_view host, int32_t port) {
    std::string name;
    if (!urlHost(host, name) || port < 1 || port > 65535) {
        error_ = kBadHost;
        return false;
    }
    base_ = "http://" + name + ":" + std::to_string(port);
    error_ = 0;
    return true;
}

bool FetchHttpClient::openRequest(std::u16string_view path) {
    closeRequest();
    error_ = kBadHost;
    if (base_.empty() || aborted_ || path.empty() || path.size() >= 1024 || path.front() != u'/') return false;
    url_ = base_;
    for (char16_t c : path) {
        if (c < 0x21 || c > 0x7E) return false;  // escaped by the ranking layer; anything else is a fault
        url_.push_back(static_cast<char>(c));
    }
    requestOpen_ = true;
    error_ = 0;
    return true;
}

void FetchHttpClient::startRequest() {
    if (!requestOpen_ || started_ || aborted_) return;
    jsFetch(id_, url_.c_str(), static_cast<int>(exchangeTimeoutMs_), static_cast<int>(kReplyBufferBytes));
    started_ = true;
}

bool FetchHttpClient::requestDone() { return !started_ || jsFetchDone(id_) != 0; }

bool FetchHttpClient::sendRequest() {
    if (!requestOpen_ || aborted_) {
        error_ = kCancelled;
        return false;
    }
    startRequest();
    if (jsFetchDone(id_) == 0) jsFetchWait(id_);  // start-up and NetFps: the game waits here
    finished_ = true;
    status_ = jsFetchStatus(id_);
    bodyError_ = jsFetchBodyError(id_);
    bodyRead_ = 0;
    if (aborted_) {
        error_ = kCancelled;
        return false;
    }
    if (status_ > 0) return true;
    error_ = jsFetchError(id_);
    if (error_ == 0) error_ = kCannotConnect;
    return false;
}

bool FetchHttpClient::queryStatus(int32_t& status) {
    if (!finished_ || status_ <= 0) {
        error_ = kCannotConnect;
        return false;
    }
    status = status_;
    return true;
}

bool FetchHttpClient::readBody(uint8_t* into, uint32_t room, uint32_t& got) {
    got = 0;
    if (aborted_ || !finished_) {
        error_ = kCancelled;
        return false;
    }
    got = static_cast<uint32_t>(jsFetchBody(id_, into, static_cast<int>(room), static_cast<int>(bodyRead_)));
    bodyRead_ += got;
    if (got == 0 && bodyError_ != 0) {
        error_ = bodyError_;
        return false;
    }
    return true;
}

void FetchHttpClient::closeRequest() {
    if (started_) {
        if (jsFetchDone(id_) == 0) jsFetchAbort(id_);
        jsFetchForget(id_);
    }
    requestOpen_ = started_ = finished_ = false;
    status_ = 0;
}

void FetchHttpClient::close() {
    closeRequest();
    base_.clear();
}

void FetchHttpClient::abort() {
    aborted_ = true;
    if (started_) jsFetchAbort(id_);
}

}  // namespace orlith
