// Query parsing of the ranking server: check and ranking requests, read from their end.
#include "rules/request.h"

#include <cctype>

#include "players/names.h"

namespace orlith::server {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "0" or 1..10 digits without a leading zero, at most 2147483647: what the game's "%d" of a
// checksum can produce, so any other spelling is refused rather than normalised.
bool parseChecksum(std::string_view digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 10) return false;
    if (digits.size() > 1 && digits[0] == '0') return false;
    uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0x7FFFFFFFu) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The game sends the nickname as typed: non-ASCII percent-escaped as UTF-8 by its HTTP client,
// but a typed '%' arrives as it stands. So the decoded text is the first candidate and the
// raw text the second; the checksum tells which one the client meant. Either is a plain
// text once chosen: a raw "%0A" is three printable characters, never a line break.
struct NameCandidates {
    std::u16string names[2];
    int count = 0;
    const char* error = "nickname is not valid percent-escaped UTF-8";
};

NameCandidates nameCandidates(std::string_view raw) {
    NameCandidates c;
    std::string decoded;
    std::u16string wide;
    bool wellFormed = percentDecode(raw, decoded);
    if (wellFormed) {
        if (!strictUtf8ToUtf16(decoded, wide)) {
            c.error = "nickname is not valid UTF-8";
        } else if (const char* why = checkNickname(wide)) {
            c.error = why;
        } else {
            c.names[c.count++] = std::move(wide);
        }
    }
    if (raw.find('%') != std::string_view::npos && strictUtf8ToUtf16(raw, wide) && checkNickname(wide) == nullptr) {
        c.names[c.count++] = wide;
    }
    return c;
}

}  // namespace

void splitTarget(std::string_view target, std::string_view& path, std::string_view& query) {
    // Absolute form: "http://" or "https://" in any case, then the authority up to the path.
    size_t colon = target.find("://");
    if (colon != std::string_view::npos && target.find_first_of("/?") > colon) {
        std::string scheme(target.substr(0, colon));
        for (char& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (scheme == "http" || scheme == "https") {
            size_t slash = target.find_first_of("/?", colon + 3);
            if (slash == std::string_view::npos || target[slash] == '?') {
                path = "/";  // an empty path is the root
                query = slash == std::string_view::npos ? std::string_view() : target.substr(slash + 1);
                return;
            }
            target = target.substr(slash);
        }
    }
    size_t q = target.find('?');
    path = target.substr(0, q);
    query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

bool acceptsGzip(std::string_view header) {
    // Comma-separated codings, each with an optional ";q=" weight; "gzip;q=0" refuses it.
    auto trim = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        return v;
    };
    auto lower = [](std::string_view v) {
        std::string out(v);
        for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return out;
    };
    bool gzip = false, star = false, gzipNamed = false;
    while (!header.empty()) {
        size_t comma = header.find(',');
        std::string_view item = header.substr(0, comma);
        header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
        size_t semi = item.find(';');
        std::string coding = lower(trim(item.substr(0, semi)));
        bool allowed = true;
        if (semi != std::string_view::npos) {
            std::string params = lower(item.substr(semi + 1));
            size_t q = params.find("q=");
            if (q != std::string::npos) {
                std::string_view w = trim(std::string_view(params).substr(q + 2));
                // q is at most three decimals: anything but zeros means accepted.
                allowed = w.find_first_of("123456789") != std::string_view::npos;
            }
        }
        if (coding == "gzip" || coding == "x-gzip") {
            gzipNamed = true;
            gzip = allowed;
        } else if (coding == "*") {
            star = allowed;
        }
    }
    return gzipNamed ? gzip : star;
}

bool percentDecode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = hexValue(in[i + 1]);
        int lo = hexValue(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

ParsedQuery parseQuery(std::string_view query) {
    ParsedQuery p;
    static constexpr std::string_view kCheck = "mode=check";
    static constexpr std::string_view kCheckName = "mode=check&name=";
    static constexpr std::string_view kPin = "&pin=";
    static constexpr std::string_view kName = "name=";
    static constexpr std::string_view kState = "&state=";
    static constexpr std::string_view kSum = "&sum=";

    if (query == kCheck) {
        p.kind = QueryKind::legacyCheck;
        return p;
    }
    if (query.starts_with(kCheckName)) {
        // mode=check&name=<nickname>&pin=<8 hex>, the pin read from the end.
        constexpr size_t tail = kPin.size() + 8;
        if (query.size() < kCheckName.size() + tail ||
            query.substr(query.size() - tail, kPin.size()) != kPin ||
            !isLowerHex(query.substr(query.size() - 8))) {
            p.error = "check query does not end in &pin= and 8 lowercase hex digits";
            return p;
        }
        NameCandidates c = nameCandidates(query.substr(kCheckName.size(), query.size() - kCheckName.size() - tail));
        if (c.count == 0) {
            p.error = c.error;
            return p;
        }
        p.kind = QueryKind::namedCheck;
        p.nickname = c.names[0];
        if (c.count > 1) p.rawNickname = c.names[1];  // a check has no checksum to choose by
        p.nicknameUtf8 = toUtf8(p.nickname);
        p.pin = std::string(query.substr(query.size() - 8));
        return p;
    }
    if (!query.starts_with(kName)) {
        p.error = "query is neither a check nor a ranking request";
        return p;
    }
    size_t sumAt = query.rfind(kSum);
    uint32_t sum = 0;
    if (sumAt == std::string_view::npos || !parseChecksum(query.substr(sumAt + kSum.size()), sum)) {
        p.error = "query does not end in &sum= and a decimal checksum";
        return p;
    }
    size_t stateLen = kState.size() + static_cast<size_t>(kStateValueLength);
    if (sumAt < kName.size() + stateLen ||
        query.substr(sumAt - stateLen, kState.size()) != kState ||
        !isLowerHex(query.substr(sumAt - kStateValueLength, kStateValueLength))) {
        p.error = "no &state= with 104 lowercase hex digits before &sum=";
        return p;
    }
    std::string_view state = query.substr(sumAt - kStateValueLength, kStateValueLength);
    std::string_view rawName = query.substr(kName.size(), sumAt - stateLen - kName.size());
    NameCandidates c = nameCandidates(rawName);
    if (c.count == 0) {
        p.error = c.error;
        return p;
    }
    for (int k = 0; k < c.count; ++k) {
        // The game's checksum covers the query from "name=" to the state value.
        if (checksumOf(c.names[k], state) == sum) {
            p.kind = QueryKind::ranking;
            p.nickname = std::move(c.names[k]);
            p.nicknameUtf8 = toUtf8(p.nickname);
            p.stateValue = std::string(state);
            return p;
        }
    }
    p.error = "checksum does not match the query";
    return p;
}

}  // namespace orlith::server
