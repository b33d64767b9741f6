// A game controller on Linux: an SDL virtual controller, plugged into the game window's event
// loop, reads as the standard pad (its sticks and buttons each in their place) and fills the
// snapshot the keyboard fills; pulled out, it lets go of everything.
#include <gtest/gtest.h>

#include <SDL.h>

#include "app/controls.h"
#include "platform/sdl/sdl_window.h"
#include "support/fixtures.h"

namespace orlith {
namespace {

TEST(SdlPad, AVirtualControllerReadsAsTheStandardPadAndLetsGoWhenPulledOut) {
    // A headless window never has the focus, and SDL then drops a controller's motion.
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
    SdlWindow window;
    ASSERT_TRUE(window.create(1024, 576)) << SDL_GetError();
    EXPECT_FALSE(window.readPad().connected);

    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    const int device = SDL_JoystickAttachVirtualEx(&desc);
    ASSERT_GE(device, 0) << SDL_GetError();
    SDL_Joystick* stick = SDL_JoystickOpen(device);
    ASSERT_NE(stick, nullptr) << SDL_GetError();
    // Left stick pushed away (forward) and a little left, right stick fully right and a quarter
    // down; A, Back and the d-pad's right pressed.
    for (auto [axis, value] : {std::pair{SDL_CONTROLLER_AXIS_LEFTX, -8192}, {SDL_CONTROLLER_AXIS_LEFTY, -32768},
                               {SDL_CONTROLLER_AXIS_RIGHTX, 32767}, {SDL_CONTROLLER_AXIS_RIGHTY, 8192}}) {
        SDL_JoystickSetVirtualAxis(stick, axis, static_cast<Sint16>(value));
    }
    for (auto button : {SDL_CONTROLLER_BUTTON_A, SDL_CONTROLLER_BUTTON_BACK, SDL_CONTROLLER_BUTTON_DPAD_RIGHT}) {
        SDL_JoystickSetVirtualButton(stick, button, SDL_PRESSED);
    }
    // The plug-in and the motion reach the window through its events.
    InputSnapshot in = test::held();
    window.pumpEvents(in);
    const PadState pad = window.readPad();
    EXPECT_TRUE(pad.connected);
    EXPECT_NEAR(pad.leftX, -0.25f, 1e-4f);
    EXPECT_EQ(std::tuple(pad.leftY, pad.rightX), std::tuple(-1.0f, 1.0f));
    EXPECT_NEAR(pad.rightY, 0.25f, 1e-4f);
    std::string pressed;
    for (int b = 0; b < PadState::buttonCount; ++b) pressed += pad.buttons[b] ? std::to_string(b) + " " : "";
    EXPECT_EQ(pressed, "0 4 11 ");  // a, back, dpadRight
    applyPad(pad, in);
    EXPECT_EQ(std::tuple(in.keysDown[vk::q], in.arrowAmount[2]), std::tuple(1, 1000));  // forward, turning right

    // Pulled out while leaning forward: nothing stays held.
    SDL_JoystickClose(stick);
    ASSERT_EQ(SDL_JoystickDetachVirtual(device), 0) << SDL_GetError();
    InputSnapshot after = test::held();
    window.pumpEvents(after);
    applyPad(window.readPad(), after);
    EXPECT_EQ(after.keysDown[vk::q], 0);
    window.destroy();
    SDL_Quit();
}

}  // namespace
}  // namespace orlith
