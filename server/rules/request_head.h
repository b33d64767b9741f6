// The head of an HTTP/1.x request, read as far as this server needs it: the request line,
// whether the connection stays open, and the few fields it acts on. Nothing is copied or
// allocated; a head split over several reads is taken up where the last read ended.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orlith::server {

struct RequestHead {
    static constexpr size_t kMaxForwarded = 8;  // X-Forwarded-For fields; a proxy chain adds one
    std::string_view method, target;
    unsigned version = 11;  // 10 + minor: HTTP/1.0 is 10, HTTP/1.1 is 11
    bool keepAlive = true;
    std::string_view acceptEncoding, ifNoneMatch;  // the first of each; empty when absent
    std::array<std::string_view, kMaxForwarded> forwardedFor{};
    uint8_t forwardedCount = 0;
    size_t length = 0;  // bytes of the head, its blank line included
};

class RequestHeadParser {
public:
    enum class Status {
        kMore,      // no blank line yet: read on
        kDone,      // head() holds the request
        kBad,       // not a request this server reads (400)
        kTooLarge,  // the head passed the limit (431)
        kBody,      // the request says a body follows (413)
    };

    explicit RequestHeadParser(size_t limit = 8192) : limit_(limit) {}
    void reset() {  // per request: only what the next head's reading depends on
        next_ = 0;
        forwardedCount_ = 0;
        close_ = keepAliveToken_ = body_ = seenAcceptEncoding_ = seenIfNoneMatch_ = false;
        head_.length = 0;
    }

    // bytes: from the head's first byte, the same bytes as at the last call (perhaps moved) and
    // perhaps more. Only the lines not yet read are looked at. After kDone, head()'s views point
    // into these bytes.
    Status parse(std::string_view bytes);
    const RequestHead& head() const { return head_; }

private:
    struct Span {
        uint32_t at = 0, size = 0;
        std::string_view in(std::string_view bytes) const { return bytes.substr(at, size); }
    };
    bool requestLine(std::string_view line);
    bool field(std::string_view bytes, size_t at, size_t size);
    Status finish(std::string_view bytes, size_t end);

    size_t limit_;
    size_t next_ = 0;  // the first byte of the first line not yet read
    Span method_, target_, acceptEncoding_, ifNoneMatch_;
    std::array<Span, RequestHead::kMaxForwarded> forwarded_{};
    uint8_t forwardedCount_ = 0;
    unsigned version_ = 11;
    bool close_ = false, keepAliveToken_ = false, body_ = false;
    bool seenAcceptEncoding_ = false, seenIfNoneMatch_ = false;
    RequestHead head_;
};

}  // namespace orlith::server
