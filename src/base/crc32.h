// The common CRC-32 table (reflected polynomial 0xEDB88320), shared by the ranking checksum and
// the level table's check so the files can be checked with everyday tools.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orlith {

struct CrcTable {
    uint32_t entries[256];
    constexpr CrcTable() : entries() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
    }
};

// Built at compile time, so threads never race to make it.
inline constexpr CrcTable kCrcTable;

// Eight tables for eight bytes a step (slicing-by-8): slice k advances a byte by k more bytes.
struct CrcSlices {
    uint32_t t[8][256];
    constexpr CrcSlices() : t() {
        for (uint32_t n = 0; n < 256; ++n) t[0][n] = kCrcTable.entries[n];
        for (int k = 1; k < 8; ++k) {
            for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
        }
    }
};
inline constexpr CrcSlices kCrcSlices;

// The running (inverted) register on over count bytes, every byte counted.
inline uint32_t crcRun(uint32_t reg, const uint8_t* p, size_t count) {
    const auto& t = kCrcSlices.t;
    for (; count >= 8; p += 8, count -= 8) {
        uint32_t lo = reg ^ (p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
        reg = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; count > 0; ++p, --count) reg = (reg >> 8) ^ t[0][(reg ^ *p) & 0xFF];
    return reg;
}

}  // namespace orlith
