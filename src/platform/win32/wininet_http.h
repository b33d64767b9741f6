// The HTTP seam on WinINet: one session ("Orlith", the system's proxy settings), one connection
// kept for every exchange, each request a GET with the flags 0x84000000 (a fresh copy from the
// server, nothing written to the cache) and HTTP decoding on, so a compressed reply is read
// decoded. The handles run asynchronously: each step waits for its completion, for abort() from
// another thread, or for the time-outs, so a server that stops answering, or a shut-down, ends
// the exchange at once. (A blocked synchronous call wakes for none of these under Wine, and a
// listener that never completes the handshake is not bounded by WinINet's connect time-out.)
// Owned by the online session (ranking/network.h) and shared with its worker.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <string>

#include "platform/http.h"

namespace orlith {

class WinInetHttpClient final : public HttpClient {
public:
    // The time-outs are the game's; tests shorten them.
    explicit WinInetHttpClient(uint32_t connectTimeoutMs = kConnectTimeoutMs,
                               uint32_t exchangeTimeoutMs = kExchangeTimeoutMs);
    ~WinInetHttpClient() override;
    WinInetHttpClient(const WinInetHttpClient&) = delete;
    WinInetHttpClient& operator=(const WinInetHttpClient&) = delete;

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
    int lastErrorCode() const override { return static_cast<int>(error_); }

private:
    static void CALLBACK status(HINTERNET handle, DWORD_PTR context, DWORD code, void* info, DWORD length);
    // A call that returned done; when it is pending, waits for it. False on failure, abort or
    // time-out, with the code in error_ (12017 aborted, 12002 timed out).
    bool finish(BOOL done);
    // Closes the request and waits until WinINet has let go of it (no completion writes later).
    void dropRequest();
    bool fail(DWORD code);

    uint32_t connectTimeoutMs_, exchangeTimeoutMs_;
    HINTERNET session_ = nullptr, connection_ = nullptr, request_ = nullptr;
    HANDLE completed_, aborting_, closed_;  // events: a call completed; abort(); a request let go
    DWORD deadline_ = 0;                    // GetTickCount when the exchange times out
    DWORD connectDeadline_ = 0;             // when an exchange still not talking to the server times out
    std::atomic<bool> talking_{false};      // the request reached the server (connected or sending)
    std::atomic<DWORD> completionError_{0}; // dwError of the last completion
    std::atomic<int> requestsOpen_{0};      // request handles whose closing WinINet has not reported yet
    DWORD bytesRead_ = 0;                   // written by a pending read; lives as long as the client
    DWORD error_ = 0;
    std::atomic<bool> aborted_{false};
};

}  // namespace orlith
