// Ranking server, a block of reply lines shared by every reply built from one ranking view,
// and the writing of a run of its lines into a reply: as they stand, or as part of a gzip
// member. For gzip the block is compressed once (on first use) in chunks of lines; each
// chunk starts from an empty dictionary and ends on a byte boundary, so any run of whole
// chunks can be sent as it is beside stored (uncompressed) deflate blocks holding the
// requester's own line, and the checksums are joined from the block's per-line CRCs. Two
// packings: long chunks compress well; short ones cover the edges of a run (around the
// requester, at the line cap), so that at most a few lines go uncompressed.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "view/reply_text.h"

namespace orlith::server {

struct Block {
    static constexpr size_t kPackings = 2;
    static constexpr size_t kChunkLines[kPackings] = {32, 4};

    std::string text;
    std::vector<uint32_t> offsets{0};  // line i is text[offsets[i], offsets[i+1])
    std::vector<const void*> who;      // line i's player, compared only, never followed

    size_t lines() const { return who.size(); }
    std::string_view linesText(size_t from, size_t to) const {
        return std::string_view(text).substr(offsets[from], offsets[to] - offsets[from]);
    }

    struct Packed {
        std::string z;                       // the chunks' deflate output, one after another
        std::vector<uint32_t> zOffsets{0};   // chunk c is z[zOffsets[c], zOffsets[c+1])
    };
    const Packed& packed(size_t packing) const;  // compressed once, on first use; thread-safe
    // CRC-32 of the text of lines [0, i), for every i; made once, on first use; thread-safe.
    const std::vector<uint32_t>& prefixCrc() const;

private:
    mutable std::once_flag packOnce_[kPackings];
    mutable Packed packed_[kPackings];
    mutable std::once_flag crcOnce_;
    mutable std::vector<uint32_t> prefixCrc_;
};

// Builds a gzip member in a reply: the header, stored blocks for owned or shared raw bytes,
// whole compressed chunks, and at the end the final block and the trailer.
class GzipWriter {
public:
    explicit GzipWriter(ReplyText& out);
    void raw(std::string_view bytes);  // the reply's own bytes (the requester's line)
    void run(const Block& block, size_t from, size_t to, size_t packing = 0);  // lines [from, to)
    void finish();

private:
    void stored(std::string_view bytes, bool shared);  // as stored blocks; the CRC is the caller's
    void joinLines(const Block& block, size_t from, size_t to);  // their CRC and length follow

    ReplyText& out_;
    uint32_t crc_ = 0;
    uint32_t length_ = 0;  // modulo 2^32, as the trailer holds it
};

// Lines [from, to) of the block into the reply, plain or through the gzip writer.
void appendLines(ReplyText& out, GzipWriter* gzip, const Block& block, size_t from, size_t to);

}  // namespace orlith::server
