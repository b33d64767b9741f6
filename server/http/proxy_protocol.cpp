// The PROXY protocol header, read again from the start whenever more bytes arrive: it is at
// most a few hundred bytes, and a connection reads it once.
#include "http/proxy_protocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

namespace orlith::server {

namespace {

using Status = ProxyHeader::Status;

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::string_view kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

ProxyHeader bad() { return {Status::kBad}; }

// Whether bytes so far could still begin with prefix.
bool mayBegin(std::string_view bytes, std::string_view prefix) {
    size_t n = std::min(bytes.size(), prefix.size());
    return bytes.substr(0, n) == prefix.substr(0, n);
}

bool port(std::string_view text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    return std::stoi(std::string(text)) <= 65535;
}

// "PROXY TCP4 src dst sport dport\r\n", TCP6 the same, or "PROXY UNKNOWN[ anything]\r\n".
ProxyHeader parseV1(std::string_view bytes) {
    if (!mayBegin(bytes, kV1Prefix)) return bad();
    size_t end = bytes.substr(0, kProxyV1MaxLine).find("\r\n");
    if (end == std::string_view::npos) return bytes.size() >= kProxyV1MaxLine ? bad() : ProxyHeader{};
    ProxyHeader h{Status::kDone, end + 2};
    std::string_view line = bytes.substr(kV1Prefix.size(), end - kV1Prefix.size());
    if (line == "UNKNOWN" || line.starts_with("UNKNOWN ")) return h;
    std::string_view fields[5];
    for (std::string_view& f : fields) {
        size_t space = std::min(line.find(' '), line.size());
        f = line.substr(0, space);
        line.remove_prefix(std::min(space + 1, line.size()));
    }
    // Nothing may follow the destination port, and every field is there, one space apart.
    if (!line.empty() || fields[4].empty() || (bytes[end - 1] == ' ')) return bad();
    int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : 0;
    unsigned char destination[16];
    if (!family || inet_pton(family, std::string(fields[1]).c_str(), h.address.data()) != 1 ||
        inet_pton(family, std::string(fields[2]).c_str(), destination) != 1 || !port(fields[3]) || !port(fields[4])) {
        return bad();
    }
    h.addressLength = family == AF_INET ? 4 : 16;
    return h;
}

// The signature, version 2 and a command, the family and transport, the length of what
// follows (addresses, then TLVs), big-endian.
ProxyHeader parseV2(std::string_view bytes) {
    if (!mayBegin(bytes, kV2Signature)) return bad();
    if (bytes.size() < 16) return {};
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned version = b[12] >> 4, command = b[12] & 0xF, family = b[13] >> 4, transport = b[13] & 0xF;
    const size_t length = size_t{b[14]} << 8 | b[15];
    if (version != 2 || command > 1 || length > kProxyV2MaxLength) return bad();
    if (bytes.size() < 16 + length) return {};
    ProxyHeader h{Status::kDone, 16 + length};
    // LOCAL (the proxy's own connection, a health check), AF_UNSPEC and Unix sockets: the peer.
    if (command == 0 || family == 0 || family == 3) return h;
    const size_t size = family == 1 ? 4 : family == 2 ? 16 : 0;
    if (!size || transport != 1 || length < 2 * size + 4) return bad();
    std::copy(b + 16, b + 16 + size, h.address.begin());
    h.addressLength = size;
    return h;
}

}  // namespace

ProxyHeader parseProxyHeader(std::string_view bytes) {
    if (bytes.empty()) return {};
    return bytes[0] == 'P' ? parseV1(bytes) : parseV2(bytes);
}

}  // namespace orlith::server
