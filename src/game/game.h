// Game simulation: the per-frame update and everything it does without a window.
// Owns: the order of work in a frame, controls, turning, movement and collision, the goal and
// the movement modes, the camera of the current pose, sight marking and pointer bookkeeping.
// Reads: GameState and the platform seams. Writes: GameState. Hands the steps that belong to
// the layers above (ranking copy, settings and save files, drawing, the ranking request, the
// information dialog) to FrameHooks, in their order. Called by: the app's frame loop, once a frame.
#pragma once

#include <cstdint>

#include "maze/maze.h"
#include "platform/platform.h"
#include "state/game_state.h"

namespace orlith {

// The steps of a frame that belong to the layers above the game. Each defaults to nothing,
// so the core runs on its own in tests and tools.
class FrameHooks {
public:
    virtual ~FrameHooks() = default;
    virtual void takeRankingUpdate(GameState&) {}      // online, first in the frame
    virtual void writeSettings(GameState&) {}          // a settings key acted this frame
    virtual int writeSave(GameState&) { return 0; }    // F4 offline; 1 when saved
    virtual void renderFrame(GameState&) {}            // camera and sight are ready
    virtual void sendRankingRequest(GameState&) {}     // online, after the goal test
    virtual void openInformationDialog(GameState&) {}  // online, focused, not dragging, I
};

// One frame: ranking copy, counters, timers, (focused) turning, movement, keys, settings
// write, camera, save, sight, render, goal test, online tail. A level reached in this frame
// gets its camera at once, so whatever reads the state after the frame sees the new level's pose.
void updateFrame(GameState& state, MazeWork& work, Platform& platform, FrameHooks& hooks);

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
// Advances the level when the player is within 0.1 cell of the goal; true when it did.
bool checkGoal(GameState& state, MazeWork& work);
// Whole part of the distance from the goal to the centre of the position's cell; INT32_MAX
// for positions no integer can hold.
int32_t distanceToGoal(const float goal[3], const float position[3]);
void switchMovementMode(GameState& state);
void applyNightmare(GameState& state);
// Polls N, M, W, S, D, F, G, H, V, P, R; returns 1 if the settings file needs writing.
int handleOptionKeys(GameState& state, Platform& platform);

// --- camera -----------------------------------------------------------------------------
inline constexpr float kNearPlane = 0.01f;
inline constexpr float kFarPlane = 200.0f;
// Sets cameraEye/Focus/Up, viewMatrix and projectionMatrix from the pose, mode, field of view
// and window size.
void buildCamera(GameState& state);

// --- sight ------------------------------------------------------------------------------
void markSight(GameState& state);
void sweepSight(GameState& state, int x, int y, int z, int dx, int dy, int dz);

}  // namespace orlith
