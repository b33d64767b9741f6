// WinINet implementation of the HTTP seam, asynchronous so that every wait can be cut short.
#include "platform/win32/wininet_http.h"

#include <algorithm>
#include <string>

namespace orlith {

namespace {

constexpr DWORD kRequestFlags = 0x84000000;  // INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE
constexpr DWORD kLetGoMs = 2000;             // how long a closed request may take to be let go
constexpr DWORD kBackstopMs = 1000;          // WinINet's own bounds fall a little after ours

std::wstring terminated(std::u16string_view text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

}  // namespace

WinInetHttpClient::WinInetHttpClient(uint32_t connectTimeoutMs, uint32_t exchangeTimeoutMs)
    : connectTimeoutMs_(connectTimeoutMs),
      exchangeTimeoutMs_(exchangeTimeoutMs),
      completed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      aborting_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      closed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

WinInetHttpClient::~WinInetHttpClient() {
    close();
    // The callback still names this object until WinINet has let go of every request.
    for (DWORD start = ::GetTickCount(); requestsOpen_.load() > 0 && ::GetTickCount() - start < kLetGoMs;)
        ::WaitForSingleObject(closed_, 50);
    for (HANDLE h : {completed_, aborting_, closed_}) {
        if (h != nullptr) ::CloseHandle(h);
    }
}

void CALLBACK WinInetHttpClient::status(HINTERNET, DWORD_PTR context, DWORD code, void* info, DWORD) {
    auto* self = reinterpret_cast<WinInetHttpClient*>(context);
    if (self == nullptr) return;
    switch (code) {
        case INTERNET_STATUS_CONNECTED_TO_SERVER:
        case INTERNET_STATUS_SENDING_REQUEST:
        case INTERNET_STATUS_REQUEST_SENT:
        case INTERNET_STATUS_RECEIVING_RESPONSE:
        case INTERNET_STATUS_RESPONSE_RECEIVED:
            self->talking_ = true;
            break;
        case INTERNET_STATUS_REQUEST_COMPLETE: {
            const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
            DWORD error = 0;
            if (result == nullptr) {
                error = ERROR_INTERNET_INTERNAL_ERROR;
            } else if (result->dwResult == 0) {
                error = result->dwError != 0 ? result->dwError : ERROR_INTERNET_INTERNAL_ERROR;
            }
            self->completionError_ = error;
            ::SetEvent(self->completed_);
            break;
        }
        case INTERNET_STATUS_HANDLE_CLOSING:
            --self->requestsOpen_;
            ::SetEvent(self->closed_);
            break;
        default:
            break;
    }
}

bool WinInetHttpClient::fail(DWORD code) {
    error_ = code;
    ::SetLastError(code);
    return false;
}

bool WinInetHttpClient::finish(BOOL done) {
    if (done) {
        error_ = 0;
        return true;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_IO_PENDING) return fail(code);
    for (;;) {
        const DWORD now = ::GetTickCount();
        auto left = static_cast<int32_t>(deadline_ - now);
        if (!talking_.load()) left = std::min(left, static_cast<int32_t>(connectDeadline_ - now));
        if (left <= 0) {
            dropRequest();
            return fail(ERROR_INTERNET_TIMEOUT);
        }
        HANDLE events[2] = {aborting_, completed_};
        const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(left));
        if (woke == WAIT_OBJECT_0 + 1) {
            const DWORD error = completionError_.load();
            if (error != 0) return fail(error);
            error_ = 0;
            return true;
        }
        if (woke != WAIT_TIMEOUT) {
            dropRequest();
            return fail(ERROR_INTERNET_OPERATION_CANCELLED);
        }
        // Timed out on the connect bound; the request may have reached the server meanwhile.
    }
}

void WinInetHttpClient::dropRequest() {
    closeRequest();
}

bool WinInetHttpClient::openSession() {
    if (aborted_) return fail(ERROR_INTERNET_OPERATION_CANCELLED);
    session_ = ::InternetOpenW(L"Orlith", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (session_ == nullptr) return fail(::GetLastError());
    if (::InternetSetStatusCallbackW(session_, status) == INTERNET_INVALID_STATUS_CALLBACK) return fail(::GetLastError());
    error_ = 0;
    return true;
}

bool WinInetHttpClient::connect(std::u16string_view host, int32_t port) {
    if (aborted_) return fail(ERROR_INTERNET_OPERATION_CANCELLED);
    std::wstring name = terminated(host);
    // Context 0: the connection itself never completes anything asynchronously.
    connection_ = ::InternetConnectW(session_, name.c_str(), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0);
    if (connection_ == nullptr) return fail(::GetLastError());
    // WinINet's own bounds as a backstop (Wine honours only some of them); finish() keeps ours.
    DWORD connectMs = connectTimeoutMs_ + kBackstopMs, exchangeMs = exchangeTimeoutMs_ + kBackstopMs;
    BOOL decode = TRUE;
    ::InternetSetOptionW(connection_, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
    ::InternetSetOptionW(connection_, INTERNET_OPTION_RECEIVE_TIMEOUT, &exchangeMs, sizeof exchangeMs);
    ::InternetSetOptionW(connection_, INTERNET_OPTION_SEND_TIMEOUT, &exchangeMs, sizeof exchangeMs);
    ::InternetSetOptionW(connection_, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
    error_ = 0;
    return true;
}

bool WinInetHttpClient::openRequest(std::u16string_view path) {
    if (aborted_) return fail(ERROR_INTERNET_OPERATION_CANCELLED);
    closeRequest();
    ::ResetEvent(completed_);
    talking_ = false;
    deadline_ = ::GetTickCount() + exchangeTimeoutMs_;
    connectDeadline_ = ::GetTickCount() + connectTimeoutMs_;
    std::wstring target = terminated(path);
    request_ = ::HttpOpenRequestW(connection_, L"GET", target.c_str(), L"HTTP/1.1", nullptr, nullptr, kRequestFlags,
                                  reinterpret_cast<DWORD_PTR>(this));
    if (request_ == nullptr) return fail(::GetLastError());
    ++requestsOpen_;
    BOOL decode = TRUE;
    ::InternetSetOptionW(request_, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
    // Decoding reads a compressed reply; this asks the server for one.
    ::HttpAddRequestHeadersW(request_, L"Accept-Encoding: gzip, deflate\r\n", static_cast<DWORD>(-1),
                             HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    error_ = 0;
    return true;
}

bool WinInetHttpClient::sendRequest() {
    if (aborted_) return fail(ERROR_INTERNET_OPERATION_CANCELLED);
    talking_ = false;
    connectDeadline_ = ::GetTickCount() + connectTimeoutMs_;
    return finish(::HttpSendRequestW(request_, nullptr, 0, nullptr, 0));
}

bool WinInetHttpClient::queryStatus(int32_t& status) {
    if (aborted_) return fail(ERROR_INTERNET_OPERATION_CANCELLED);
    DWORD code = 0, size = sizeof code;
    if (!::HttpQueryInfoW(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
        return fail(::GetLastError());
    status = static_cast<int32_t>(code);
    error_ = 0;
    return true;
}

bool WinInetHttpClient::readBody(uint8_t* into, uint32_t room, uint32_t& got) {
    got = 0;
    if (aborted_) return fail(ERROR_INTERNET_OPERATION_CANCELLED);
    bytesRead_ = 0;
    if (!finish(::InternetReadFile(request_, into, room, &bytesRead_))) return false;
    got = bytesRead_;
    return true;
}

void WinInetHttpClient::closeRequest() {
    if (request_ == nullptr) return;
    ::InternetCloseHandle(request_);
    request_ = nullptr;
    // An asynchronous handle is let go later: until then a completion may still write into the
    // caller's buffer, and its kept-alive connection is not back in the pool, so the next
    // exchange would open a second one.
    for (DWORD start = ::GetTickCount(); requestsOpen_.load() > 0 && ::GetTickCount() - start < kLetGoMs;)
        ::WaitForSingleObject(closed_, 50);
}

void WinInetHttpClient::close() {
    closeRequest();
    if (connection_ != nullptr) ::InternetCloseHandle(connection_);
    if (session_ != nullptr) ::InternetCloseHandle(session_);
    connection_ = session_ = nullptr;
}

void WinInetHttpClient::abort() {
    aborted_ = true;
    ::SetEvent(aborting_);
}

}  // namespace orlith
