// A standard game controller into the input snapshot.
#include "app/controls.h"

#include <algorithm>
#include <cmath>

namespace orlith {

namespace {

// How far past the dead zone a stick leans, in thousandths of the way from it to the rim.
int16_t beyondDeadZone(float lean) {
    const float past = (std::min(std::fabs(lean), 1.0f) - kStickDeadZone) / (1.0f - kStickDeadZone);
    return past <= 0.0f ? int16_t{0} : static_cast<int16_t>(std::lround(past * 1000.0f));
}

}  // namespace

void applyPad(const PadState& pad, InputSnapshot& input) {
    if (!pad.connected) return;
    auto hold = [&](int key, bool down) {
        if (down) input.keysDown[key] = 1;
    };
    hold(vk::q, pad.leftY < -kStickDeadZone);
    hold(vk::a, pad.leftY > kStickDeadZone);
    hold(vk::z, pad.buttons[PadState::leftShoulder]);
    hold(vk::x, pad.buttons[PadState::rightShoulder]);
    hold(vk::m, pad.buttons[PadState::a]);
    hold(vk::n, pad.buttons[PadState::b]);
    hold(vk::w, pad.buttons[PadState::x]);
    hold(vk::g, pad.buttons[PadState::y]);
    hold(vk::s, pad.buttons[PadState::dpadUp]);
    hold(vk::f, pad.buttons[PadState::dpadDown]);
    hold(vk::d, pad.buttons[PadState::dpadLeft]);
    hold(vk::i, pad.buttons[PadState::dpadRight]);
    hold(vk::f4, pad.buttons[PadState::back]);
    // Left, up, right, down: the stick's lean on each side, kept when a key already turns more.
    const int16_t turns[4] = {pad.rightX < 0 ? beyondDeadZone(pad.rightX) : int16_t{0},
                              pad.rightY < 0 ? beyondDeadZone(pad.rightY) : int16_t{0},
                              pad.rightX > 0 ? beyondDeadZone(pad.rightX) : int16_t{0},
                              pad.rightY > 0 ? beyondDeadZone(pad.rightY) : int16_t{0}};
    for (int k = 0; k < 4; ++k) input.arrowAmount[k] = std::max(input.arrowAmount[k], turns[k]);
}

}  // namespace orlith
