// Game simulation: the per-frame update and everything it does without a window.
// Owns: the order of work in a frame, controls, turning, movement and collision, the goal and
// the movement modes, the camera of the current pose, sight marking and pointer bookkeeping.
// Reads: GameState and the frame's InputSnapshot (never a device). Writes: GameState. Hands the
// steps that belong to the layers above (ranking copy, settings and save files, drawing, the
// ranking request, the information dialog) to FrameHooks, in their order. Called by: the app's
// frame loop, once a frame.
#pragma once

#include <cstdint>

#include "maze/maze.h"
#include "state/game_state.h"
#include "state/input.h"

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
void updateFrame(GameState& state, MazeWork& work, const InputSnapshot& input, FrameHooks& hooks);

// --- keys and pointer ------------------------------------------------------------------
// Held: down in the snapshot. Pressed: down in the snapshot and up at the previous poll of the
// same key (keyPrevDown), so holding a key acts once and a key not read in a frame keeps its edge.
int keyHeld(GameState& state, const InputSnapshot& input, int virtualKey);
int keyPressed(GameState& state, const InputSnapshot& input, int virtualKey);

int32_t packPoint(int x, int y);       // x low 16 bits, y high 16 bits
int pointX(int32_t packed);            // signed 16-bit halves
int pointY(int32_t packed);
void pointerButtonDown(GameState& state, int x, int y);
void pointerButtonUp(GameState& state);
void pointerMove(GameState& state, int x, int y);
void pointerWheel(GameState& state, int delta);  // 120 per notch, towards the player negative
// The snapshot's pointer events, in order, into the pointer state (the frame's first step).
void applyPointerEvents(GameState& state, const InputSnapshot& input);

// --- movement, collision, goal, modes ---------------------------------------------------
int inMaze(const GameState& state, int x, int y, int z);

// What movement collides with: the solid cells (-1) of a box of a grid laid out like cellGrid.
// Cells outside the box never block.
struct SolidCells {
    const int32_t* cellGrid;
    int32_t sizeX, sizeY, sizeZ;
    bool inside(int x, int y, int z) const { return x >= 0 && x < sizeX && y >= 0 && y < sizeY && z >= 0 && z < sizeZ; }
};
SolidCells solidCells(const GameState& state);  // the state's own maze
// Collision: p, reached from p0 by one step, pushed back to 0.1 cell from the solid faces and
// edges of its cell (p0 only breaks ties between axes at an edge).
void resolveCollision(const SolidCells& walls, const float p0[3], float p[3]);

// Turning from the arrows, Z, X and the drag (Walk: yaw and pitch; Fly: the free frame).
void turnPlayer(GameState& state, const InputSnapshot& input);
// The frame's steps (Q, A, the wheel; Fly 2 cruising), each with collision against walls, the
// trail and the step count.
void movePlayer(GameState& state, const InputSnapshot& input, const SolidCells& walls);
// Moves the player by one displacement with collision and trail; exposed for tests.
void stepPlayer(GameState& state, const SolidCells& walls, float dx, float dy, float dz);
// Advances the level when the player is within 0.1 cell of the goal; true when it did.
bool checkGoal(GameState& state, MazeWork& work);
void switchMovementMode(GameState& state);
void applyNightmare(GameState& state);
// Polls N, M, W, S, D, F, G, H, V, P, R; returns 1 if the settings file needs writing.
int handleOptionKeys(GameState& state, const InputSnapshot& input);

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
