// Ranking server, the text of a reply: a few owned bytes (the requester's own line, an error
// line, gzip framing) between slices of an immutable, shared ranking view. A ranking reply
// is ~30 KB and nearly all of it is the same for every requester, so it is never copied per
// request: the socket side sends the pieces straight from the view with one gather write.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace orlith::server {

struct ReplyText {
    // A run of bytes: of `own` at offset when shared is null, else of the shared memory.
    struct Piece {  // no initialisers: only the first pieceCount are ever read
        const char* shared;
        uint32_t offset;
        uint32_t size;
    };
    static constexpr size_t kMaxPieces = 40;

    std::string own;
    std::shared_ptr<const void> keep;     // owns the memory the shared pieces point into
    std::array<Piece, kMaxPieces> pieces;
    uint8_t pieceCount = 0;
    bool gzip = false;                    // the bytes are a gzip member

    // A reply moves from the rules to the connection on every request: only the pieces in use
    // are copied, not all forty.
    ReplyText() = default;
    ReplyText(const ReplyText& o) { *this = o; }
    ReplyText(ReplyText&& o) noexcept { *this = std::move(o); }
    ReplyText& operator=(const ReplyText& o) {
        if (this == &o) return *this;
        own = o.own;
        keep = o.keep;
        pieceCount = o.pieceCount;
        gzip = o.gzip;
        std::copy_n(o.pieces.begin(), pieceCount, pieces.begin());
        return *this;
    }
    ReplyText& operator=(ReplyText&& o) noexcept {
        own = std::move(o.own);
        keep = std::move(o.keep);
        pieceCount = std::exchange(o.pieceCount, 0);  // its own pieces went with its string
        gzip = o.gzip;
        std::copy_n(o.pieces.begin(), pieceCount, pieces.begin());
        return *this;
    }
    ReplyText(std::string text) { addOwn(text); }                       // NOLINT: plain text
    ReplyText(const char* text) { addOwn(text); }                       // NOLINT: plain text

    void addOwn(std::string_view bytes) {
        if (bytes.empty()) return;
        Piece* last = pieceCount ? &pieces[pieceCount - 1] : nullptr;
        if (last && !last->shared && last->offset + last->size == own.size()) {
            last->size += static_cast<uint32_t>(bytes.size());  // adjacent: one piece
        } else {
            pieces[pieceCount++] = {nullptr, static_cast<uint32_t>(own.size()), static_cast<uint32_t>(bytes.size())};
        }
        own.append(bytes);
    }
    void addShared(std::string_view bytes) {
        if (!bytes.empty()) pieces[pieceCount++] = {bytes.data(), 0, static_cast<uint32_t>(bytes.size())};
    }
    std::string_view piece(size_t i) const {
        const Piece& p = pieces[i];
        return p.shared ? std::string_view(p.shared, p.size) : std::string_view(own).substr(p.offset, p.size);
    }
    size_t size() const {
        size_t n = 0;
        for (uint8_t i = 0; i < pieceCount; ++i) n += pieces[i].size;
        return n;
    }
    // The own bytes' string of the last reply sent on this thread, kept with its capacity for
    // the next reply built here: a reply's own line and framing then cost no allocation.
    static std::string& spareOwn() {
        thread_local std::string spare;
        return spare;
    }
    void takeSpareOwn() {
        if (own.empty() && spareOwn().capacity() > own.capacity()) own.swap(spareOwn());
    }
    void giveBackOwn() {  // once the reply is sent
        if (own.capacity() > spareOwn().capacity()) own.swap(spareOwn());
        spareOwn().clear();
    }
    // The whole text in one string: for tests, fuzzing and anything not on the hot path.
    std::string str() const {
        std::string out;
        out.reserve(size());
        for (uint8_t i = 0; i < pieceCount; ++i) out += piece(i);
        return out;
    }
};

}  // namespace orlith::server
