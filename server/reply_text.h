// Ranking server, the text of a reply: a small owned part (the requester's own line, an error
// line) followed by up to four slices of an immutable, shared ranking view. A ranking reply is
// ~30 KB and nearly all of it is the same for every requester, so it is never copied per
// request: the socket side sends the slices straight from the view with one gather write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orlith::server {

struct ReplyText {
    std::string own;                      // sent first
    std::shared_ptr<const void> keep;     // owns the memory the slices point into
    std::array<std::string_view, 4> slices{};
    uint8_t sliceCount = 0;

    ReplyText() = default;
    ReplyText(std::string text) : own(std::move(text)) {}                 // NOLINT: plain text
    ReplyText(const char* text) : own(text) {}                            // NOLINT: plain text

    size_t size() const {
        size_t n = own.size();
        for (uint8_t i = 0; i < sliceCount; ++i) n += slices[i].size();
        return n;
    }
    // The whole text in one string: for tests, fuzzing and anything not on the hot path.
    std::string str() const {
        std::string out;
        out.reserve(size());
        out += own;
        for (uint8_t i = 0; i < sliceCount; ++i) out += slices[i];
        return out;
    }
};

}  // namespace orlith::server
