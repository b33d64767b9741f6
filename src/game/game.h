// Game simulation: the per-frame update and everything it does without a window.
// Owns: the order of work in a frame, controls, turning, movement and collision, the goal and
// the movement modes, sight marking, pointer bookkeeping and frame pacing.
// Reads: GameState and the platform seams. Writes: GameState, and setting.ini / save.dat
// through the persistence routines. Called by: the app's frame loop, once per frame.
#pragma once

#include <cstdint>
#include <string_view>

#include "game/game_state.h"
#include "platform/platform.h"

namespace orlith {

// The steps of a frame that belong to the renderer, the network side and the dialogs.
// Each defaults to nothing, so the core runs on its own in tests and tools.
class FrameHooks {
public:
    virtual ~FrameHooks() = default;
    virtual void renderFrame(GameState&) {}
    virtual void sendRankingRequest(GameState&) {}
    virtual void openInformationDialog(GameState&) {}
};

// One frame: ranking copy, counters, timers, (focused) turning, movement, keys, settings
// write and save, sight, render, goal test, online tail.
void updateFrame(GameState& state, Platform& platform, FrameHooks& hooks);

// --- keys and pointer ------------------------------------------------------------------
// Held: down now. Pressed: down now and up at the previous poll of the same key.
int keyHeld(GameState& state, Platform& platform, int virtualKey);
int keyPressed(GameState& state, Platform& platform, int virtualKey);

int32_t packPoint(int x, int y);       // x low 16 bits, y high 16 bits
int pointX(int32_t packed);            // signed 16-bit halves
int pointY(int32_t packed);
void pointerButtonDown(GameState& state, int x, int y);
void pointerButtonUp(GameState& state);
void pointerMove(GameState& state, int x, int y);
void pointerWheel(GameState& state, int delta);  // 120 per notch, towards the player negative

// --- movement, collision, goal, modes ---------------------------------------------------
int inMaze(const GameState& state, int x, int y, int z);
// Cell index of a coordinate: rounded half away from zero. NaN, infinities and values far
// outside any maze give a cell far outside the grid instead of undefined behaviour.
int32_t cellOf(float v);
void turnPlayer(GameState& state, Platform& platform);
void movePlayer(GameState& state, Platform& platform);
// Moves the player by one displacement with collision and trail; exposed for tests.
void stepPlayer(GameState& state, float dx, float dy, float dz);
void checkGoal(GameState& state);
int32_t distanceToGoal(const GameState& state, const float position[3]);
void switchMovementMode(GameState& state);
void applyNightmare(GameState& state);
// Polls N, M, W, S, D, F, G, H, V, P, R; returns 1 if the settings file needs writing.
int handleOptionKeys(GameState& state, Platform& platform);

// --- sight ------------------------------------------------------------------------------
void markSight(GameState& state);
void sweepSight(GameState& state, int x, int y, int z, int dx, int dy, int dz);

// --- frame pacing (the loop's step 2 and step 4) ----------------------------------------
void beginFrameTiming(GameState& state, Platform& platform);
void endFrameTiming(GameState& state, Platform& platform);

// True when the command line holds "NetFps" (case-sensitive, anywhere).
bool hasNetFpsSwitch(std::u16string_view commandLine);

// Window height for a screen: screen height * 1024 / screen width, truncated.
int32_t windowHeightForScreen(int32_t screenWidth, int32_t screenHeight);

}  // namespace orlith
