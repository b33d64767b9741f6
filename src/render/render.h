// Rendering as plain data: the seven meshes, and the frame that one function builds from the
// game state for a backend to upload and draw.
// Owns: the vertex tables, the frame record (clear colour, camera, the draw batches of the
// scene passes, the HUD layout). Reads: GameState (maze, sight, camera, settings, counters,
// the ranking copy). Writes: the FrameData handed to it. Called by: the app's frame render,
// which hands the frame to its backend (render/gl/gl_renderer.h on Linux), and by tests.
// No graphics API, window system or image library here: this builds and runs anywhere.
#pragma once

#include <array>
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

// In creation order; a backend's buffers are indexed by it.
enum class Mesh : uint8_t { wallCube, texturedCube, goalMarker, guideMarker, orbiter, gateBar, playerArrow };
inline constexpr int kMeshCount = 7;

struct MeshData {
    const void* vertices;  // ColorVertex[] or TexturedVertex[]
    int32_t vertexCount;
    int32_t stride;        // 28 or 36 bytes
};
MeshData meshData(Mesh mesh);

// The six faces of both wall cubes, in the order of their vertex tables. The colour cube keeps
// face f in vertices 6f..6f+5 (two triangles), the textured cube in 4f..4f+3 (one strip).
enum class CubeFace : uint8_t { zMinus, xPlus, zPlus, xMinus, yPlus, yMinus };
inline constexpr int kCubeFaces = 6;
inline constexpr int kFaceStep[kCubeFaces][3] = {{0, 0, -1}, {1, 0, 0}, {0, 0, 1}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}};

// --- the frame ---------------------------------------------------------------------------

inline constexpr float kBackground[4] = {0.7f, 0.7f, 0.7f, 1.0f};  // linear RGBA

enum class Topology : uint8_t { triangleList, triangleStrip };
enum class PixelShader : uint8_t { color, texture };

// One instanced draw: vertices firstVertex.. of the mesh, once per World matrix of the batch.
struct DrawBatch {
    Mesh mesh;
    Topology topology;
    PixelShader pixelShader;
    int32_t firstVertex;
    int32_t vertexCount;
    int32_t firstInstance;  // into FrameData::worlds
    int32_t instanceCount;  // >= 1
};

struct HudRect {
    float left, top, right, bottom;  // pixels from the picture's top-left
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

// One picture. The depth buffer is cleared to 1 (far) and tested "less"; batches are opaque,
// the HUD is drawn over them in order (veil white at 40 %, text black).
struct FrameData {
    float clearColor[4] = {};        // linear RGBA, kBackground
    Mat4 view{};                     // row vectors, as the camera built it
    Mat4 projection{};               // depth 0 at the near plane, 1 at the far
    std::vector<Mat4> worlds;        // instance data, batch after batch
    std::vector<DrawBatch> batches;  // in pass order
    HudLayout hud;

    // Working storage of buildFrame: the wall faces in sight before they are ordered.
    struct Face {
        float distance;  // squared, eye to face centre
        int32_t cell;    // cellIndex
        int32_t face;    // CubeFace
    };
    std::vector<Face> faces;

    // Room for a busy view, so a steady frame allocates nothing (clear() keeps capacity).
    FrameData();
};

// The whole frame from the state: camera, scene passes (walls, trail, goal, orbiter, exit
// curtain, other players) and the HUD. The walls come as one batch per face direction: only
// the faces that can be seen (not against another solid cell of the maze, not turned away from
// the eye), each batch nearest first, so the depth test rejects what lies behind early.
void buildFrame(const GameState& state, FrameData& frame);

// What every backend does with a frame (OpenGL in render/gl/, Direct3D 11 in render/d3d11/):
// build its objects lazily, draw a FrameData as it stands, and give the picture back.
class FrameRenderer {
public:
    virtual ~FrameRenderer() = default;
    // Builds every graphics object unless ready; 1 when ready, 0 after a reported failure (the
    // next call tries again).
    virtual int initGraphics() = 0;
    // Clear, batches, HUD, present. A failure releases everything; the next frame rebuilds it.
    virtual void drawFrame(const FrameData& frame) = 0;
    // A backend that cannot read a presented picture back keeps a copy of each while asked to.
    virtual void keepPictures(bool) {}
    // The last presented picture as opaque RGBA rows, top to bottom.
    virtual bool readPicture(std::vector<uint8_t>& rgba) = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
};

// Where the frame draws other players' arrows (their World matrices' translations), in order.
std::vector<std::array<float, 3>> arrowPositions(const FrameData& frame);

// Pieces of the frame, exposed for tests.
void buildHudLayout(const GameState& state, HudLayout& layout);
// Rotation of an arrow: fin (+y) onto up, then nose (+z) onto viewDirection.
Float4 arrowRotation(const float up[3], const float viewDirection[3]);

// How a HUD text breaks into lines in its slot, as the HUD's text layout wraps it: a line ends
// at the last break opportunity that keeps it within the slot's width (after a space, or beside
// a wide East Asian character, where Japanese text may break), spaces at a line's end hang
// outside it, and a run that has no opportunity breaks before the character that does not fit
// (a line always keeps one). Every line is drawn, one line height below the other, also below
// the slot; each is aligned on its own.
inline constexpr int kMaxTextLength = 31;
struct TextLines {
    int count = 0;                         // 0 for an empty text
    int start[kMaxTextLength + 1] = {};    // each line's first character; start[count] is the length
    float width[kMaxTextLength] = {};      // each line's width, its hanging spaces left out
};
void wrapText(const char32_t* chars, const float* advances, int length, float slotWidth, TextLines& lines);
// The characters of a HUD text (surrogate pairs joined), at most 31; returns how many.
int hudCharacters(const char16_t* text, char32_t out[kMaxTextLength]);

// --- images carried inside the executable (generated from resources/) ---------------------
// PNG bytes; each backend decodes them with its own image library (render/gl/png.h on Linux).
struct EmbeddedBytes {
    const uint8_t* data;
    size_t size;
};
EmbeddedBytes embeddedWallPng();
EmbeddedBytes embeddedIconPng();

}  // namespace orlith
