// The application shell's portable part, shared by every platform's entry point: the frame
// pacing of the loop, the window size rule, the "NetFps" switch, and the frame hooks that
// connect the game to the ranking and persistence layers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/demo.h"
#include "game/game.h"
#include "platform/dialogs.h"
#include "platform/platform.h"
#include "ranking/network.h"
#include "state/game_state.h"

namespace orlith {

// Pacing, at the frame's start: measure the last complete group of 60 frames, start a group.
// now is the millisecond tick.
void beginFrameTiming(GameState& state, uint32_t now);
// Pacing, at the frame's end: the milliseconds left to this frame's slot in its group, 0 when
// late (no catch-up for late frames).
uint32_t endFrameTiming(GameState& state, uint32_t now);

// True when the command line holds "NetFps" (case-sensitive, anywhere).
bool hasNetFpsSwitch(std::u16string_view commandLine);

// Window height for a screen: screen height * 1024 / screen width, truncated.
int32_t windowHeightForScreen(int32_t screenWidth, int32_t screenHeight);
// The picture's size for a screen: 1024 wide, the height above, kept within 1 .. 16384 pixels
// (what a graphics device can make, whatever screen size the command line pretends).
void sizeWindow(GameState& state, int32_t screenWidth, int32_t screenHeight);

// The processor check of the entry point: identification leaf 1 exists and reports SSE and SSE2
// (bits 25 and 26 of its EDX).
bool processorSupported(uint32_t highestLeaf, uint32_t leaf1Edx);

// The end state for scripts and tests (--report), one fact a line, names last: level, steps,
// position, FPS, the ranking, and the other players' arrows drawn in the last frame.
std::string reportText(const GameState& state, const std::vector<std::array<float, 3>>& arrows);

// The frame steps every platform shares: the ranking copy, the settings file, the save file, the
// ranking request and the information dialog. A platform derives from it and adds drawing.
class GameHooks : public FrameHooks {
public:
    // network is null offline; dialogs may be null where none can be shown (tools, tests).
    explicit GameHooks(Platform& platform, NetworkLink* network = nullptr, Dialogs* dialogs = nullptr)
        : platform_(platform), network_(network), dialogs_(dialogs) {}
    void takeRankingUpdate(GameState& state) override;
    void writeSettings(GameState& state) override;
    int writeSave(GameState& state) override;
    void sendRankingRequest(GameState& state) override;
    void openInformationDialog(GameState& state) override;

protected:
    Platform& platform_;
    NetworkLink* network_;
    Dialogs* dialogs_;
    std::unique_ptr<InformationTable> table_;  // made at the first opening
};

}  // namespace orlith
