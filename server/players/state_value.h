// Ranking server, a state value as the players keep it: the 104 lowercase hex digits of a
// request as 52 bytes, and the fields of it that the rules and the order read.
#pragma once

#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/core_bridge.h"

namespace orlith::server {

inline constexpr size_t kStateBytes = kStateValueLength / 2;

// Unix time now, milliseconds.
inline int64_t wallNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The state value is checked lowercase hex before it gets here: two digits a byte.
inline void toBytes(std::string_view hex, uint8_t* out, size_t n = kStateBytes) {
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(digit(hex[2 * i]) * 16 + digit(hex[2 * i + 1]));
}

inline void appendHex(std::string& out, const uint8_t* bytes, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    const size_t at = out.size();
    out.resize(at + 2 * n);  // one size check, not one per digit: a reply line has 104
    char* to = out.data() + at;
    for (size_t i = 0; i < n; ++i) {
        to[2 * i] = kHex[bytes[i] >> 4];
        to[2 * i + 1] = kHex[bytes[i] & 15];
    }
}

// The fields of a state value the rules and the order use (fields 0..12 of 8 digits each).
struct Fields {
    int32_t level, steps, distance;
    bool finite;
    float position[3];
};

inline Fields fieldsOf(const uint8_t* state) {
    auto word = [&](size_t field) {
        const uint8_t* b = state + 4 * field;
        return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    };
    Fields f;
    f.level = static_cast<int32_t>(word(2));
    f.steps = static_cast<int32_t>(word(3));
    f.finite = true;
    for (size_t k = 0; k < 9; ++k) {
        float v = std::bit_cast<float>(word(4 + k));
        f.finite = f.finite && std::isfinite(v);
        if (k < 3) f.position[k] = v;
    }
    f.distance = goalDistance(f.position);
    return f;
}

inline Fields fieldsOf(std::string_view stateValue) {
    uint8_t bytes[kStateBytes];
    toBytes(stateValue, bytes);
    return fieldsOf(bytes);
}

}  // namespace orlith::server
