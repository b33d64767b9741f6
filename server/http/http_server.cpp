// The Boost.Beast socket loop of the ranking server. Kept to this one translation unit: Beast
// is slow to compile, and everything that decides an answer lives in handler.cpp.
#include "http/http_server.h"

// Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "budgets/budgets.h"
#include "http/proxy_protocol.h"
#include "rules/request.h"
#include "rules/request_head.h"

namespace orlith::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using reuse_port = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

uint64_t addressKey(const unsigned char* b, size_t n) {
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (n == 16 && std::equal(b, b + 12, kMapped)) {
        b += 12;
        n = 4;
    }
    if (n == 4) return (uint64_t{b[0]} << 24 | uint64_t{b[1]} << 16 | uint64_t{b[2]} << 8 | b[3]) + 1;
    // The /64 as it stands, with the top bit set: apart from every IPv4 key.
    uint64_t key = 0;
    for (size_t i = 0; i < 8 && i < n; ++i) key = key << 8 | b[i];
    return key | (uint64_t{1} << 63);
}

namespace {

// The fixed bytes of the usual reply (200 on the game port, plain text, no further header
// lines) up to its length, one per HTTP version: prepared once, never written per request.
constexpr std::string_view kUsualHead[2] = {
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ",
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ",
};
constexpr std::string_view kTextPlain = "text/plain; charset=utf-8";

}  // namespace

void replyHead(const HttpResponse& r, unsigned version, bool keepAlive, bool admin, ReplyHead& out) {
    const ReplyText& body = r.body;
    out.size = 0;
    out.general.clear();
    auto add = [&](std::string_view text) {
        if (!out.general.empty() || out.size + text.size() > sizeof out.tail) {
            if (out.general.empty()) out.general.assign(out.tail, out.size);
            out.general += text;
        } else {
            std::memcpy(out.tail + out.size, text.data(), text.size());
            out.size += text.size();
        }
    };
    auto addNumber = [&](size_t v) {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        add(std::string_view(digits, static_cast<size_t>(end - digits)));
    };
    const bool usual = r.status == 200 && !admin && r.headers.empty() && r.contentType == kTextPlain;
    if (usual) {
        out.fixed = kUsualHead[version == 10 ? 0 : 1];
    } else {
        out.fixed = {};
        add(version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ");
        addNumber(static_cast<size_t>(r.status));
        add(" ");
        beast::string_view reason = http::obsolete_reason(static_cast<http::status>(r.status));
        add(std::string_view(reason.data(), reason.size()));
        add("\r\nContent-Type: ");
        add(r.contentType);
        if (r.status != 304) add("\r\nContent-Length: ");
    }
    if (r.status != 304) addNumber(body.size());
    if (body.gzip) add("\r\nContent-Encoding: gzip");
    if (r.status == 200 && !admin) add("\r\nVary: Accept-Encoding");
    // The same Connection header Beast would set: only where the version's default differs.
    if (version == 10 && keepAlive) add("\r\nConnection: keep-alive");
    if (version != 10 && !keepAlive) add("\r\nConnection: close");
    add("\r\n");
    add(r.headers);
    add("\r\n");
}

namespace {

uint64_t keyOf(const asio::ip::address& a) {
    if (a.is_v4()) {
        auto bytes = a.to_v4().to_bytes();
        return addressKey(bytes.data(), bytes.size());
    }
    auto bytes = a.to_v6().to_bytes();
    return addressKey(bytes.data(), bytes.size());
}

// An address block written as CIDR: a trusted proxy.
struct ProxyBlock {
    std::array<unsigned char, 16> bytes{};  // IPv4 as IPv4-mapped IPv6
    int bits = 0;                            // of the 128

    static std::array<unsigned char, 16> of(const asio::ip::address& a) {
        return a.is_v4() ? asio::ip::make_address_v6(asio::ip::v4_mapped, a.to_v4()).to_bytes() : a.to_v6().to_bytes();
    }
    static bool parse(std::string_view text, ProxyBlock& out) {
        size_t slash = text.find('/');
        beast::error_code ec;
        auto a = asio::ip::make_address(std::string(text.substr(0, slash)), ec);
        if (ec) return false;
        int max = a.is_v4() ? 32 : 128, bits = max;
        if (slash != std::string_view::npos) {
            std::string_view n = text.substr(slash + 1);
            if (n.empty() || n.size() > 3 || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
            bits = std::stoi(std::string(n));
            if (bits > max) return false;
        }
        out.bytes = of(a);
        out.bits = bits + 128 - max;
        return true;
    }
    bool holds(const asio::ip::address& a) const {
        auto b = of(a);
        for (int i = 0; i < bits; ++i) {
            int byte = i / 8, bit = 7 - i % 8;
            if (((b[byte] >> bit) & 1) != ((bytes[byte] >> bit) & 1)) return false;
        }
        return true;
    }
};

bool trusted(const std::vector<ProxyBlock>& blocks, const asio::ip::address& a) {
    return std::any_of(blocks.begin(), blocks.end(), [&](const ProxyBlock& b) { return b.holds(a); });
}

// The client a trusted proxy forwarded for: the right-most address of the X-Forwarded-For
// fields (in order, joined) that is not itself a trusted proxy. Null when one is not an
// address; the peer when every one is trusted or there is none.
std::optional<asio::ip::address> forwardedFor(const RequestHead& req, const std::vector<ProxyBlock>& blocks,
                                              const asio::ip::address& peer) {
    std::vector<std::string_view> hops;
    for (uint8_t f = 0; f < req.forwardedCount; ++f) {
        std::string_view v = req.forwardedFor[f];
        for (size_t start = 0; start <= v.size();) {
            size_t comma = std::min(v.find(',', start), v.size());
            hops.push_back(v.substr(start, comma - start));
            start = comma + 1;
        }
    }
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        std::string_view h = *hop;
        while (!h.empty() && (h.front() == ' ' || h.front() == '\t')) h.remove_prefix(1);
        while (!h.empty() && (h.back() == ' ' || h.back() == '\t')) h.remove_suffix(1);
        beast::error_code ec;
        auto a = asio::ip::make_address(std::string(h), ec);
        if (ec) return std::nullopt;
        if (!trusted(blocks, a)) return a;
    }
    return peer;
}

// Connections by address key, shared by every loop of a listener.
class AddressCounts {
public:
    bool take(uint64_t key, size_t limit) {
        std::lock_guard lock(mutex_);
        size_t& n = counts_[key];
        if (n >= limit) {
            if (n == 0) counts_.erase(key);
            return false;
        }
        ++n;
        return true;
    }
    void give(uint64_t key) {
        std::lock_guard lock(mutex_);
        auto it = counts_.find(key);
        if (it != counts_.end() && --it->second == 0) counts_.erase(it);
    }

private:
    std::mutex mutex_;
    std::unordered_map<uint64_t, size_t> counts_;
};

struct Shared {
    Shared(ServerOptions o, HttpServer::Handler h, Metrics& m) : options(std::move(o)), handler(std::move(h)), metrics(m) {}
    ServerOptions options;
    HttpServer::Handler handler;
    Metrics& metrics;
    std::atomic<size_t> connections{0};
    std::atomic<size_t> adminConnections{0};
    AddressCounts perAddress;
    AddressCounts partialByAddress;         // connections whose request headers are under way
    AddressCounts partialByGroup;
    std::atomic<uint64_t> nextConnection{1};
    std::atomic<int64_t> lastAcceptErrorLog{0};
    std::vector<ProxyBlock> trustedProxies;
    asio::thread_pool* blocking = nullptr;  // commits of registrations and rises
};

class Session : public std::enable_shared_from_this<Session> {
public:
    // proxy: the peer is a trusted proxy (its address counts in no per-address cap).
    // loopConnections: the count of its event loop, given back at the end.
    Session(tcp::socket socket, Shared& shared, bool admin, uint64_t client, std::optional<asio::ip::address> proxy,
            std::atomic<int>& loopConnections)
        : stream_(std::move(socket)), hold_(stream_.get_executor()), idle_(stream_.get_executor()), parser_(shared.options.headerLimit),
          shared_(shared), admin_(admin), client_(client),
          connection_(shared.nextConnection.fetch_add(1)), proxy_(std::move(proxy)), loopConnections_(loopConnections) {}
    ~Session() {
        loopConnections_.fetch_sub(1, std::memory_order_relaxed);
        givePartial();
        if (admin_) {
            shared_.adminConnections.fetch_sub(1);
        } else {
            shared_.connections.fetch_sub(1);
            if (!proxy_) shared_.perAddress.give(client_);
        }
    }

    // A new connection's request is under way from the start (its partial slot taken at accept);
    // behind a PROXY header, which must arrive within the same deadline as that request.
    void start(bool partial) {
        partial_ = partial;
        beast::error_code ignored;
        stream_.socket().non_blocking(true, ignored);  // a write now never waits (see write)
        firstDue_ = std::chrono::steady_clock::now() + readLimit();
        if (shared_.options.proxyProtocol && !admin_) return readProxyHeader();
        readRequest();
    }

    // A partial slot for this connection's address and group; false when either is full.
    static bool takePartial(Shared& shared, uint64_t client) {
        if (!shared.partialByAddress.take(client, shared.options.maxPartialPerAddress)) return false;
        if (shared.partialByGroup.take(addressGroup(client), shared.options.maxPartialPerGroup)) return true;
        shared.partialByAddress.give(client);
        return false;
    }

private:
    void givePartial() {
        if (!partial_) return;
        partial_ = false;
        shared_.partialByAddress.give(client_);
        shared_.partialByGroup.give(addressGroup(client_));
    }

    // Between requests: a quiet kept-alive connection may wait up to the idle time-out for its
    // next request's first byte, which then starts the header deadline. The wait is a read, not
    // a readiness wait: Asio registers a readiness wait with the kernel anew every time, a read
    // it queues for free.
    void read() {
        if (admin_) return beginRequest();
        if (buffer_.size() > 0) {
            // Pipelined: the next request is here already. Posted, so a burst of them answered
            // at once does not nest one call deeper per request.
            return asio::post(stream_.get_executor(), [self = shared_from_this()] { self->beginRequest(); });
        }
        waiting_ = true;
        idleSince_ = std::chrono::steady_clock::now();
        armIdle(idleSince_ + std::chrono::milliseconds(shared_.options.idleTimeoutMs));
        stream_.socket().async_read_some(buffer_.prepare(beast::read_size(buffer_, 65536)),
                                         [self = shared_from_this()](beast::error_code ec, size_t n) {
                                             self->waiting_ = false;
                                             self->buffer_.commit(n);
                                             if (ec || n == 0) return self->close();
                                             self->beginRequest();
                                         });
    }

    // The idle deadline is armed once and moved only when it passes: a connection answered many
    // times within one idle time-out costs no timer work per request. When it passes during a
    // later wait, the wait's own deadline is armed instead.
    void armIdle(std::chrono::steady_clock::time_point due) {
        if (idleArmed_) return;
        idleArmed_ = true;
        idle_.expires_at(due);
        idle_.async_wait([self = shared_from_this()](beast::error_code ec) {
            self->idleArmed_ = false;
            if (ec || !self->waiting_) return;
            auto end = self->idleSince_ + std::chrono::milliseconds(self->shared_.options.idleTimeoutMs);
            if (std::chrono::steady_clock::now() >= end) return self->close();
            self->armIdle(end);
        });
    }

    void beginRequest() {
        Parser parser = admin_ ? Parser::kFresh : parseBuffered();
        if (parser == Parser::kDone) return;
        if (!admin_ && !partial_ && !proxy_) {
            // Too many requests of this address or its group are arriving at once.
            if (!takePartial(shared_, client_)) return busy("too many requests arriving at once from this address\r\n");
            partial_ = true;
        }
        readRequest(parser);
    }

    // A request whose head is already whole in the buffer (nearly every request of a kept-alive
    // game) is answered from here at once: it is not arriving any more, so it takes no partial
    // slot and needs no deadline. Otherwise the parser goes on with what it has taken so far.
    enum class Parser { kFresh, kGoOn, kDone };
    Parser parseBuffered() {
        if (buffer_.size() == 0) return Parser::kFresh;
        parser_.reset();
        RequestHeadParser::Status status = parseHead();
        if (status == RequestHeadParser::Status::kMore) return Parser::kGoOn;
        onRead({}, status);
        return Parser::kDone;
    }

    RequestHeadParser::Status parseHead() {
        auto bytes = buffer_.cdata();
        return parser_.parse(std::string_view(static_cast<const char*>(bytes.data()), bytes.size()));
    }

    void busy(const char* why) {
        shared_.metrics.count(503);
        response_ = HttpResponse{503, why};
        head_ = false;
        write(11, false);
    }

    std::chrono::milliseconds readLimit() const {
        return std::chrono::milliseconds(admin_ ? shared_.options.idleTimeoutMs : shared_.options.headerTimeoutMs);
    }

    // The PROXY header from a trusted proxy: its client is then this connection's, for every
    // cap and budget. A TCP proxy gives each client a connection of its own, so the rule of the
    // owner's connection stays with the connection here, and X-Forwarded-For is never read.
    void readProxyHeader() {
        reading_ = true;
        hold_.expires_at(firstDue_);
        hold_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec && self->reading_) self->refuseProxy(Metrics::kProxySlow);
        });
        readProxyBytes();
    }

    void readProxyBytes() {
        stream_.async_read_some(buffer_.prepare(512), [self = shared_from_this()](beast::error_code ec, size_t n) {
            self->buffer_.commit(n);
            if (!self->reading_) return;  // too slow: closed already
            auto bytes = self->buffer_.cdata();
            ProxyHeader h = parseProxyHeader(std::string_view(static_cast<const char*>(bytes.data()), bytes.size()));
            if (h.status == ProxyHeader::Status::kMore && !ec) return self->readProxyBytes();
            if (h.status != ProxyHeader::Status::kDone) return self->refuseProxy(Metrics::kProxyBad);
            self->reading_ = false;
            self->hold_.cancel();
            self->buffer_.consume(h.length);
            self->proxied(h.addressLength ? addressKey(h.address.data(), h.addressLength) : self->client_);
        });
    }

    // Closed unanswered: whatever is on the other end does not speak the PROXY protocol to us.
    void refuseProxy(Metrics::ProxyRefusal why) {
        reading_ = false;
        shared_.metrics.proxyRefused(why);
        close();
    }

    // From here on the connection is its client's, under that address's caps.
    void proxied(uint64_t client) {
        client_ = client;
        if (!shared_.perAddress.take(client_, shared_.options.maxConnectionsPerAddress)) {
            return busy("too many connections from this address\r\n");
        }
        proxy_.reset();  // the per-address slot is given back with the session
        if (!takePartial(shared_, client_)) return busy("too many requests arriving at once from this address\r\n");
        partial_ = true;
        readRequest();
    }

    void readRequest(Parser parser = Parser::kFresh) {
        if (parser == Parser::kFresh) parser_.reset();
        // One deadline for the whole request, so a slow drip of header bytes is cut off too.
        // It is a timer of our own: the stream's own time-out closes the socket, and a client
        // that sent part of a request is owed a 408 first. The stream's is off while reading
        // (ours ends the read by shutting its side down): a second timer per request cost CPU.
        reading_ = true;
        // The first request's deadline runs from the connection's opening (the PROXY header's too).
        auto due = std::exchange(firstDue_, {});
        if (due == std::chrono::steady_clock::time_point{}) due = std::chrono::steady_clock::now() + readLimit();
        stream_.expires_never();
        hold_.expires_at(due);
        hold_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec && self->reading_) self->readTimedOut();
        });
        // Bytes may be here already: those read after a PROXY header, say.
        RequestHeadParser::Status status = buffer_.size() ? parseHead() : RequestHeadParser::Status::kMore;
        if (status != RequestHeadParser::Status::kMore) return onRead({}, status);
        readHead();
    }

    // Reads until the head is whole (or wrong, or too long). Its bytes stay in the buffer
    // until the reply is written: the request's views point into them.
    void readHead() {
        if (buffer_.size() >= buffer_.max_size()) return onRead({}, RequestHeadParser::Status::kTooLarge);
        stream_.socket().async_read_some(buffer_.prepare(beast::read_size(buffer_, 65536)),
                                         [self = shared_from_this()](beast::error_code ec, size_t n) {
                                             self->buffer_.commit(n);
                                             if (ec || n == 0) return self->onRead(ec ? ec : asio::error::eof, {});
                                             RequestHeadParser::Status status = self->parseHead();
                                             if (status == RequestHeadParser::Status::kMore) return self->readHead();
                                             self->onRead({}, status);
                                         });
    }

    void readTimedOut() {
        reading_ = false;
        timedOut_ = true;
        // Quiet between requests: a kept-alive connection that is simply closed.
        if (buffer_.size() == 0) return close();
        shared_.metrics.count(408);
        response_ = HttpResponse{408, "request timeout\r\n"};
        head_ = false;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_receive, ignored);  // ends the read
        write(11, false);
    }

    void onRead(beast::error_code ec, RequestHeadParser::Status head) {
        using Status = RequestHeadParser::Status;
        reading_ = false;
        hold_.cancel();
        givePartial();
        if (timedOut_) return;  // answered (or closed) by readTimedOut
        if (ec) return close();  // the client went away, or the socket failed
        if (head != Status::kDone) {
            // Malformed input: answer once and close, since the stream cannot be resynchronised.
            int status = head == Status::kTooLarge ? 431 : head == Status::kBody ? 413 : 400;
            shared_.metrics.count(status);
            response_ = HttpResponse{status, status == 431   ? "request header fields too large\r\n"
                                             : status == 413 ? "a request has no body here\r\n"
                                                             : "bad request\r\n"};
            head_ = false;
            return write(11, false);
        }
        const RequestHead& req = parser_.head();
        uint64_t client = client_, connection = connection_;
        if (proxy_ && !admin_) {
            // Many clients share a proxy's connection: each request is its client's, on no
            // connection of its own, so nobody's guess is judged as the owner's connection.
            auto from = forwardedFor(req, shared_.trustedProxies, *proxy_);
            if (!from) {
                shared_.metrics.count(400);
                response_ = HttpResponse{400, "bad X-Forwarded-For\r\n"};
                head_ = false;
                return write(11, false);
            }
            client = keyOf(*from);
            connection = 0;
        }
        request_ = HttpRequest{req.method, req.target, client, connection, acceptsGzip(req.acceptEncoding), admin_};
        // The web game's files: the HTTP side's own business, no player's request.
        if (!admin_ && shared_.handler.file) {
            if (auto file = shared_.handler.file(request_, req.ifNoneMatch)) {
                shared_.metrics.count(file->status);
                response_ = std::move(*file);
                return respond();
            }
        }
        decide();
    }

    // Nothing reads this connection until its reply is written, so the parsed request (and
    // the views into it) stays as it is while a commit or a pacing timer holds it.
    void decide() {
        Decision decision = shared_.handler.decide(request_);
        if (decision.retryAtMs) {
            auto due = std::chrono::steady_clock::time_point(std::chrono::milliseconds(decision.retryAtMs));
            hold_.expires_at(due);
            hold_.async_wait([self = shared_from_this()](beast::error_code ec) {
                if (ec) return self->close();
                self->decide();
            });
            return;
        }
        if (decision.commit) {
            // A new nickname or a rise waits for its commit on a blocking thread, so this
            // loop's other connections are not held up by the disk.
            asio::post(*shared_.blocking, [self = shared_from_this(), change = std::move(*decision.commit)] {
                HttpResponse answer = self->shared_.handler.commit(change);
                asio::post(self->stream_.get_executor(), [self, answer = std::move(answer)]() mutable {
                    self->response_ = std::move(answer);
                    self->respond();
                });
            });
            return;
        }
        response_ = std::move(decision.response);
        respond();
    }

    void respond() {
        const RequestHead& r = parser_.head();
        head_ = r.method == "HEAD";
        write(r.version, r.keepAlive);
    }

    // The status line and headers are written here rather than by Beast's serializer, so the
    // body can go out as a gather write of the reply's own bytes and the shared view's slices.
    void write(unsigned version, bool keepAlive) {
        keepAlive_ = keepAlive;
        const ReplyText& body = response_.body;
        replyHead(response_, version, keepAlive, admin_, replyHead_);
        // The loop's own: a connection keeps no pieces array between replies (see below).
        thread_local std::array<asio::const_buffer, 2 + ReplyText::kMaxPieces> buffers;
        size_t n = 0;
        for (std::string_view part : {replyHead_.fixed, replyHead_.rest()}) {
            if (!part.empty()) buffers[n++] = asio::buffer(part.data(), part.size());
        }
        size_t bytes = 0;
        for (uint8_t i = 0; i < body.pieceCount && !head_; ++i) {
            std::string_view piece = body.piece(i);
            buffers[n++] = asio::buffer(piece.data(), piece.size());
            bytes += piece.size();
        }
        // A small reply of many pieces (a gzip one: head, stored blocks, runs, trailer) is
        // copied into one buffer of the loop's: the kernel's cost is per piece, the copy's is
        // a few hundred nanoseconds.
        thread_local std::string flat;
        const bool flatten = n > 2 && bytes <= kFlattenBytes;
        if (flatten) {
            flat.clear();
            for (size_t i = 0; i < n; ++i) flat.append(static_cast<const char*>(buffers[i].data()), buffers[i].size());
            buffers[0] = asio::buffer(flat);
            n = 1;
        }
        // A reply nearly always fits the socket's send buffer: one writev now, and no write
        // operation, timer or handler. Only what does not fit waits, with a time-out.
        beast::error_code ec;
        size_t sent = stream_.socket().write_some(std::span<const asio::const_buffer>(buffers.data(), n), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            ec = {};
            sent = 0;
        }
        size_t first = 0;
        for (; first < n && sent >= buffers[first].size(); ++first) sent -= buffers[first].size();
        if (ec || first == n) return written(ec);
        // The loop's buffers serve the next reply: the rest waits in the connection's own
        // string. Only a reader slower than the send buffer gets here.
        buffers[first] += sent;
        unsent_.clear();
        for (size_t i = first; i < n; ++i) unsent_.append(static_cast<const char*>(buffers[i].data()), buffers[i].size());
        // The reply must leave within the time-out too: a reader that never reads is closed.
        stream_.expires_after(std::chrono::milliseconds(shared_.options.idleTimeoutMs));
        asio::async_write(stream_, asio::buffer(unsent_), [self = shared_from_this()](beast::error_code e, size_t) { self->written(e); });
    }

    void written(beast::error_code ec) {
        response_.body.giveBackOwn();
        response_ = {};  // lets go of the view at once
        unsent_ = {};
        if (ec || !keepAlive_) return close();
        buffer_.consume(parser_.head().length);
        read();
    }

    void close() {
        beast::error_code ignored;
        hold_.cancel();
        idle_.cancel();
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    asio::steady_timer hold_;     // the read deadline, and a paced reply's wait
    asio::steady_timer idle_;     // the idle deadline between requests (see armIdle)
    std::chrono::steady_clock::time_point idleSince_{};
    bool idleArmed_ = false;
    // Bounded: a request's head fits (see headerLimit), and pipelined requests beyond that
    // wait in the socket's own small receive buffer.
    beast::flat_buffer buffer_{16384};
    RequestHeadParser parser_;
    Shared& shared_;
    HttpRequest request_;
    HttpResponse response_;   // kept until written: its slices point into a shared view
    ReplyHead replyHead_;     // reused: its capacity stays with the connection
    static constexpr size_t kFlattenBytes = 8192;
    std::string unsent_;      // the rest of a reply that did not fit the send buffer
    bool keepAlive_ = true;
    bool head_ = false;       // HEAD: headers only
    bool reading_ = false;    // a request is being read (its deadline is armed)
    bool timedOut_ = false;   // the deadline passed: the connection ends
    bool waiting_ = false;    // quiet between requests, waiting for the next one's first byte
    bool partial_ = false;    // holds a partial slot of its address and group
    bool admin_;
    uint64_t client_;
    uint64_t connection_;
    std::optional<asio::ip::address> proxy_;  // the peer, when it is a trusted proxy (until a PROXY header names the client)
    std::chrono::steady_clock::time_point firstDue_{};  // the first request's deadline; then cleared
    std::atomic<int>& loopConnections_;
};

// One event loop, one listening socket (SO_REUSEPORT lets the kernel spread connections).
class Loop {
public:
    Loop(Shared& shared, bool admin) : shared_(shared), admin_(admin), acceptor_(ioc_), retry_(ioc_) {}

    // The game's loops, this one included: a connection accepted here may be served by another.
    void share(std::vector<Loop*> loops) { loops_ = std::move(loops); }

    bool listen(const tcp::endpoint& endpoint, std::string& error) {
        beast::error_code ec;
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec && !admin_) acceptor_.set_option(reuse_port(true), ec);
        // Set before listen so accepted sockets inherit it with a window that matches.
        if (!ec) acceptor_.set_option(asio::socket_base::receive_buffer_size(shared_.options.receiveBufferBytes), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) acceptor_.non_blocking(true, ec);  // the accepts after a completion never wait
        if (ec) {
            error = "cannot listen on " + endpoint.address().to_string() + ":" + std::to_string(endpoint.port()) +
                    ": " + ec.message();
            return false;
        }
        return true;
    }
    uint16_t port() const { return acceptor_.local_endpoint().port(); }
    size_t connections() const { return static_cast<size_t>(connections_.load(std::memory_order_relaxed)); }
    void run() {
        accept();
        ioc_.run();
    }
    void stop() { ioc_.stop(); }

private:
    // The loop serving the fewest connections, counted now for the one about to be accepted.
    // The kernel spreads connections over the listening sockets by a hash of their addresses,
    // which leaves one loop with noticeably more of a few hundred clients than the other; that
    // loop's clients then wait longer for every reply.
    Loop& leastBusy() {
        for (;;) {
            Loop* best = this;
            int least = connections_.load(std::memory_order_relaxed);
            for (Loop* l : loops_) {
                int n = l->connections_.load(std::memory_order_relaxed);
                if (n < least) best = l, least = n;
            }
            // Taken only if no other loop's accept took that one first: a burst of accepts on
            // both loops still ends one apart at most.
            if (best->connections_.compare_exchange_weak(least, least + 1, std::memory_order_relaxed)) return *best;
        }
    }

    void accept() {
        acceptor_.async_wait(tcp::acceptor::wait_read, [this](beast::error_code ec) {
            // Take whatever is queued now: with a thousand clients connecting at once, one
            // accept per trip through a busy loop leaves the last ones waiting for seconds.
            for (int i = 0; !ec && i < 256; ++i) {
                Loop& to = leastBusy();
                tcp::socket socket(to.ioc_);
                acceptor_.accept(socket, ec);
                if (ec) {
                    to.connections_.fetch_sub(1, std::memory_order_relaxed);
                    break;
                }
                if (&to == this) {
                    onAccept(std::move(socket));
                } else {
                    asio::post(to.ioc_, [&to, s = std::move(socket)]() mutable { to.onAccept(std::move(s)); });
                }
            }
            if (ec && ec != asio::error::would_block && ec != asio::error::operation_aborted) {
                // Out of descriptors or similar: say so (at most once a second) and pause
                // briefly instead of spinning.
                int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::steady_clock::now().time_since_epoch()).count();
                if (shared_.lastAcceptErrorLog.exchange(now) != now) {
                    std::fprintf(stderr, "orlith-server: cannot accept a connection: %s\n", ec.message().c_str());
                }
                retry_.expires_after(std::chrono::milliseconds(20));
                retry_.async_wait([this](beast::error_code) { accept(); });
                return;
            }
            accept();
        });
    }

    void refuse(tcp::socket socket) {
        shared_.metrics.count(503);
        static const char kFull[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        auto s = std::make_shared<tcp::socket>(std::move(socket));
        asio::async_write(*s, asio::buffer(kFull, sizeof kFull - 1), [s](beast::error_code, size_t) {
            beast::error_code e;
            s->shutdown(tcp::socket::shutdown_both, e);
            s->close(e);
        });
    }

    // On this loop's thread, the connection already counted in connections_.
    void onAccept(tcp::socket socket) {
        if (!admit(socket)) connections_.fetch_sub(1, std::memory_order_relaxed);
    }

    // False when the connection was refused or closed; true when a session serves it.
    bool admit(tcp::socket& socket) {
        beast::error_code ec;
        socket.set_option(tcp::no_delay(true), ec);
        // A fixed send buffer (no autotuning): a reader that never reads holds this much
        // kernel memory, not megabytes.
        socket.set_option(asio::socket_base::send_buffer_size(shared_.options.sendBufferBytes), ec);
        auto peer = socket.remote_endpoint(ec);
        uint64_t client = ec ? 0 : keyOf(peer.address());
        std::optional<asio::ip::address> proxy;
        if (!ec && trusted(shared_.trustedProxies, peer.address())) proxy = peer.address();
        if (!admin_ && shared_.options.proxyProtocol && !proxy) {
            shared_.metrics.proxyRefused(Metrics::kProxyUntrusted);
            socket.close(ec);
            return false;
        }
        if (admin_) {
            if (shared_.adminConnections.fetch_add(1) >= shared_.options.maxAdminConnections) {
                shared_.adminConnections.fetch_sub(1);
                refuse(std::move(socket));
                return false;
            }
        } else {
            if (shared_.connections.fetch_add(1) >= shared_.options.maxConnections) {
                shared_.connections.fetch_sub(1);
                refuse(std::move(socket));
                return false;
            }
            // A trusted proxy holds the connections of many clients: only the global cap.
            if (!proxy && !shared_.perAddress.take(client, shared_.options.maxConnectionsPerAddress)) {
                shared_.connections.fetch_sub(1);
                refuse(std::move(socket));
                return false;
            }
            if (!proxy && !Session::takePartial(shared_, client)) {
                shared_.perAddress.give(client);
                shared_.connections.fetch_sub(1);
                refuse(std::move(socket));
                return false;
            }
        }
        const bool partial = !admin_ && !proxy;
        std::make_shared<Session>(std::move(socket), shared_, admin_, client, std::move(proxy), connections_)->start(partial);
        return true;
    }

    Shared& shared_;
    bool admin_;
    std::vector<Loop*> loops_;
    // Connections this loop serves or is about to; before ioc_, whose sessions give theirs back
    // when it is destroyed.
    std::atomic<int> connections_{0};
    asio::io_context ioc_{1};
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
};

}  // namespace

struct HttpServer::Impl {
    Shared shared;
    std::vector<std::unique_ptr<Loop>> loops;  // the game's, then the admin's
    std::vector<std::thread> threads;
    std::unique_ptr<asio::thread_pool> blocking;
    uint16_t port = 0;
    uint16_t adminPort = 0;
};

HttpServer::HttpServer(ServerOptions options, Handler handler, Metrics& metrics)
    : impl_(new Impl{{std::move(options), std::move(handler), metrics}, {}, {}, {}, 0, 0}) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& error) {
    const ServerOptions& o = impl_->shared.options;
    for (const std::string& text : o.trustedProxies) {
        ProxyBlock b;
        if (!ProxyBlock::parse(text, b)) {
            error = "--trusted-proxy " + text + " is not an address block (CIDR)";
            return false;
        }
        impl_->shared.trustedProxies.push_back(b);
    }
    if (o.proxyProtocol && o.trustedProxies.empty()) {
        error = "--proxy-protocol needs --trusted-proxy: the proxies whose PROXY headers are believed";
        return false;
    }
    beast::error_code ec;
    auto address = asio::ip::make_address(o.host, ec);
    if (ec) {
        error = "--host " + o.host + " is not an IP address";
        return false;
    }
    auto adminAddress = asio::ip::make_address(o.adminHost, ec);
    if (ec) {
        error = "--admin-host " + o.adminHost + " is not an IP address";
        return false;
    }
    uint16_t port = o.port;
    int threads = o.threads < 1 ? 1 : o.threads;
    for (int i = 0; i < threads; ++i) {
        auto loop = std::make_unique<Loop>(impl_->shared, false);
        // The first socket may take any free port; the others join that same port.
        if (!loop->listen(tcp::endpoint(address, port), error)) return false;
        port = loop->port();
        impl_->loops.push_back(std::move(loop));
    }
    impl_->port = port;
    std::vector<Loop*> game;
    for (auto& loop : impl_->loops) game.push_back(loop.get());
    for (Loop* loop : game) loop->share(game);
    auto admin = std::make_unique<Loop>(impl_->shared, true);
    if (!admin->listen(tcp::endpoint(adminAddress, o.adminPort), error)) return false;
    impl_->adminPort = admin->port();
    impl_->loops.push_back(std::move(admin));
    impl_->blocking = std::make_unique<asio::thread_pool>(std::max(1, o.blockingThreads));
    impl_->shared.blocking = impl_->blocking.get();
    for (auto& loop : impl_->loops) impl_->threads.emplace_back([l = loop.get()] { l->run(); });
    return true;
}

void HttpServer::stop() {
    for (auto& loop : impl_->loops) loop->stop();
    for (auto& t : impl_->threads) t.join();
    impl_->threads.clear();
    // Commits under way finish first (they post their replies to the loops' queues, which
    // must still exist); the loops' destruction then drops those replies with the sessions.
    if (impl_->blocking) impl_->blocking->join();
    impl_->loops.clear();
    impl_->blocking.reset();
}

uint16_t HttpServer::port() const { return impl_->port; }
uint16_t HttpServer::adminPort() const { return impl_->adminPort; }
size_t HttpServer::connections() const { return impl_->shared.connections.load(); }

std::vector<uint64_t> HttpServer::loopConnections() const {
    std::vector<uint64_t> counts;
    for (size_t i = 0; i + 1 < impl_->loops.size(); ++i) counts.push_back(impl_->loops[i]->connections());  // not the admin's
    return counts;
}

}  // namespace orlith::server
