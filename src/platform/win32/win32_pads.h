// Game controllers on Windows through XInput (xinput1_4.dll, else xinput9_1_0.dll, loaded when
// the system has one): the first connected controller as a standard pad. Owned by the Windows
// entry point; main thread.
#pragma once

#include <windows.h>
#include <xinput.h>

#include "state/input.h"

namespace orlith {

// An XInput pad's state in the standard layout (sticks to -1..1, y positive towards the player).
PadState padFromXInput(const XINPUT_GAMEPAD& gamepad);

class XInputPads {
public:
    XInputPads();
    ~XInputPads();
    XInputPads(const XInputPads&) = delete;
    XInputPads& operator=(const XInputPads&) = delete;

    // The first controller connected now; none when no controller (or no XInput) is there.
    // A slot found empty is asked again only after a second: asking an empty slot is slow.
    PadState read();
    // Whether Start went down since the last call (the dialogs' start button).
    bool startPressed();

private:
    using GetState = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
    HMODULE library_ = nullptr;
    GetState getState_ = nullptr;
    DWORD emptySince_[XUSER_MAX_COUNT] = {};  // tick when a slot was last found empty, 0 never
    bool startWasDown_ = false;
};

}  // namespace orlith
