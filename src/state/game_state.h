// GameState: the one record of the whole game. Owned by the app (or a test) and passed by
// reference to every routine; nothing of the game lives anywhere else. Plain fields only, no
// thread primitives (the network side keeps its hand-over itself): this layer knows no subsystem. About 5.5 MB, so the owner keeps it on the heap (makeGameState).
#pragma once

#include <cstdint>
#include <memory>

#include "base/matrix.h"
#include "base/vecmath.h"
#include "state/ranking_record.h"

namespace orlith {

inline constexpr int gridDim = 103;                            // grid capacity per axis, largest edge
inline constexpr int kGridCells = gridDim * gridDim * gridDim;  // 1,092,727
inline constexpr int kStrideX = gridDim * gridDim;              // neighbour offset along x
inline constexpr int kStrideY = gridDim;                        // along y (z is 1)
inline constexpr int kNoticeFrames = 180;                       // every HUD notice lasts 3 s

inline constexpr int8_t kSeen = 0x31;  // seenGrid mark ("1")

constexpr int cellIndex(int x, int y, int z) { return (x * gridDim + y) * gridDim + z; }

// xorshift128 with its published seed; seeded once per GameState, never reseeded.
struct MazeRng {
    uint32_t x = 123456789;
    uint32_t y = 362436069;
    uint32_t z = 521288629;
    uint32_t w = 88675123;
};

struct GameState {
    // Maze and level.
    int32_t level = 1;                 // 1-based, only grows
    int32_t sizeX = 0, sizeY = 0, sizeZ = 0;  // maze edge in cells, min(2 level + 3, 103)
    int32_t cellGrid[kGridCells];      // -1 solid, 0 open, 2 trail; [(x*103+y)*103+z]
    int8_t seenGrid[kGridCells];       // 0x31 in sight this frame, else 0
    float goalPos[3] = {0, 0, 0};      // centre of the goal room, (1,1,1)
    MazeRng mazeRng;                   // the one random sequence of the game, never reseeded

    // Player pose.
    float playerPos[3] = {0, 0, 0};    // cell units; cell (i,j,k) spans i-0.5..i+0.5
    float yaw = 0;                     // degrees, [0,360); 0 looks along +z, 90 along +x
    float pitch = 0;                   // degrees, [-90,90]; positive looks up
    Float4 flyForward;                 // fly-mode forward, unit
    Float4 flyUp;                      // fly-mode up, unit
    Float4 flyRight;                   // fly-mode side = up x forward, unit
    int32_t flySpeed = 0;              // Fly 2 speed in 0.0001 cell/frame, 0..500
    float fieldOfView = 45;            // degrees, vertical

    // Settings (setting.ini).
    int32_t movementMode = 0;          // 0 Walk, 1 Fly 1, 2 Fly 2
    int32_t texturedWalls = 0;         // 0/1
    int32_t showDistance = 0;          // 0/1: HUD "Distance:" instead of "Position:"
    int32_t showFps = 0;               // 0/1
    int32_t guideOn = 0;               // 0/1: trail cells marked in the view
    int32_t horizontalSign = 1;        // +1 normal, -1 reverse
    int32_t verticalSign = 1;          // +1 normal, -1 reverse
    int32_t progressSign = 1;          // +1 normal, -1 reverse
    int32_t rotateSpeed = 4;           // 1..9 turning multiplier

    // Display state (not saved).
    int32_t hudMode = 3;               // bit 0 status panel, bit 1 ranking panel
    int32_t nightmareTimer = 0;        // frames left of each notice, 0..180
    int32_t movementNoticeTimer = 0;
    int32_t guideNoticeTimer = 0;
    int32_t horizontalNoticeTimer = 0;
    int32_t verticalNoticeTimer = 0;
    int32_t progressNoticeTimer = 0;
    int32_t rotateNoticeTimer = 0;
    int32_t saveNoticeTimer = 0;
    int32_t loadNoticeTimer = 0;

    // Counters.
    int32_t stepCount = 0;             // cells left over the whole game
    int32_t spinAngle = 0;             // degrees, +2 per frame mod 360
    int32_t frameCounter = 0;          // +1 per frame mod 60
    int32_t cycleFrame = 0;            // 1..1800
    int32_t cycleAngle = 0;            // degrees, +250 mod 360 per cycle

    // Pointer state kept from window events.
    int32_t dragging = 0;              // 1 while the left button is held
    int32_t dragStartPoint = 0;        // packed: x low 16 bits, y high 16 bits (signed)
    int32_t dragCurrentPoint = 0;      // latest point while dragging, same packing
    float dragStartYaw = 0;            // yaw at the press, degrees
    float dragStartPitch = 0;          // pitch at the press, degrees
    int32_t wheelAccum = 0;            // wheel delta not yet turned into steps (120 per notch)

    // Key state at each key's previous poll, for edge-triggered reading.
    uint8_t keyPrevDown[256] = {};     // 1 if down at the last poll

    // Window and frame pacing.
    int32_t netFpsSwitch = 0;          // 1 when the command line holds "NetFps"
    int32_t windowWidth = 1024;        // drawing area, pixels
    int32_t windowHeight = 576;        // screen height * 1024 / screen width
    int32_t groupFrameCount = 0;       // frames done in the current group of 60
    uint32_t groupStartTick = 0;       // ms tick at the group's start
    double measuredFps = 0;            // rate over the last complete group; 0 before

    // Camera of the current pose, set by the frame update before anything reads it (the save
    // file, the state value, the renderer).
    Float4 cameraEye;                  // always playerPos, w 0
    Float4 cameraFocus;                // eye + unit view direction
    Float4 cameraUp;                   // up vector
    Mat4 viewMatrix{};                 // row-vector convention, translation in row 3
    Mat4 projectionMatrix{};           // depth 0 at the near plane, 1 at the far plane

    // Online.
    int32_t networkEnabled = 0;        // 1 when playing online
    char16_t nickname[32] = {};        // as typed, at most 10 characters
    char16_t pinHash[32] = {};         // 8 hex digits of makePinHash
    char16_t serverName[32] = {};      // ranking host
    char16_t serverPort[32] = {};      // decimal text
    RankingRecord rankingList[kMaxRankingRecords];  // sorted copy of the newest list
    int32_t rankingCount = 0;
};

// A fresh state with the start values and level 1 not yet generated. Zero-filled grids.
std::unique_ptr<GameState> makeGameState();

}  // namespace orlith
