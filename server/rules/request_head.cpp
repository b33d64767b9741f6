// A strict reader of request heads: anything a proxy in front of us might read differently
// (bare line feeds, folded lines, spaces before a colon, control bytes, two lengths) is
// refused rather than guessed at, and the connection is closed after the refusal.
#include "rules/request_head.h"

#include <cstring>

namespace orlith::server {

namespace {

constexpr std::array<bool, 256> kTokenChars = [] {
    std::array<bool, 256> t{};
    for (char c : std::string_view("!#$%&'*+-.^_`|~")) t[static_cast<uint8_t>(c)] = true;
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = t[c - 32] = true;
    return t;
}();

bool isToken(std::string_view s) {
    bool good = true;
    for (char c : s) good &= kTokenChars[static_cast<uint8_t>(c)];
    return good;
}

// The target and field values are most of a head's bytes: their classes by comparisons, with
// no early exit, so the loops vectorise.
bool allTarget(std::string_view s) {
    bool bad = false;
    for (char c : s) bad |= static_cast<uint8_t>(c) <= 0x20 || c == 0x7F;
    return !bad;
}

bool allValue(std::string_view s) {
    bool bad = false;
    for (char c : s) bad |= (static_cast<uint8_t>(c) < 0x20 && c != '\t') || c == 0x7F;
    return !bad;
}

bool sameLower(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((s[i] | 0x20) != lower[i]) return false;  // field names are tokens: only letters fold
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

RequestHeadParser::Status RequestHeadParser::parse(std::string_view bytes) {
    while (next_ < bytes.size()) {
        const void* lf = std::memchr(bytes.data() + next_, '\n', bytes.size() - next_);
        if (!lf) break;
        const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - bytes.data());
        if (end + 1 > limit_) return Status::kTooLarge;
        if (end == next_ || bytes[end - 1] != '\r') return Status::kBad;  // a bare line feed
        const size_t at = next_, size = end - 1 - at;
        next_ = end + 1;
        if (at == 0) {
            if (!requestLine(bytes.substr(0, size))) return Status::kBad;
        } else if (size == 0) {
            return finish(bytes, end);
        } else if (!field(bytes, at, size)) {
            return Status::kBad;
        }
    }
    return bytes.size() >= limit_ ? Status::kTooLarge : Status::kMore;
}

// method SP target SP "HTTP/1." DIGIT
bool RequestHeadParser::requestLine(std::string_view line) {
    const size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0) return false;
    const size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return false;
    std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1), version = line.substr(sp2 + 1);
    if (!isToken(method) || !allTarget(target)) return false;
    if (version.size() != 8 || !version.starts_with("HTTP/1.") || version[7] < '0' || version[7] > '9') return false;
    version_ = 10 + static_cast<unsigned>(version[7] - '0');
    method_ = {0, static_cast<uint32_t>(sp1)};
    target_ = {static_cast<uint32_t>(sp1 + 1), static_cast<uint32_t>(target.size())};
    return true;
}

bool RequestHeadParser::field(std::string_view bytes, size_t at, size_t size) {
    std::string_view line = bytes.substr(at, size);
    const size_t colon = line.find(':');
    // A folded line (leading space) and a space before the colon both land here.
    if (colon == std::string_view::npos || colon == 0 || !isToken(line.substr(0, colon))) return false;
    std::string_view name = line.substr(0, colon), raw = line.substr(colon + 1);
    if (!allValue(raw)) return false;
    std::string_view value = trimmed(raw);
    auto span = [&] {
        return Span{static_cast<uint32_t>(value.data() - bytes.data()), static_cast<uint32_t>(value.size())};
    };
    switch (name.size()) {
        case 10:
            if (sameLower(name, "connection")) {
                for (size_t start = 0; start <= value.size();) {
                    size_t comma = std::min(value.find(',', start), value.size());
                    std::string_view token = trimmed(value.substr(start, comma - start));
                    close_ |= sameLower(token, "close");
                    keepAliveToken_ |= sameLower(token, "keep-alive");
                    start = comma + 1;
                }
            }
            break;
        case 13:
            if (sameLower(name, "if-none-match") && !seenIfNoneMatch_) {
                seenIfNoneMatch_ = true;
                ifNoneMatch_ = span();
            }
            break;
        case 14:
            if (sameLower(name, "content-length")) {
                if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return false;
                body_ |= value.find_first_not_of('0') != std::string_view::npos;
            }
            break;
        case 15:
            if (sameLower(name, "accept-encoding") && !seenAcceptEncoding_) {
                seenAcceptEncoding_ = true;
                acceptEncoding_ = span();
            } else if (sameLower(name, "x-forwarded-for")) {
                if (forwardedCount_ == forwarded_.size()) return false;
                forwarded_[forwardedCount_++] = span();
            }
            break;
        case 17:
            body_ |= sameLower(name, "transfer-encoding");  // any coding: a body follows
            break;
        default:
            break;
    }
    return true;
}

RequestHeadParser::Status RequestHeadParser::finish(std::string_view bytes, size_t end) {
    if (body_) return Status::kBody;
    head_.method = method_.in(bytes);
    head_.target = target_.in(bytes);
    head_.version = version_;
    head_.keepAlive = version_ >= 11 ? !close_ : keepAliveToken_ && !close_;
    head_.acceptEncoding = seenAcceptEncoding_ ? acceptEncoding_.in(bytes) : std::string_view();
    head_.ifNoneMatch = seenIfNoneMatch_ ? ifNoneMatch_.in(bytes) : std::string_view();
    for (uint8_t i = 0; i < forwardedCount_; ++i) head_.forwardedFor[i] = forwarded_[i].in(bytes);
    head_.forwardedCount = forwardedCount_;
    head_.length = end + 1;
    return Status::kDone;
}

}  // namespace orlith::server
