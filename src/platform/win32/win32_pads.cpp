// XInput controllers as standard pads.
#include "platform/win32/win32_pads.h"

#include <algorithm>

namespace orlith {

PadState padFromXInput(const XINPUT_GAMEPAD& g) {
    PadState pad;
    pad.connected = true;
    auto axis = [](SHORT v) { return std::max(-1.0f, static_cast<float>(v) / 32767.0f); };
    pad.leftX = axis(g.sThumbLX);
    pad.leftY = -axis(g.sThumbLY);  // XInput counts up as positive
    pad.rightX = axis(g.sThumbRX);
    pad.rightY = -axis(g.sThumbRY);
    static constexpr WORD kButtons[PadState::buttonCount] = {
        XINPUT_GAMEPAD_A,         XINPUT_GAMEPAD_B,          XINPUT_GAMEPAD_X,         XINPUT_GAMEPAD_Y,
        XINPUT_GAMEPAD_BACK,      XINPUT_GAMEPAD_START,      XINPUT_GAMEPAD_LEFT_SHOULDER,
        XINPUT_GAMEPAD_RIGHT_SHOULDER, XINPUT_GAMEPAD_DPAD_UP, XINPUT_GAMEPAD_DPAD_DOWN, XINPUT_GAMEPAD_DPAD_LEFT,
        XINPUT_GAMEPAD_DPAD_RIGHT};
    for (int b = 0; b < PadState::buttonCount; ++b) pad.buttons[b] = (g.wButtons & kButtons[b]) != 0;
    return pad;
}

XInputPads::XInputPads() {
    for (const wchar_t* name : {L"xinput1_4.dll", L"xinput9_1_0.dll"}) {
        library_ = ::LoadLibraryW(name);
        if (library_ != nullptr) break;
    }
    // Through void*: GetProcAddress's generic function type is no XInputGetState.
    if (library_ != nullptr) {
        getState_ = reinterpret_cast<GetState>(reinterpret_cast<void*>(::GetProcAddress(library_, "XInputGetState")));
    }
}

XInputPads::~XInputPads() {
    if (library_ != nullptr) ::FreeLibrary(library_);
}

PadState XInputPads::read() {
    if (getState_ == nullptr) return {};
    const DWORD now = ::GetTickCount();
    for (DWORD slot = 0; slot < XUSER_MAX_COUNT; ++slot) {
        if (emptySince_[slot] != 0 && now - emptySince_[slot] < 1000) continue;
        XINPUT_STATE state{};
        if (getState_(slot, &state) == ERROR_SUCCESS) {
            emptySince_[slot] = 0;
            return padFromXInput(state.Gamepad);
        }
        emptySince_[slot] = now == 0 ? 1 : now;
    }
    return {};
}

bool XInputPads::startPressed() {
    const bool down = read().buttons[PadState::start];
    const bool pressed = down && !startWasDown_;
    startWasDown_ = down;
    return pressed;
}

}  // namespace orlith
