// Matrices, the first-person camera and the scene passes that turn GameState into a draw list.
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "render/render.h"

namespace orlith {

// --- scene passes ------------------------------------------------------------------------

namespace {

constexpr float kQuarterTurn = 1.5707965f;
constexpr float kArrowNearSquared = 0.0100000007f;
constexpr float kParallel = 0.99999f;

void add(DrawList& list, Mesh mesh, Topology topology, PixelShader ps, const Mat4& world, int first, int count) {
    DrawItem item;
    item.world = world;
    item.mesh = mesh;
    item.topology = topology;
    item.pixelShader = ps;
    item.firstVertex = first;
    item.vertexCount = count;
    list.items.push_back(item);
}

float acosf64(float c) { return static_cast<float>(std::acos(static_cast<double>(c))); }

}  // namespace

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
    Float4 f = normalise(rotate({0, 0, 1, 0}, q1));
    Float4 g = normalise({viewIn[0], viewIn[1], viewIn[2], 0});
    c = dot3(f, g);
    Float4 q2;
    if (c > kParallel) {
        q2 = rotation(b, acosf64(1.0f));
    } else if (c < -kParallel) {
        q2 = rotation(b, acosf64(-1.0f));
    } else {
        q2 = rotation(normalise(cross(f, g)), acosf64(c));
    }
    return quatMul(q2, q1);  // q1 first, then q2
}

bool addOtherPlayer(const GameState& s, int index, DrawList& list) {
    const RankingRecord& r = s.rankingList[index];
    std::u16string_view name(r.name, static_cast<size_t>(textLength(r.name, 32)));
    std::u16string_view own(s.nickname, static_cast<size_t>(textLength(s.nickname, 32)));
    if (name == own) return false;
    if (r.level != s.level) return false;
    float dx = r.position[0] - s.cameraEye.x, dy = r.position[1] - s.cameraEye.y, dz = r.position[2] - s.cameraEye.z;
    if (!(dx * dx + dy * dy + dz * dz > kArrowNearSquared)) return false;
    Mat4 world = multiply(multiply(scalingMatrix(0.1f, 0.1f, 0.1f), quaternionMatrix(arrowRotation(r.up, r.viewDirection))),
                          translationMatrix(r.position[0], r.position[1], r.position[2]));
    add(list, Mesh::playerArrow, Topology::triangleList, PixelShader::color, world, 0, 21);
    return true;
}

void addGateBars(const GameState& s, DrawList& list) {
    float t = static_cast<float>(s.frameCounter) / 60.0f * 0.1f - 0.6f;
    int variant = s.frameCounter % 3;
    while (0.6f > t) {
        Mat4 world = multiply(scalingMatrix(0.5f, 0.01f, 0.01f), translationMatrix(1.0f, t + 1.0f, 0.49f));
        add(list, Mesh::gateBar, Topology::triangleStrip, PixelShader::color, world, 4 * variant, 4);
        t += 0.1f;
    }
}

void buildSceneDrawList(const GameState& s, DrawList& list) {
    list.items.clear();

    // Walls: only the cells seen this frame; (1, 1, 0) stays open as the exit beside the goal.
    PixelShader wallShader = s.texturedWalls != 0 ? PixelShader::texture : PixelShader::color;
    for (int x = 0; x < s.sizeX; ++x) {
        for (int y = 0; y < s.sizeY; ++y) {
            int base = cellIndex(x, y, 0);
            for (int z = 0; z < s.sizeZ; ++z) {
                if (s.seenGrid[base + z] == 0 || s.cellGrid[base + z] != -1) continue;
                if (x == 1 && y == 1 && z == 0) continue;
                Mat4 world = translationMatrix(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
                if (s.texturedWalls != 0) {
                    for (int face = 0; face < 6; ++face) {
                        add(list, Mesh::texturedCube, Topology::triangleStrip, wallShader, world, 4 * face, 4);
                    }
                } else {
                    add(list, Mesh::wallCube, Topology::triangleList, wallShader, world, 0, 36);
                }
            }
        }
    }

    // Trail marks, only with the guide on.
    if (s.guideOn != 0) {
        Mat4 scale = scalingMatrix(0.02f, 0.02f, 0.02f);
        for (int x = 0; x < s.sizeX; ++x) {
            for (int y = 0; y < s.sizeY; ++y) {
                int base = cellIndex(x, y, 0);
                for (int z = 0; z < s.sizeZ; ++z) {
                    if (s.seenGrid[base + z] == 0 || s.cellGrid[base + z] != 2) continue;
                    Mat4 world = multiply(scale, translationMatrix(static_cast<float>(x), static_cast<float>(y),
                                                                   static_cast<float>(z)));
                    add(list, Mesh::guideMarker, Topology::triangleList, PixelShader::color, world, 0, 12);
                }
            }
        }
    }

    // Goal marker, spinning, drawn whether seen or not.
    {
        auto gx = static_cast<float>(static_cast<int32_t>(s.goalPos[0]));
        auto gy = static_cast<float>(static_cast<int32_t>(s.goalPos[1]));
        auto gz = static_cast<float>(static_cast<int32_t>(s.goalPos[2]));
        Mat4 world = multiply(multiply(scalingMatrix(0.1f, 0.1f, 0.1f),
                                       rotationYMatrix(static_cast<float>(s.spinAngle) * kDegToRad)),
                              translationMatrix(gx, gy, gz));
        add(list, Mesh::goalMarker, Topology::triangleList, PixelShader::color, world, 0, 24);
    }

    // Orbiter: tumbles between three orientations while it sweeps its half circle.
    {
        Mat4 o = identityMatrix();
        int r = s.cycleFrame % 3;
        if (r == 1) o = multiply(rotationXMatrix(kQuarterTurn), rotationYMatrix(-kQuarterTurn));
        if (r == 2) o = multiply(rotationXMatrix(-kQuarterTurn), rotationZMatrix(kQuarterTurn));
        Mat4 world = multiply(scalingMatrix(0.1f, 0.1f, 0.1f), o);
        world = multiply(world, translationMatrix(10.0f, 0.0f, 0.0f));
        world = multiply(world, rotationYMatrix(static_cast<float>(s.cycleFrame) / 10.0f * kDegToRad));
        world = multiply(world, rotationZMatrix(static_cast<float>(s.cycleAngle) * kDegToRad));
        add(list, Mesh::orbiter, Topology::triangleList, PixelShader::color, world, 0, 36);
    }

    addGateBars(s, list);

    if (s.networkEnabled != 0) {
        int count = s.rankingCount < 0 ? 0 : s.rankingCount > kMaxRankingRecords ? kMaxRankingRecords : s.rankingCount;
        for (int i = 0; i < count; ++i) addOtherPlayer(s, i, list);
    }
}

}  // namespace orlith
