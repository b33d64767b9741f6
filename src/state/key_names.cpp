// Key names as setting.ini writes them, and back.
#include <cctype>

#include "state/input.h"

namespace orlith {

namespace {

struct NamedKey {
    const char* name;
    int code;
};
constexpr NamedKey kNamed[] = {
    {"Left", 37},  {"Up", 38},        {"Right", 39},   {"Down", 40},   {"Space", 32},    {"Tab", 9},
    {"Enter", 13}, {"Backspace", 8},  {"Shift", 16},   {"Control", 17}, {"Insert", 45},  {"Delete", 46},
    {"Home", 36},  {"End", 35},       {"PageUp", 33},  {"PageDown", 34},
};

bool sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

}  // namespace

int keyCodeOfName(std::string_view name) {
    if (name.size() == 1) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return c;
    }
    for (const NamedKey& k : kNamed) {
        if (sameNoCase(name, k.name)) return k.code;
    }
    // F1..F12 and Numpad0..Numpad9: the prefix and one or two digits, no leading zero.
    auto numberAfter = [&](std::string_view prefix) {
        if (name.size() <= prefix.size() || name.size() > prefix.size() + 2 || !sameNoCase(name.substr(0, prefix.size()), prefix)) {
            return -1;
        }
        const std::string_view digits = name.substr(prefix.size());
        if (digits.size() == 2 && digits[0] == '0') return -1;
        int n = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return -1;
            n = n * 10 + (c - '0');
        }
        return n;
    };
    if (const int f = numberAfter("F"); f >= 1 && f <= 12) return 111 + f;
    if (const int n = numberAfter("Numpad"); n >= 0 && n <= 9) return 96 + n;
    return 0;
}

std::string keyNameOf(int virtualKey) {
    if ((virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9')) {
        return std::string(1, static_cast<char>(virtualKey));
    }
    if (virtualKey >= 112 && virtualKey <= 123) return "F" + std::to_string(virtualKey - 111);
    if (virtualKey >= 96 && virtualKey <= 105) return "Numpad" + std::to_string(virtualKey - 96);
    for (const NamedKey& k : kNamed) {
        if (k.code == virtualKey) return k.name;
    }
    return {};
}

}  // namespace orlith
