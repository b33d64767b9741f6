// What the player did since the last frame, as plain data: the keys held, the focus, and the
// pointer's events in order. A platform fills one snapshot a frame from its devices (or a demo
// replays one); the game reads nothing else of the devices, so a recorded run replays exactly.
#pragma once

#include <cstdint>

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

}  // namespace orlith
