// The Platform seam on SDL2: clock, keys, focus and message boxes for the Linux game.
// Keys and focus come from an input snapshot taken once per frame (from the devices, or
// from a demo file), so a recorded run replays exactly. Owned by the app.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace orlith {

// What the game sees of the devices in one frame: keys held (virtual-key codes) and focus.
// Pointer events go straight into GameState through the pointer functions of the core.
struct InputSnapshot {
    uint8_t keysDown[256] = {};  // 1 while the key with this virtual-key code is down
    int focus = 0;               // 1 while the window has the keyboard focus
};

// SDL scancode of a virtual-key code the game reads, or SDL_SCANCODE_UNKNOWN.
SDL_Scancode scancodeForVirtualKey(int virtualKey);

class SdlPlatform final : public Platform {
public:
    uint32_t tickCount() override;
    void sleepMs(uint32_t ms) override;
    bool isKeyDown(int virtualKey) override;
    bool hasFocus() override;
    // Message box over the window when one can be shown; always on stderr as well.
    bool showMessage(std::u16string_view text, MessageKind kind) override;
    int lastErrorCode() override { return lastError; }

    // Reads the keyboard state and the window's focus into the snapshot.
    void sampleDevices();

    SDL_Window* window = nullptr;  // owner of message boxes; may be null
    InputSnapshot input;           // this frame's keys and focus
    int lastError = 0;             // code shown by the next error report (GL error, errno)
    bool pacing = true;            // false: sleepMs returns at once (tests and timing runs)
};

}  // namespace orlith
