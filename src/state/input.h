// What the player did since the last frame, as plain data: the keys held, the focus, and the
// pointer's events in order. A platform fills one snapshot a frame from its devices (or a demo
// replays one); the game reads nothing else of the devices, so a recorded run replays exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orlith {

// Virtual-key codes of the keys the game and the shell read (the Windows codes, on every platform).
namespace vk {
inline constexpr int left = 37, up = 38, right = 39, down = 40;
inline constexpr int a = 65, d = 68, f = 70, g = 71, h = 72, i = 73, m = 77, n = 78, p = 80, q = 81,
                     r = 82, s = 83, v = 86, w = 87, x = 88, z = 90;
inline constexpr int f4 = 115, f12 = 123;
}  // namespace vk

struct PointerEvent {
    enum Kind : uint8_t { down, up, move, wheel } kind = move;
    int32_t x = 0, y = 0;  // picture pixels for down and move; x holds the delta of a wheel
};

struct InputSnapshot {
    static constexpr int kMaxEvents = 16;

    uint8_t keysDown[256] = {};           // 1 while the key with this virtual-key code is down
    // How far an analog stick holds each arrow, in thousandths (0..1000), for a turn of that
    // fraction of the arrow key's rate; a held arrow key counts 1000. Left, up, right, down.
    int16_t arrowAmount[4] = {};
    int32_t focus = 0;                    // 1 while the window has the keyboard focus
    int32_t eventCount = 0;               // 0..kMaxEvents
    PointerEvent events[kMaxEvents] = {};  // left button down/up, moves, wheel turns, in order

    // Appends an event. A move right after a move replaces it, and a wheel turn right after
    // another is added to it while the sum fits the wheel's 16 bits: the game would do the same
    // with them one by one. Beyond the room, later moves and turns are dropped, but a button
    // change is kept in the last slot, so a drag never outlives its button.
    void addPointerEvent(PointerEvent e) {
        if (eventCount > 0) {
            PointerEvent& last = events[eventCount - 1];
            if (e.kind == PointerEvent::move && last.kind == PointerEvent::move) {
                last = e;
                return;
            }
            if (e.kind == PointerEvent::wheel && last.kind == PointerEvent::wheel &&
                static_cast<int16_t>(last.x) == last.x && static_cast<int16_t>(e.x) == e.x &&
                last.x + e.x >= -32768 && last.x + e.x <= 32767) {
                last.x += e.x;
                return;
            }
        }
        if (eventCount < kMaxEvents) {
            events[eventCount++] = e;
        } else if (e.kind == PointerEvent::down || e.kind == PointerEvent::up) {
            events[kMaxEvents - 1] = e;
        }
    }
    // A new frame's snapshot keeps the keys and the focus; the events were used.
    void clearEvents() { eventCount = 0; }
};

// A standard game controller (the layout SDL's game controllers, XInput and the browser's
// "standard" gamepads share), as a platform reads it; connected false when there is none.
struct PadState {
    enum Button : uint8_t { a, b, x, y, back, start, leftShoulder, rightShoulder, dpadUp, dpadDown, dpadLeft, dpadRight,
                            buttonCount };
    bool connected = false;
    float leftX = 0, leftY = 0;    // -1..1, y positive downwards (towards the player)
    float rightX = 0, rightY = 0;  // -1..1, y positive downwards
    bool buttons[buttonCount] = {};
};

// The keys a player may move to others, by the key they stand for, with their names in
// setting.ini's [Keys] section.
struct KeyAction {
    int key;           // the virtual-key code the game reads
    const char* name;  // e.g. "Forward"
};
inline constexpr KeyAction kKeyActions[] = {
    {vk::q, "Forward"},     {vk::a, "Backward"},     {vk::left, "TurnLeft"},   {vk::right, "TurnRight"},
    {vk::up, "LookUp"},     {vk::down, "LookDown"},  {vk::z, "FlyTurnLeft"},   {vk::x, "FlyTurnRight"},
    {vk::m, "Mode"},        {vk::n, "Nightmare"},    {vk::w, "Walls"},         {vk::s, "Status"},
    {vk::d, "Panels"},      {vk::f, "Fps"},          {vk::g, "Guide"},         {vk::h, "Horizontal"},
    {vk::v, "Vertical"},    {vk::p, "Progress"},     {vk::r, "Rotate"},        {vk::f4, "Save"},
    {vk::i, "Information"}, {vk::f12, "Screenshot"},
};

// Which key of the keyboard (by virtual-key code) stands for each key the game reads: the key
// itself unless setting.ini moves it. A platform fills keysDown[k] from key physical[k].
struct KeyMap {
    uint8_t physical[256];
    constexpr KeyMap() : physical() {
        for (int k = 0; k < 256; ++k) physical[k] = static_cast<uint8_t>(k);
    }
};

// Names of keys as setting.ini writes them: "A".."Z", "0".."9", "F1".."F12", "Left", "Up",
// "Right", "Down", "Space", "Tab", "Enter", "Backspace", "Shift", "Control", "Insert", "Delete",
// "Home", "End", "PageUp", "PageDown", "Numpad0".."Numpad9". Case is not significant.
int keyCodeOfName(std::string_view name);  // 0 for no such key
std::string keyNameOf(int virtualKey);     // empty for a key without a name

}  // namespace orlith
