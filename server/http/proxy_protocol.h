// Ranking server, the PROXY protocol header (v1 text line or v2 binary) a TCP proxy sends at
// the start of a connection to name the client it relays. Pure: given the bytes received so
// far, it says "more", "bad", or "done" with the header's length and the client's address
// (none when the proxy says to use the peer: v2 LOCAL, v1 UNKNOWN, v2 AF_UNSPEC or a Unix
// socket). TLVs are skipped. Called by: the HTTP session of a listener with --proxy-protocol.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace orlith::server {

inline constexpr size_t kProxyV1MaxLine = 107;   // "PROXY TCP6 ...\r\n" at its longest
inline constexpr size_t kProxyV2MaxLength = 4096; // addresses and TLVs; more is refused

struct ProxyHeader {
    enum class Status { kMore, kBad, kDone };
    Status status = Status::kMore;
    size_t length = 0;                       // bytes of the header, when done
    size_t addressLength = 0;                // 4 or 16; 0: the connection's peer is the client
    std::array<unsigned char, 16> address{}; // the client's, network order
};

// Reads the header at the start of bytes (everything received so far on the connection).
ProxyHeader parseProxyHeader(std::string_view bytes);

}  // namespace orlith::server
