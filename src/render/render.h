// Rendering as plain data: the seven meshes, the scene passes and the HUD layout.
// Owns: the vertex tables, the draw list and the HUD layout types. Reads: GameState (maze,
// camera, settings, counters, ranking copy). Writes: the draw list / HUD layout handed to it. Called by: the frame render of the app, which gives
// both lists to the OpenGL backend (render/gl_renderer.h), and by tests, which check them.
// No OpenGL here, so everything in this header runs and is tested without a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/matrix.h"
#include "state/game_state.h"

namespace orlith {

// --- vertex records and meshes -----------------------------------------------------------

struct ColorVertex {
    float position[3];
    float color[4];
};
struct TexturedVertex {
    float position[3];
    float color[4];
    float texcoord[2];
};
static_assert(sizeof(ColorVertex) == 28);
static_assert(sizeof(TexturedVertex) == 36);

// In creation order; the backend's buffers are indexed by it.
enum class Mesh : uint8_t { wallCube, texturedCube, goalMarker, guideMarker, orbiter, gateBar, playerArrow };
inline constexpr int kMeshCount = 7;

struct MeshData {
    const void* vertices;  // ColorVertex[] or TexturedVertex[]
    int32_t vertexCount;
    int32_t stride;        // 28 or 36 bytes
};
MeshData meshData(Mesh mesh);

inline constexpr float kBackground[4] = {0.7f, 0.7f, 0.7f, 1.0f};

// --- draw list ---------------------------------------------------------------------------

enum class Topology : uint8_t { triangleList, triangleStrip };
enum class PixelShader : uint8_t { color, texture };

// One draw call. World first, so the backend can feed the list to the GPU as instance data.
struct DrawItem {
    Mat4 world;
    Mesh mesh;
    Topology topology;
    PixelShader pixelShader;
    uint8_t pad = 0;
    int32_t firstVertex;
    int32_t vertexCount;
};

// Reused every frame: clear() keeps the capacity, so a steady frame allocates nothing.
struct DrawList {
    std::vector<DrawItem> items;
    DrawList() { items.reserve(16384); }
};

// The scene passes in their order: walls, trail, goal, orbiter, exit curtain, other players.
void buildSceneDrawList(const GameState& state, DrawList& list);

// Single routines, exposed for tests.
void addGateBars(const GameState& state, DrawList& list);
bool addOtherPlayer(const GameState& state, int index, DrawList& list);
// Rotation of an arrow: fin (+y) onto up, then nose (+z) onto viewDirection.
Float4 arrowRotation(const float up[3], const float viewDirection[3]);

// --- HUD ---------------------------------------------------------------------------------

struct HudRect {
    float left, top, right, bottom;
};
enum class HudAlign : uint8_t { leading, trailing };

// One draw of the 2D layer: a veil box or one text in its layout rectangle.
struct HudOp {
    enum Kind : uint8_t { veilBox, textLine } kind;
    HudAlign align;
    HudRect rect;
    char16_t text[32];  // the hudLines slot: 31 characters and the terminator
};

inline constexpr int kMaxHudOps = 2 + 2 * 14 + 2 * 8;
struct HudLayout {
    HudOp ops[kMaxHudOps];
    int count = 0;
};

// The status panel, then the ranking panel, as the current state asks for.
void buildHudLayout(const GameState& state, HudLayout& layout);

// How a text with these glyph advances fits its slot: a text wider than the slot is condensed
// to fit, down to half width, and past that its tail is cut, so it never leaves the slot.
struct TextFit {
    int count;      // characters kept
    float squeeze;  // horizontal scale, 0.5 .. 1
    float width;    // width drawn, at most the slot's
};
TextFit fitText(const float* advances, int count, float slotWidth);

// --- images carried inside the executable (generated from resources/) ---------------------
// PNG bytes; each backend decodes them with its own image library (render/png.h on Linux).
struct EmbeddedBytes {
    const uint8_t* data;
    size_t size;
};
EmbeddedBytes embeddedWallPng();
EmbeddedBytes embeddedIconPng();

}  // namespace orlith
