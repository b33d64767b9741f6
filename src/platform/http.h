// The network seams of the ranking client. HttpClient is one kept-alive HTTP/1.1 connection to the
// ranking server, driven step by step by the exchange routine (ranking/network.h); on Windows the
// steps are InternetOpen, InternetConnect, HttpOpenRequest, HttpSendRequest, HttpQueryInfo and
// InternetReadFile, on Linux one curl handle (curl/), in the browser the Fetch API (web/).
// NetworkHost is what a failed exchange needs of the window, from whichever thread ran it.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace orlith {

inline constexpr uint32_t kConnectTimeoutMs = 10000;   // a server that does not accept the connection
inline constexpr uint32_t kExchangeTimeoutMs = 30000;  // a whole exchange; a server that stops answering
inline constexpr uint32_t kReplyBufferBytes = 65536;   // a body of this many bytes or more has failed

class HttpClient {
public:
    virtual ~HttpClient() = default;  // closes whatever is open

    // The session: agent "Orlith", the system's proxy settings, the two time-outs above.
    virtual bool openSession() = 0;
    // The connection to host at port, HTTP. Nothing is sent yet.
    virtual bool connect(std::u16string_view host, int32_t port) = 0;

    // One exchange, in this order. The path is printable ASCII (the ranking layer escapes it).
    // The request is a GET over HTTP/1.1 that no cache may answer; the reply may come compressed
    // (the client asks for what it can decode) and is read decoded.
    virtual bool openRequest(std::u16string_view path) = 0;
    virtual bool sendRequest() = 0;  // returns once the reply's status has arrived
    virtual bool queryStatus(int32_t& status) = 0;
    // The next part of the body, at most room bytes; got 0 at its end.
    virtual bool readBody(uint8_t* into, uint32_t room, uint32_t& got) = 0;
    // Ends the request, if one is open; the connection stays for the next exchange.
    virtual void closeRequest() = 0;

    // A client whose exchanges run by themselves while the program goes on (the browser's
    // fetch, where no thread may wait) needs no worker: startRequest sends the open request and
    // returns at once, requestDone tells when its reply or failure is in, and from then on
    // sendRequest, queryStatus and readBody answer at once. Other clients never say done early.
    virtual bool runsInBackground() const { return false; }
    virtual void startRequest() {}
    virtual bool requestDone() { return true; }

    // Closes the connection, then the session.
    virtual void close() = 0;

    // Any thread: the exchange in progress ends at once, and every later step fails.
    virtual void abort() = 0;
    virtual bool aborted() const = 0;
    // The system's code of the last step that failed, shown in the error box.
    virtual int lastErrorCode() const = 0;
};

class NetworkHost : public LocalClock {
public:
    // The error box of a failed exchange. On the main thread (start-up, NetFps) it is shown before
    // this returns; from the worker it may be shown later, but always before the window acts on a
    // close request posted after it.
    virtual void showError(std::u16string_view text) = 0;
    // Asks the window to close (WM_CLOSE): the game ends.
    virtual void postClose() = 0;
    // The frame loop, on the main thread before each frame: shows the boxes that wait for the
    // main thread; true once a close was asked for.
    virtual bool deliverBeforeFrame() { return false; }
};

}  // namespace orlith
