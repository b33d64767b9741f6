// The application shell's portable part, shared by every platform's entry point: the frame
// pacing of the loop, the window size rule, the "NetFps" switch, and the frame hooks that
// connect the game to the ranking and persistence layers.
#pragma once

#include <cstdint>
#include <string_view>

#include "game/game.h"
#include "platform/platform.h"
#include "state/game_state.h"

namespace orlith {

// The loop's step 2: measure the last complete group of 60 frames, start a group.
void beginFrameTiming(GameState& state, Platform& platform);
// The loop's step 4: sleep to this frame's slot in its group (no catch-up for late frames).
void endFrameTiming(GameState& state, Platform& platform);

// True when the command line holds "NetFps" (case-sensitive, anywhere).
bool hasNetFpsSwitch(std::u16string_view commandLine);

// Window height for a screen: screen height * 1024 / screen width, truncated.
int32_t windowHeightForScreen(int32_t screenWidth, int32_t screenHeight);

// The frame steps every platform shares: the ranking copy, the settings file and the save
// file. A platform derives from it and adds drawing, the request and the dialog.
class GameHooks : public FrameHooks {
public:
    explicit GameHooks(Platform& platform) : platform_(platform) {}
    void takeRankingUpdate(GameState& state) override;
    void writeSettings(GameState& state) override;
    int writeSave(GameState& state) override;

protected:
    Platform& platform_;
};

}  // namespace orlith
