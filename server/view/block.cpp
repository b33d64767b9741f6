// Shared reply blocks and the gzip member built from them.
#include "view/block.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "base/crc32.h"

namespace orlith::server {

namespace {

// CRC-32 arithmetic modulo its polynomial, bit-reflected as zlib keeps it (x^0 is the top
// bit). Joining CRCs shifts one by x^(8n) for n bytes; zlib's crc32_combine computes that power
// from scratch each time (about sixteen products), which a gzip reply did several times per
// request. Here the power comes from tables by the bytes of n: at most four products.
constexpr uint32_t kCrcPoly = 0xEDB88320u;

constexpr uint32_t multModPBitwise(uint32_t a, uint32_t b) {  // a nonzero
    uint32_t m = 1u << 31, p = 0;
    for (;;) {
        if (a & m) {
            p ^= b;
            if ((a & (m - 1)) == 0) return p;
        }
        m >>= 1;
        b = b & 1 ? (b >> 1) ^ kCrcPoly : b >> 1;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The processor's carry-less multiply: a few cycles where the loop above takes a hundred, and a
// gzip reply joins a few dozen CRCs.
__attribute__((target("pclmul,sse2"))) uint64_t carrylessProduct(uint32_t a, uint32_t b) {
    const __m128i p = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(a)), _mm_cvtsi32_si128(static_cast<int>(b)), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(p));
}
const bool kCarryless = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul"));
#endif

constexpr uint32_t multModP(uint32_t a, uint32_t b) {  // a nonzero
#if defined(__x86_64__) && defined(__GNUC__)
    if (!std::is_constant_evaluated() && kCarryless) {
        // Both reflected, so the 64-bit product shifted left once is reflected too: its high half
        // holds x^31..x^0, its low half x^63..x^32, which four steps of the byte table reduce.
        const uint64_t q = carrylessProduct(a, b) << 1;
        uint32_t high = static_cast<uint32_t>(q);
        for (int i = 0; i < 4; ++i) high = (high >> 8) ^ kCrcTable.entries[high & 0xFF];
        return static_cast<uint32_t>(q >> 32) ^ high;
    }
#endif
    return multModPBitwise(a, b);
}

using PowerTable = std::array<std::array<uint32_t, 256>, 4>;  // [k][b]: x^(8 * b * 256^k)

constexpr PowerTable powerTable() {
    PowerTable t{};
    uint32_t step = 1u << 23;  // x^8: one byte
    for (auto& row : t) {
        row[0] = 1u << 31;
        for (size_t b = 1; b < 256; ++b) row[b] = multModP(row[b - 1], step);
        step = multModP(row[255], step);
    }
    return t;
}

constexpr PowerTable kPowers = powerTable();

// x^(8n) modulo the polynomial.
uint32_t bytePower(uint32_t n) {
    uint32_t x = kPowers[0][n & 0xFF];
    for (size_t k = 1; k < 4 && (n >>= 8) != 0; ++k) {
        if (n & 0xFF) x = multModP(kPowers[k][n & 0xFF], x);
    }
    return x;
}

}  // namespace

const Block::Packed& Block::packed(size_t packing) const {
    std::call_once(packOnce_[packing], [this, packing] {
        const size_t k = kChunkLines[packing];
        Packed& out = packed_[packing];
        z_stream zs{};
        // Raw deflate (no zlib header): the gzip framing is written per reply. The default level:
        // it runs at every rebuild that a gzip reply reads, and 9 gains about 1 % here.
        deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        std::string& z = out.z;
        for (size_t first = 0; first < lines(); first += k) {
            std::string_view chunk = linesText(first, std::min(lines(), first + k));
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.data()));
            zs.avail_in = static_cast<uInt>(chunk.size());
            // A full flush ends on a byte boundary and forgets the dictionary, so the next
            // chunk refers to nothing before it and may follow any other bytes.
            do {
                size_t at = z.size();
                z.resize(at + chunk.size() + 64);
                zs.next_out = reinterpret_cast<Bytef*>(z.data() + at);
                zs.avail_out = static_cast<uInt>(z.size() - at);
                deflate(&zs, Z_FULL_FLUSH);
                z.resize(z.size() - zs.avail_out);
            } while (zs.avail_out == 0);
            out.zOffsets.push_back(static_cast<uint32_t>(z.size()));
        }
        deflateEnd(&zs);
    });
    return packed_[packing];
}

const std::vector<uint32_t>& Block::prefixCrc() const {
    std::call_once(crcOnce_, [this] {
        prefixCrc_.reserve(lines() + 1);
        uint32_t crc = 0;
        prefixCrc_.push_back(crc);
        for (size_t i = 0; i < lines(); ++i) {
            std::string_view line = linesText(i, i + 1);
            crc = static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(line.data()), static_cast<uInt>(line.size())));
            prefixCrc_.push_back(crc);
        }
    });
    return prefixCrc_;
}

GzipWriter::GzipWriter(ReplyText& out) : out_(out) {
    // No name, no time stamp, "Unix".
    static const char kHeader[10] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, 3};
    out_.gzip = true;
    out_.addOwn(std::string_view(kHeader, sizeof kHeader));
}

void GzipWriter::raw(std::string_view bytes) {
    // Eight bytes a step from the first: a line is too short for zlib's wider steps to start.
    crc_ = ~crcRun(~crc_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    length_ += static_cast<uint32_t>(bytes.size());
    stored(bytes, false);
}

void GzipWriter::stored(std::string_view bytes, bool shared) {
    while (!bytes.empty()) {
        // A stored block: header bits 000 padded to a byte, then LEN and its complement.
        size_t n = std::min<size_t>(bytes.size(), 65535);
        char head[5] = {0, static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), static_cast<char>(~n & 0xFF),
                        static_cast<char>((~n >> 8) & 0xFF)};
        out_.addOwn(std::string_view(head, 5));
        if (shared) out_.addShared(bytes.substr(0, n));
        else out_.addOwn(bytes.substr(0, n));
        bytes.remove_prefix(n);
    }
}

// The CRC of lines [from, to) from the block's prefix CRCs, crc(A·B) = shift(crc A, |B|) ^ crc B,
// joined to the member's the same way.
void GzipWriter::joinLines(const Block& block, size_t from, size_t to) {
    const std::vector<uint32_t>& prefix = block.prefixCrc();
    const uint32_t length = block.offsets[to] - block.offsets[from];
    const uint32_t shift = bytePower(length);
    uint32_t crc = prefix[to];
    if (from > 0) crc ^= multModP(shift, prefix[from]);
    crc_ = multModP(shift, crc_) ^ crc;
    length_ += length;
}

void GzipWriter::run(const Block& block, size_t from, size_t to, size_t packing) {
    if (from >= to) return;
    // The edges that are not whole chunks here go to the finer packing, or as they stand.
    auto edge = [&](size_t a, size_t b) {
        if (packing + 1 < Block::kPackings) run(block, a, b, packing + 1);
        else if (a < b) joinLines(block, a, b), stored(block.linesText(a, b), true);
    };
    const size_t k = Block::kChunkLines[packing], n = block.lines();
    const Block::Packed& p = block.packed(packing);
    size_t chunks = p.zOffsets.size() - 1;
    size_t a = (from + k - 1) / k;             // first whole chunk
    size_t c = to == n ? chunks : to / k;      // end of the whole chunks
    if (a >= c) return edge(from, to);
    size_t startLine = a * k, endLine = std::min(c * k, n);
    edge(from, startLine);
    joinLines(block, startLine, endLine);  // the chunks' CRC is their lines'
    out_.addShared(std::string_view(p.z).substr(p.zOffsets[a], p.zOffsets[c] - p.zOffsets[a]));
    edge(endLine, to);
}

void GzipWriter::finish() {
    // A final, empty block with fixed codes, then CRC-32 and length, little-endian.
    char tail[10] = {3, 0};
    for (int i = 0; i < 4; ++i) {
        tail[2 + i] = static_cast<char>((crc_ >> (8 * i)) & 0xFF);
        tail[6 + i] = static_cast<char>((length_ >> (8 * i)) & 0xFF);
    }
    out_.addOwn(std::string_view(tail, sizeof tail));
}

void appendLines(ReplyText& out, GzipWriter* gzip, const Block& block, size_t from, size_t to) {
    if (from >= to) return;
    if (gzip) gzip->run(block, from, to);
    else out.addShared(block.linesText(from, to));
}

}  // namespace orlith::server
