// The frame from the game state: camera, the scene passes as instanced batches, the HUD.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/text.h"
#include "game/game.h"
#include "render/render.h"

namespace orlith {
namespace {

constexpr float kQuarterTurn = 1.5707965f;
constexpr float kArrowNearSquared = 0.0100000007f;
constexpr float kParallel = 0.99999f;
// The boundary cell beside the goal room is never drawn: it is the exit opening.
constexpr int kExitCell[3] = {1, 1, 0};

float acosf64(float c) { return static_cast<float>(std::acos(static_cast<double>(c))); }

// Opens a batch at the end of the instance data; its instances are the worlds pushed until
// closeBatch, which drops it again when none came.
void openBatch(FrameData& f, Mesh mesh, Topology topology, PixelShader ps, int first, int count) {
    f.batches.push_back({mesh, topology, ps, first, count, static_cast<int32_t>(f.worlds.size()), 0});
}
void closeBatch(FrameData& f) {
    DrawBatch& b = f.batches.back();
    b.instanceCount = static_cast<int32_t>(f.worlds.size()) - b.firstInstance;
    if (b.instanceCount == 0) f.batches.pop_back();
}

bool isExitCell(int x, int y, int z) { return x == kExitCell[0] && y == kExitCell[1] && z == kExitCell[2]; }

// The first cell in sight of row[from..count), or count. Most of a large maze is out of sight,
// so eight cells are skipped at a time.
int nextSeen(const int8_t* row, int from, int count) {
    for (; from + 8 <= count; from += 8) {
        uint64_t eight;
        std::memcpy(&eight, row + from, 8);
        if (eight != 0) break;
    }
    while (from < count && row[from] == 0) ++from;
    return from;
}

// The faces of the seen walls that can be seen. A face against another solid cell of the maze
// is covered on both sides: from inside the maze the first solid cell along any line of sight
// is always in sight (sight sweeps every staircase of open cells), and from outside every
// cell is. A face turned away from the eye lies behind its own cube's front faces. Neither
// holds for the cube the eye is in, nor for the never-drawn exit cell as a neighbour.
void collectWallFaces(const GameState& s, FrameData& f) {
    f.faces.clear();
    const float eye[3] = {s.cameraEye.x, s.cameraEye.y, s.cameraEye.z};
    const int32_t eyeCell[3] = {cellOf(eye[0]), cellOf(eye[1]), cellOf(eye[2])};
    for (int x = 0; x < s.sizeX; ++x) {
        for (int y = 0; y < s.sizeY; ++y) {
            const int base = cellIndex(x, y, 0);
            for (int z = nextSeen(s.seenGrid + base, 0, s.sizeZ); z < s.sizeZ;
                 z = nextSeen(s.seenGrid + base, z + 1, s.sizeZ)) {
                if (s.cellGrid[base + z] != -1 || isExitCell(x, y, z)) continue;
                const int cell[3] = {x, y, z};
                const bool eyeInside = x == eyeCell[0] && y == eyeCell[1] && z == eyeCell[2];
                for (int face = 0; face < kCubeFaces; ++face) {
                    const int* step = kFaceStep[face];
                    const int axis = step[0] != 0 ? 0 : step[1] != 0 ? 1 : 2;
                    const int sign = step[axis];
                    const float centre[3] = {static_cast<float>(x) + 0.5f * static_cast<float>(step[0]),
                                             static_cast<float>(y) + 0.5f * static_cast<float>(step[1]),
                                             static_cast<float>(z) + 0.5f * static_cast<float>(step[2])};
                    if (!eyeInside) {
                        if ((eye[axis] - centre[axis]) * static_cast<float>(sign) <= 0.0f) continue;
                        int n[3] = {cell[0], cell[1], cell[2]};
                        n[axis] += sign;
                        const bool eyeThere = n[0] == eyeCell[0] && n[1] == eyeCell[1] && n[2] == eyeCell[2];
                        if (inMaze(s, n[0], n[1], n[2]) != 0 && s.cellGrid[cellIndex(n[0], n[1], n[2])] == -1 &&
                            !isExitCell(n[0], n[1], n[2]) && !eyeThere) {
                            continue;
                        }
                    }
                    const float dx = centre[0] - eye[0], dy = centre[1] - eye[1], dz = centre[2] - eye[2];
                    const float distance = dx * dx + dy * dy + dz * dz;
                    // A restored pose can hold NaN; the sort needs an order all the same.
                    f.faces.push_back({distance >= 0.0f ? distance : 0.0f, base + z, face});
                }
            }
        }
    }
}

// Walls pass: one batch per face direction, each nearest first.
void addWalls(const GameState& s, FrameData& f) {
    collectWallFaces(s, f);
    std::sort(f.faces.begin(), f.faces.end(),
              [](const FrameData::Face& a, const FrameData::Face& b) { return a.distance < b.distance; });
    const bool textured = s.texturedWalls != 0;
    for (int face = 0; face < kCubeFaces; ++face) {
        openBatch(f, textured ? Mesh::texturedCube : Mesh::wallCube,
                  textured ? Topology::triangleStrip : Topology::triangleList,
                  textured ? PixelShader::texture : PixelShader::color, textured ? 4 * face : 6 * face,
                  textured ? 4 : 6);
        for (const FrameData::Face& w : f.faces) {
            if (w.face != face) continue;
            const int x = w.cell / kStrideX, y = w.cell / kStrideY % gridDim, z = w.cell % gridDim;
            f.worlds.push_back(translationMatrix(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)));
        }
        closeBatch(f);
    }
}

bool addOtherPlayer(const GameState& s, int index, FrameData& f) {
    const RankingRecord& r = s.rankingList[index];
    std::u16string_view name(r.name, static_cast<size_t>(textLength(r.name, 32)));
    std::u16string_view own(s.nickname, static_cast<size_t>(textLength(s.nickname, 32)));
    if (name == own) return false;
    if (r.level != s.level) return false;
    float dx = r.position[0] - s.cameraEye.x, dy = r.position[1] - s.cameraEye.y, dz = r.position[2] - s.cameraEye.z;
    if (!(dx * dx + dy * dy + dz * dz > kArrowNearSquared)) return false;
    f.worlds.push_back(
        multiply(multiply(scalingMatrix(0.1f, 0.1f, 0.1f), quaternionMatrix(arrowRotation(r.up, r.viewDirection))),
                 translationMatrix(r.position[0], r.position[1], r.position[2])));
    return true;
}

}  // namespace

FrameData::FrameData() {
    worlds.reserve(16384);
    batches.reserve(64);
    faces.reserve(16384);
}

Float4 arrowRotation(const float upIn[3], const float viewIn[3]) {
    Float4 a{0, 1, 0, 0};
    Float4 b = normalise({upIn[0], upIn[1], upIn[2], 0});
    float c = dot3(a, b);
    Float4 q1;
    if (c > kParallel) {
        q1 = rotation({1, 0, 0, 0}, acosf64(1.0f));
    } else if (c < -kParallel) {
        q1 = rotation({1, 0, 0, 0}, acosf64(-1.0f));
    } else {
        q1 = rotation(normalise(cross(a, b)), acosf64(c));
    }
    Float4 fwd = normalise(rotate({0, 0, 1, 0}, q1));
    Float4 g = normalise({viewIn[0], viewIn[1], viewIn[2], 0});
    c = dot3(fwd, g);
    Float4 q2;
    if (c > kParallel) {
        q2 = rotation(b, acosf64(1.0f));
    } else if (c < -kParallel) {
        q2 = rotation(b, acosf64(-1.0f));
    } else {
        q2 = rotation(normalise(cross(fwd, g)), acosf64(c));
    }
    return quatMul(q2, q1);  // q1 first, then q2
}

std::vector<std::array<float, 3>> arrowPositions(const FrameData& frame) {
    std::vector<std::array<float, 3>> arrows;
    for (const DrawBatch& batch : frame.batches) {
        if (batch.mesh != Mesh::playerArrow) continue;
        for (int32_t i = batch.firstInstance; i < batch.firstInstance + batch.instanceCount; ++i) {
            const Mat4& world = frame.worlds[static_cast<size_t>(i)];
            arrows.push_back({world.m[3][0], world.m[3][1], world.m[3][2]});
        }
    }
    return arrows;
}

void buildFrame(const GameState& s, FrameData& f) {
    std::copy(kBackground, kBackground + 4, f.clearColor);
    f.view = s.viewMatrix;
    f.projection = s.projectionMatrix;
    f.worlds.clear();
    f.batches.clear();

    addWalls(s, f);

    // Trail marks, only with the guide on.
    if (s.guideOn != 0) {
        openBatch(f, Mesh::guideMarker, Topology::triangleList, PixelShader::color, 0, 12);
        const Mat4 scale = scalingMatrix(0.02f, 0.02f, 0.02f);
        for (int x = 0; x < s.sizeX; ++x) {
            for (int y = 0; y < s.sizeY; ++y) {
                const int base = cellIndex(x, y, 0);
                for (int z = nextSeen(s.seenGrid + base, 0, s.sizeZ); z < s.sizeZ;
                     z = nextSeen(s.seenGrid + base, z + 1, s.sizeZ)) {
                    if (s.cellGrid[base + z] != 2) continue;
                    f.worlds.push_back(multiply(
                        scale, translationMatrix(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z))));
                }
            }
        }
        closeBatch(f);
    }

    // Goal marker, spinning, drawn whether seen or not.
    openBatch(f, Mesh::goalMarker, Topology::triangleList, PixelShader::color, 0, 24);
    f.worlds.push_back(multiply(multiply(scalingMatrix(0.1f, 0.1f, 0.1f),
                                         rotationYMatrix(static_cast<float>(s.spinAngle) * kDegToRad)),
                                translationMatrix(static_cast<float>(static_cast<int32_t>(s.goalPos[0])),
                                                  static_cast<float>(static_cast<int32_t>(s.goalPos[1])),
                                                  static_cast<float>(static_cast<int32_t>(s.goalPos[2])))));
    closeBatch(f);

    // Orbiter: tumbles between three orientations while it sweeps its half circle.
    {
        Mat4 o = identityMatrix();
        const int r = s.cycleFrame % 3;
        if (r == 1) o = multiply(rotationXMatrix(kQuarterTurn), rotationYMatrix(-kQuarterTurn));
        if (r == 2) o = multiply(rotationXMatrix(-kQuarterTurn), rotationZMatrix(kQuarterTurn));
        Mat4 world = multiply(scalingMatrix(0.1f, 0.1f, 0.1f), o);
        world = multiply(world, translationMatrix(10.0f, 0.0f, 0.0f));
        world = multiply(world, rotationYMatrix(static_cast<float>(s.cycleFrame) / 10.0f * kDegToRad));
        world = multiply(world, rotationZMatrix(static_cast<float>(s.cycleAngle) * kDegToRad));
        openBatch(f, Mesh::orbiter, Topology::triangleList, PixelShader::color, 0, 36);
        f.worlds.push_back(world);
        closeBatch(f);
    }

    // Exit curtain: bars 0.1 apart climbing 0.1 a second; t accumulates in float, so frame 0
    // draws 13 bars and every other frame 12.
    openBatch(f, Mesh::gateBar, Topology::triangleStrip, PixelShader::color, 4 * (s.frameCounter % 3), 4);
    for (float t = static_cast<float>(s.frameCounter) / 60.0f * 0.1f - 0.6f; 0.6f > t; t += 0.1f) {
        f.worlds.push_back(multiply(scalingMatrix(0.5f, 0.01f, 0.01f), translationMatrix(1.0f, t + 1.0f, 0.49f)));
    }
    closeBatch(f);

    if (s.networkEnabled != 0) {
        openBatch(f, Mesh::playerArrow, Topology::triangleList, PixelShader::color, 0, 21);
        const int count = std::clamp(s.rankingCount, 0, kMaxRankingRecords);
        for (int i = 0; i < count; ++i) addOtherPlayer(s, i, f);
        closeBatch(f);
    }

    buildHudLayout(s, f.hud);
}

}  // namespace orlith
