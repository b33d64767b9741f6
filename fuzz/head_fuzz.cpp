// libFuzzer target: any bytes as a request head, read whole and again in two reads from a
// moved copy. Both readings must agree, and a head read whole must lie inside the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "rules/request_head.h"

using namespace orlith::server;
using Status = RequestHeadParser::Status;

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t limit = 64 + data[0] * 16u;  // small limits too, so the limit's edge is reached
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    RequestHeadParser whole(limit);
    const Status status = whole.parse(bytes);

    RequestHeadParser split(limit);
    const size_t cut = bytes.empty() ? 0 : data[size / 2] % bytes.size();
    const std::string prefix = bytes.substr(0, cut);
    const std::string moved = bytes;  // another buffer: the views must follow it
    Status first = split.parse(prefix);
    Status second = first == Status::kMore ? split.parse(moved) : first;
    const std::string& last = first == Status::kMore ? moved : prefix;
    if (second != status) __builtin_trap();
    if (status != Status::kDone) return 0;

    const RequestHead& a = whole.head();
    const RequestHead& b = split.head();
    if (a.length > bytes.size() || a.length > limit || bytes.compare(a.length - 4, 4, "\r\n\r\n") != 0) __builtin_trap();
    if (a.method.empty() || a.target.empty() || a.version < 10 || a.version > 19) __builtin_trap();
    for (std::string_view v : {a.method, a.target, a.acceptEncoding, a.ifNoneMatch}) {
        if (!inside(v, std::string_view(bytes).substr(0, a.length))) __builtin_trap();
    }
    if (a.length != b.length || a.keepAlive != b.keepAlive || a.forwardedCount != b.forwardedCount || a.method != b.method ||
        a.target != b.target || a.acceptEncoding != b.acceptEncoding || a.ifNoneMatch != b.ifNoneMatch ||
        !inside(b.target, last)) {
        __builtin_trap();
    }
    for (uint8_t i = 0; i < a.forwardedCount; ++i) {
        if (a.forwardedFor[i] != b.forwardedFor[i] || !inside(a.forwardedFor[i], bytes)) __builtin_trap();
    }
    return 0;
}
