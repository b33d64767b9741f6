// Wide formatter and UTF conversions.
#include "base/text.h"

#include <cstdio>
#include <cstring>

namespace orlith {

namespace {

struct Output {
    char16_t* dest;
    int capacity;
    int length = 0;
    void put(char16_t c) {
        if (length < capacity - 1) dest[length] = c;
        ++length;
    }
    void putAscii(const char* s) {
        for (; *s; ++s) put(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    }
};

}  // namespace

void detail::formatMismatch(const char*) {}

int vformatText(char16_t* dest, int capacity, const char16_t* format, const FormatArg* args, size_t count) {
    if (dest == nullptr || capacity <= 0 || format == nullptr) return -1;
    Output out{dest, capacity};
    size_t next = 0;
    // The next argument when it is of this kind; else the format is bad.
    auto take = [&](FormatKind kind) -> const FormatArg* {
        if (next >= count || args[next].kind != kind) return nullptr;
        return &args[next++];
    };
    bool bad = false;
    for (const char16_t* p = format; *p && !bad; ++p) {
        if (*p != u'%') {
            out.put(*p);
            continue;
        }
        // Collect the conversion in narrow form and let snprintf do the numbers.
        char piece[32];
        int n = 0;
        piece[n++] = '%';
        ++p;
        while (*p && std::strchr("-0+ #", static_cast<char>(*p)) && *p < 128 && n < 8) piece[n++] = static_cast<char>(*p++);
        int width = -1, precision = -1;
        while (*p >= u'0' && *p <= u'9' && n < 16) {
            width = (width < 0 ? 0 : width) * 10 + (*p - u'0');
            piece[n++] = static_cast<char>(*p++);
        }
        if (*p == u'.') {
            piece[n++] = '.';
            ++p;
            precision = 0;
            while (*p >= u'0' && *p <= u'9' && n < 24) {
                precision = precision * 10 + (*p - u'0');
                piece[n++] = static_cast<char>(*p++);
            }
        }
        bool isLong = false;
        if (*p == u'l') {
            isLong = true;
            ++p;
        }
        char16_t conv = *p;
        char buf[512];
        auto finish = [&](char c) {
            piece[n++] = c;
            piece[n] = 0;
        };
        switch (conv) {
            case u'%':
                out.put(u'%');
                break;
            case u'd':
            case u'i':
            case u'u':
            case u'x':
            case u'X': {
                if (width > 400 || precision > 400) {
                    bad = true;
                    break;
                }
                const FormatArg* arg = take(isLong ? FormatKind::int64 : FormatKind::int32);
                if (arg == nullptr) {
                    bad = true;
                    break;
                }
                const bool isSigned = conv == u'd' || conv == u'i';
                if (isLong) {
                    // 64 bits on every system (Windows' long has 32), so both builds show the same.
                    piece[n++] = 'l';
                    piece[n++] = 'l';
                    finish(static_cast<char>(conv));
                    if (isSigned) std::snprintf(buf, sizeof buf, piece, static_cast<long long>(arg->integer));
                    else std::snprintf(buf, sizeof buf, piece, static_cast<unsigned long long>(arg->integer));
                } else {
                    finish(static_cast<char>(conv));
                    if (isSigned) std::snprintf(buf, sizeof buf, piece, static_cast<int>(arg->integer));
                    else std::snprintf(buf, sizeof buf, piece, static_cast<unsigned>(arg->integer));
                }
                out.putAscii(buf);
                break;
            }
            case u'f':
            case u'F':
            case u'e':
            case u'E':
            case u'g':
            case u'G': {
                if (width > 400 || precision > 400) {
                    bad = true;
                    break;
                }
                const FormatArg* arg = take(FormatKind::real);
                if (arg == nullptr) {
                    bad = true;
                    break;
                }
                finish(static_cast<char>(conv));
                std::snprintf(buf, sizeof buf, piece, arg->real);
                out.putAscii(buf);
                break;
            }
            case u'c': {
                const FormatArg* arg = take(FormatKind::int32);
                if (arg == nullptr) {
                    bad = true;
                    break;
                }
                out.put(static_cast<char16_t>(arg->integer));
                break;
            }
            case u's': {
                const FormatArg* arg = take(FormatKind::text);
                if (arg == nullptr) {
                    bad = true;
                    break;
                }
                const char16_t* s = arg->text != nullptr ? arg->text : u"(null)";
                int len = 0;
                while (s[len] && (precision < 0 || len < precision)) ++len;
                int w = width;
                piece[n] = 0;
                bool leftAlign = std::strchr(piece, '-') != nullptr;
                if (!leftAlign)
                    for (int k = len; k < w; ++k) out.put(u' ');
                for (int k = 0; k < len; ++k) out.put(s[k]);
                if (leftAlign)
                    for (int k = len; k < w; ++k) out.put(u' ');
                break;
            }
            default:
                bad = true;
                break;
        }
        if (*p == 0) break;
    }
    if (next != count) bad = true;  // an argument without its conversion
    if (bad) {
        dest[0] = 0;
        return -1;
    }
    int written = out.length < capacity ? out.length : capacity - 1;
    dest[written] = 0;
    return written;
}

int textLength(const char16_t* text, int maxLength) {
    int n = 0;
    while (n < maxLength && text[n]) ++n;
    return n;
}

void copyText(char16_t* dest, int capacity, std::u16string_view source) {
    if (capacity <= 0) return;
    size_t n = source.size() < static_cast<size_t>(capacity - 1) ? source.size() : static_cast<size_t>(capacity - 1);
    for (size_t i = 0; i < n; ++i) dest[i] = source[i];
    dest[n] = 0;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xF4) {
            size_t need = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            uint32_t v = c & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
            size_t k = 1;
            for (; k < need && i + k < text.size(); ++k) {
                auto cc = static_cast<unsigned char>(text[i + k]);
                if ((cc & 0xC0) != 0x80) break;
                v = (v << 6) | (cc & 0x3F);
            }
            if (k == need) {
                bool overlong = (need == 3 && v < 0x800) || (need == 4 && v < 0x10000);
                bool surrogate = v >= 0xD800 && v <= 0xDFFF;
                if (!overlong && !surrogate && v <= 0x10FFFF) {
                    cp = v;
                    len = need;
                } else {
                    len = k;
                }
            } else {
                len = k;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace orlith
