// Windows: an XInput controller's state reads as the standard pad (sticks' up is forward).
#include <gtest/gtest.h>

#include <string>

#include "app/controls.h"
#include "platform/win32/win32_pads.h"

namespace orlith {
namespace {

TEST(XInputPad, ReadsAsTheStandardPad) {
    XINPUT_GAMEPAD g{};
    g.sThumbLY = 32767;   // pushed away: forward
    g.sThumbRX = -32768;  // full left
    g.sThumbRY = 16384;   // up, half way
    g.wButtons = XINPUT_GAMEPAD_A | XINPUT_GAMEPAD_BACK | XINPUT_GAMEPAD_RIGHT_SHOULDER | XINPUT_GAMEPAD_DPAD_RIGHT;
    const PadState pad = padFromXInput(g);
    EXPECT_TRUE(pad.connected && pad.leftY == -1.0f && pad.rightX == -1.0f && pad.buttons[PadState::a] &&
                pad.buttons[PadState::back] && pad.buttons[PadState::rightShoulder] && pad.buttons[PadState::dpadRight] &&
                !pad.buttons[PadState::b] && !pad.buttons[PadState::start]);
    InputSnapshot in;
    applyPad(pad, in);
    std::string held;
    for (int k = 0; k < 256; ++k) held += in.keysDown[k] != 0 ? std::to_string(k) + " " : "";
    EXPECT_EQ(held, "73 77 81 88 115 ");  // I, M, Q, X, F4
    EXPECT_EQ(in.arrowAmount[0], 1000);   // left, fully
    EXPECT_EQ(in.arrowAmount[1], 333);    // up: half way is a third past the dead zone
}

}  // namespace
}  // namespace orlith
