// A game controller plays on Linux: an SDL virtual controller, plugged into the game window's
// event loop, reads as the standard pad and walks levels 1 and 2 through the same snapshot the
// keyboard fills; pulled out, it lets go of everything.
#include <gtest/gtest.h>

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "app/controls.h"
#include "game/game.h"
#include "platform/sdl/sdl_window.h"
#include "support/fixtures.h"

namespace orlith {
namespace {

// An honest player's keys for one frame towards the centre of the target cell: turn (1 degree a
// frame at the default turning rate) until facing it, then step forward with Q.
InputSnapshot steer(const GameState& s, const MazeCell& from, const MazeCell& target) {
    InputSnapshot f = test::held();
    const int d[3] = {target.x - from.x, target.y - from.y, target.z - from.z};
    const float wantPitch = d[1] != 0 ? (d[1] > 0 ? 90.0f : -90.0f) : 0.0f;
    const float wantYaw = d[0] != 0 ? (d[0] > 0 ? 90.0f : 270.0f) : (d[2] > 0 ? 0.0f : 180.0f);
    if (s.pitch != wantPitch) {
        f.keysDown[s.pitch < wantPitch ? vk::up : vk::down] = 1;
    } else if (wantPitch == 0.0f && s.yaw != wantYaw) {
        f.keysDown[std::fmod(wantYaw - s.yaw + 360.0f, 360.0f) <= 180.0f ? vk::right : vk::left] = 1;
    } else {
        f.keysDown[vk::q] = 1;
    }
    return f;
}

TEST(SdlPad, AVirtualControllerPlaysLevelsOneAndTwoAndLetsGoWhenPulledOut) {
    // A headless window never has the focus, and SDL then drops a controller's motion.
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
    SdlWindow window;
    ASSERT_TRUE(window.create(1024, 576)) << SDL_GetError();
    EXPECT_FALSE(window.readPad().connected);

    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION, desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX, desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    const int device = SDL_JoystickAttachVirtualEx(&desc);
    ASSERT_GE(device, 0) << SDL_GetError();
    SDL_Joystick* stick = SDL_JoystickOpen(device);
    ASSERT_NE(stick, nullptr) << SDL_GetError();
    // A frame's input: the window's events, then the pad read over them.
    auto play = [&] {
        InputSnapshot in = test::held();
        window.pumpEvents(in);
        applyPad(window.readPad(), in);
        return in;
    };
    // The plug-in and the motion reach the window through its events: each stick and button in
    // its place of the standard pad (left stick a quarter left, right a quarter down; A, Back and
    // the d-pad's right pressed).
    SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_LEFTX, -8192);
    SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_RIGHTY, 8192);
    const auto buttons = {SDL_CONTROLLER_BUTTON_A, SDL_CONTROLLER_BUTTON_BACK, SDL_CONTROLLER_BUTTON_DPAD_RIGHT};
    for (auto b : buttons) SDL_JoystickSetVirtualButton(stick, b, SDL_PRESSED);
    play();
    PadState pad = window.readPad();
    ASSERT_TRUE(pad.connected);
    EXPECT_NEAR(pad.leftX, -0.25f, 1e-4f);
    EXPECT_NEAR(pad.rightY, 0.25f, 1e-4f);
    std::string pressed;
    for (int b = 0; b < PadState::buttonCount; ++b) pressed += pad.buttons[b] ? std::to_string(b) + " " : "";
    EXPECT_EQ(pressed, "0 4 11 ");  // a, back, dpadRight
    for (auto b : buttons) SDL_JoystickSetVirtualButton(stick, b, SDL_RELEASED);
    SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_LEFTX, 0);

    // The controller's hands: the keys the honest player would press, as full stick leans.
    auto lean = [&](const InputSnapshot& keys) {
        for (auto [axis, minus, plus] : {std::tuple{SDL_CONTROLLER_AXIS_LEFTY, vk::q, vk::a}, {SDL_CONTROLLER_AXIS_RIGHTX, vk::left, vk::right},
                                         {SDL_CONTROLLER_AXIS_RIGHTY, vk::up, vk::down}})
            SDL_JoystickSetVirtualAxis(stick, axis, keys.keysDown[plus] ? 32767 : keys.keysDown[minus] ? -32768 : 0);
    };
    auto s = test::levelState(1);
    FrameHooks hooks;
    int frames = 0;
    for (int32_t level = 1; s->level < 3 && frames < 40000; level = s->level) {
        std::vector<MazeCell> path = shortestPath(s->cellGrid, s->sizeX);
        ASSERT_GE(path.size(), 2u);
        for (size_t next = 1; s->level == level && frames < 40000; ++frames) {
            const MazeCell& t = path[next];
            const float error = std::max({std::fabs(static_cast<float>(t.x) - s->playerPos[0]),
                                          std::fabs(static_cast<float>(t.y) - s->playerPos[1]),
                                          std::fabs(static_cast<float>(t.z) - s->playerPos[2])});
            if (error < 0.026f && next + 1 < path.size()) ++next;
            lean(steer(*s, path[next - 1], path[next]));
            updateFrame(*s, test::sharedWork(), play(), hooks);
        }
    }
    EXPECT_EQ(s->level, 3) << "after " << frames << " frames";

    // Pulled out while leaning forward: nothing stays held.
    SDL_JoystickSetVirtualAxis(stick, SDL_CONTROLLER_AXIS_LEFTY, -32768), SDL_JoystickClose(stick);
    ASSERT_EQ(SDL_JoystickDetachVirtual(device), 0) << SDL_GetError();
    EXPECT_EQ(play().keysDown[vk::q], 0);
    window.destroy();
    SDL_Quit();
}

TEST(SdlWindowKeys, EachNewAltEnterTogglesFullScreenAndNothingElseDoes) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    SdlWindow window;
    ASSERT_TRUE(window.create(640, 360)) << SDL_GetError();
    auto press = [&](Uint16 mod, Uint8 repeat) {
        SDL_Event e{};
        e.type = SDL_KEYDOWN;
        e.key.windowID = SDL_GetWindowID(window.handle());
        e.key.state = SDL_PRESSED, e.key.repeat = repeat;
        e.key.keysym.scancode = SDL_SCANCODE_RETURN, e.key.keysym.sym = SDLK_RETURN, e.key.keysym.mod = mod;
        SDL_PushEvent(&e);
        InputSnapshot in{};
        window.pumpEvents(in);
        return (SDL_GetWindowFlags(window.handle()) & SDL_WINDOW_FULLSCREEN_DESKTOP) == SDL_WINDOW_FULLSCREEN_DESKTOP;
    };
    // Enter alone, or Alt+Enter held down (its repeats), leaves the window as it is.
    const struct { Uint16 mod; Uint8 repeat; bool full; } presses[] = {
        {KMOD_NONE, 0, false}, {KMOD_LALT, 0, true}, {KMOD_LALT, 1, true}, {KMOD_NONE, 0, true}, {KMOD_RALT, 0, false}};
    for (const auto& p : presses) EXPECT_EQ(press(p.mod, p.repeat), p.full) << "mod " << p.mod << ", repeat " << int{p.repeat};
    window.destroy();
    SDL_Quit();
}

}  // namespace
}  // namespace orlith
