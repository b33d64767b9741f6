// The seams through which the portable game reaches the machine: clock, keys, focus and the
// message box. One implementation per platform (sdl/), plus fakes in the tests. The game core
// includes this header only; it never sees SDL, GL, curl or sockets.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

namespace orlith {

enum class MessageKind {
    error,     // OK button, exclamation icon
    question,  // Yes/No buttons, No the default
};

class Platform {
public:
    virtual ~Platform() = default;

    // Milliseconds from an arbitrary origin; wraps at 2^32 like the tick count it stands for.
    virtual uint32_t tickCount() = 0;
    virtual void sleepMs(uint32_t ms) = 0;

    // Whether the key with this virtual-key code is down at this moment.
    virtual bool isKeyDown(int virtualKey) = 0;

    // Whether the game window has the keyboard focus.
    virtual bool hasFocus() = 0;

    // Shows a modal message titled "Orlith"; for a question, returns true on Yes.
    virtual bool showMessage(std::u16string_view text, MessageKind kind) = 0;

    // The platform's last error code, printed by the error report.
    virtual int lastErrorCode() = 0;

    // Seconds since 1970-01-01 UTC, for the state value's time stamp.
    virtual uint32_t unixTime() { return static_cast<uint32_t>(std::time(nullptr)); }
};

// Virtual-key codes of the keys the game reads.
namespace vk {
inline constexpr int left = 37, up = 38, right = 39, down = 40;
inline constexpr int a = 65, d = 68, f = 70, g = 71, h = 72, i = 73, m = 77, n = 78, p = 80, q = 81,
                     r = 82, s = 83, v = 86, w = 87, x = 88, z = 90;
inline constexpr int f4 = 115;
}  // namespace vk

}  // namespace orlith
