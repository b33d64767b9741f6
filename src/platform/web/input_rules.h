// What the browser's input events mean to the game, as plain code (no browser needed, so the
// tests run it anywhere): which virtual key a KeyboardEvent stands for, which keys are held,
// and a wheel turn in the desktop's units. The web platform (web_platform.h) feeds it the
// page's events and reads the frame's snapshot from it.
#pragma once

#include <cstdint>
#include <string_view>

#include "state/input.h"

namespace orlith::web {

// The virtual-key code of a key event, 0 for a key the game has no code for. Letters and digits
// follow the layout (KeyboardEvent.key: the key labelled Q is Q on AZERTY too); a letter key
// whose layout gives no Latin letter falls back to its US position (KeyboardEvent.code, as the
// desktop does). The rest by position (code): arrows, F1-F12, the keys setting.ini may name
// (Space, Tab, Enter, Backspace, Shift, Control, Insert, Delete, Home, End, PageUp, PageDown,
// the keypad's digits), and Escape.
int virtualKeyFor(std::string_view key, std::string_view code);

// The keys held, by physical key: a key goes up as the virtual key it went down as, whatever
// the layout or modifiers say when it is released; losing the focus releases every key.
class KeyTracker {
public:
    // A key event; returns the virtual key it stands for (0: none, the page may keep it).
    int down(std::string_view key, std::string_view code);
    int up(std::string_view code);
    void releaseAll();
    void setFocus(bool focused);
    // The held keys and the focus into the snapshot: each key the game reads from the key the
    // map puts in its place (setting.ini's [Keys]; by default itself).
    void fill(InputSnapshot& input, const KeyMap& map) const;

private:
    static constexpr int kSlots = 32;  // keys held at once
    struct Held {
        char code[24] = {};
        int key = 0;
    };
    Held held_[kSlots];
    bool focused_ = false;
};

// Wheel turns in the desktop's units: 120 a notch, positive away from the player. Chromium
// and Safari give that delta themselves (wheelDeltaY); otherwise a notch is 3 lines or 100
// pixels of deltaY, whose sign is the other way round. Fractions of a unit are kept for the
// next turn, so a touchpad's small steps add up.
class WheelConverter {
public:
    // deltaMode: 0 pixels, 1 lines, 2 pages. wheelDeltaY: 0 when the browser has none.
    int32_t turn(double deltaY, int deltaMode, double wheelDeltaY);

private:
    double rest_ = 0;
};

}  // namespace orlith::web
