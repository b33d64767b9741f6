// The common CRC-32 table (reflected polynomial 0xEDB88320), shared by the ranking checksum and
// the level table's check so the files can be checked with everyday tools.
#pragma once

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

}  // namespace orlith
