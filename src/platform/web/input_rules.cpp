// The browser's key and wheel events in the game's terms.
#include "platform/web/input_rules.h"

#include <cmath>
#include <cstring>

namespace orlith::web {

namespace {

int letterOrDigit(char c) {
    if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return c;
    return 0;
}

}  // namespace

int virtualKeyFor(std::string_view key, std::string_view code) {
    struct Named {
        std::string_view code;
        int key;
    };
    static constexpr Named kPositional[] = {
        {"ArrowLeft", vk::left}, {"ArrowUp", vk::up},   {"ArrowRight", vk::right}, {"ArrowDown", vk::down},
        {"Backspace", 8},        {"Tab", 9},            {"Enter", 13},             {"NumpadEnter", 13},
        {"ShiftLeft", 16},       {"ShiftRight", 16},    {"ControlLeft", 17},       {"ControlRight", 17},
        {"Escape", 27},          {"Space", 32},         {"PageUp", 33},            {"PageDown", 34},
        {"End", 35},             {"Home", 36},          {"Insert", 45},            {"Delete", 46}};
    for (const Named& n : kPositional) {
        if (code == n.code) return n.key;
    }
    if (code.size() >= 2 && code.size() <= 3 && code[0] == 'F' && code.find_first_not_of("0123456789", 1) == std::string_view::npos) {
        const int n = code.size() == 2 ? code[1] - '0' : (code[1] - '0') * 10 + (code[2] - '0');
        return n >= 1 && n <= 12 ? 111 + n : 0;  // VK_F1 is 112; the game has no code above F12
    }
    // The keypad's digits are keys of their own, whatever they type.
    if (code.size() == 7 && code.substr(0, 6) == "Numpad" && code[6] >= '0' && code[6] <= '9') return 96 + (code[6] - '0');
    // The layout's letter or digit, as typed (one character).
    if (key.size() == 1 && letterOrDigit(key[0]) != 0) return letterOrDigit(key[0]);
    // No Latin letter on this layout: the key's US position.
    if (code.size() == 4 && code.substr(0, 3) == "Key") return letterOrDigit(code[3]);
    if (code.size() == 6 && code.substr(0, 5) == "Digit") return letterOrDigit(code[5]);
    return 0;
}

int KeyTracker::down(std::string_view key, std::string_view code) {
    const int virtualKey = virtualKeyFor(key, code);
    if (virtualKey == 0 || code.empty() || code.size() >= sizeof(Held::code)) return virtualKey;
    Held* free = nullptr;
    for (Held& h : held_) {
        if (h.key != 0 && code == h.code) return h.key;  // auto-repeat: still the key it went down as
        if (h.key == 0 && free == nullptr) free = &h;
    }
    if (free == nullptr) return virtualKey;  // more keys held than any hand has: not tracked
    std::memcpy(free->code, code.data(), code.size());
    free->code[code.size()] = '\0';
    free->key = virtualKey;
    return virtualKey;
}

int KeyTracker::up(std::string_view code) {
    for (Held& h : held_) {
        if (h.key != 0 && code == h.code) {
            const int key = h.key;
            h = Held{};
            return key;
        }
    }
    return 0;
}

void KeyTracker::releaseAll() {
    for (Held& h : held_) h = Held{};
}

void KeyTracker::setFocus(bool focused) {
    focused_ = focused;
    // Keys released while the page was not looking never send their release.
    if (!focused) releaseAll();
}

void KeyTracker::fill(InputSnapshot& input, const KeyMap& map) const {
    uint8_t held[256] = {};
    for (const Held& h : held_) {
        if (h.key > 0 && h.key < 256) held[h.key] = 1;
    }
    for (int code = 0; code < 256; ++code) input.keysDown[code] = held[map.physical[code]];
    input.focus = focused_ ? 1 : 0;
}

int32_t WheelConverter::turn(double deltaY, int deltaMode, double wheelDeltaY) {
    double units = 0;
    if (wheelDeltaY != 0) {
        units = wheelDeltaY;
    } else if (deltaMode == 1) {
        units = -deltaY * 40.0;
    } else if (deltaMode == 2) {
        units = -deltaY * 120.0;
    } else {
        units = -deltaY * 1.2;
    }
    if (!std::isfinite(units)) return 0;
    units += rest_;
    const double whole = std::trunc(units);
    rest_ = units - whole;
    if (whole > 32767) return 32767;
    if (whole < -32768) return -32768;
    return static_cast<int32_t>(whole);
}

}  // namespace orlith::web
