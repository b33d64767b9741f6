// The frame as plain data: batches in pass order, which wall faces are drawn and in which
// order, the markers and the other players' arrows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "game/game.h"
#include "maze/maze.h"
#include "render/render.h"

namespace orlith {
namespace {

using Cell = std::tuple<int, int, int>;
using FaceKey = std::tuple<int, int, int, int>;  // cell and CubeFace

// A 5-cube of open, unseen cells; the given cells solid and seen; the eye where asked.
std::unique_ptr<GameState> box(std::initializer_list<Cell> solid, Float4 eye, int textured = 0) {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = 5;
    s->goalPos[0] = s->goalPos[1] = s->goalPos[2] = 1.0f;
    s->frameCounter = 1;
    s->texturedWalls = textured;
    s->cameraEye = eye;
    for (auto [x, y, z] : solid) s->cellGrid[cellIndex(x, y, z)] = -1, s->seenGrid[cellIndex(x, y, z)] = kSeen;
    return s;
}

FrameData frameOf(const GameState& s) {
    FrameData f;
    buildFrame(s, f);
    return f;
}
bool isWall(const DrawBatch& b) { return b.mesh == Mesh::wallCube || b.mesh == Mesh::texturedCube; }
int faceOf(const DrawBatch& b) { return b.firstVertex / b.vertexCount; }
const Mat4& world(const FrameData& f, const DrawBatch& b, int i) {
    return f.worlds[static_cast<size_t>(b.firstInstance + i)];
}

std::set<FaceKey> wallFaces(const FrameData& f) {
    std::set<FaceKey> faces;
    for (const DrawBatch& b : f.batches) {
        for (int i = 0; isWall(b) && i < b.instanceCount; ++i) {
            const float* t = world(f, b, i).m[3];
            faces.insert({static_cast<int>(t[0]), static_cast<int>(t[1]), static_cast<int>(t[2]), faceOf(b)});
        }
    }
    return faces;
}

int instancesOf(const FrameData& f, Mesh mesh) {
    int n = 0;
    for (const DrawBatch& b : f.batches) n += b.mesh == mesh ? b.instanceCount : 0;
    return n;
}

TEST(Frame, BatchesFollowThePassOrderAndShareOneInstanceArray) {
    auto s = box({{0, 0, 0}, {0, 1, 0}}, {3, 3, 3, 0}, 1);
    s->guideOn = 1;
    s->cellGrid[cellIndex(2, 3, 3)] = 2, s->seenGrid[cellIndex(2, 3, 3)] = kSeen;  // left once: a trail mark
    s->seenGrid[cellIndex(3, 3, 3)] = kSeen;                                        // open but never left: none
    s->networkEnabled = 1, s->rankingCount = 1, s->rankingList[0] = RankingRecord{};
    s->rankingList[0].name[0] = u'x', s->rankingList[0].level = 1;
    s->viewMatrix = translationMatrix(1, 2, 3);
    FrameData f = frameOf(*s);
    std::vector<Mesh> meshes;
    int next = 0;
    for (const DrawBatch& b : f.batches) {
        meshes.push_back(b.mesh);
        EXPECT_EQ(b.pixelShader, isWall(b) ? PixelShader::texture : PixelShader::color);
        EXPECT_EQ(b.firstInstance, next);
        EXPECT_GT(b.instanceCount, 0);
        next += b.instanceCount;
    }
    // Faces x+, z+ and y+ of the two cubes, a batch each, then one batch per marker pass.
    EXPECT_EQ(meshes, (std::vector<Mesh>{Mesh::texturedCube, Mesh::texturedCube, Mesh::texturedCube,
                                         Mesh::guideMarker, Mesh::goalMarker, Mesh::orbiter, Mesh::gateBar,
                                         Mesh::playerArrow}));
    HudLayout hud;
    buildHudLayout(*s, hud);
    EXPECT_EQ(std::tuple(static_cast<size_t>(next), std::memcmp(&f.view, &s->viewMatrix, sizeof f.view), f.clearColor[0], f.hud.count),
              std::tuple(f.worlds.size(), 0, 0.7f, hud.count));
    // Trail marks only with the guide on, and only on seen cells.
    EXPECT_EQ(f.worlds[static_cast<size_t>(f.batches[3].firstInstance)].m[3][0], 2.0f);
    s->seenGrid[cellIndex(2, 3, 3)] = 0;
    const int unseen = instancesOf(frameOf(*s), Mesh::guideMarker);
    s->seenGrid[cellIndex(2, 3, 3)] = kSeen, s->guideOn = 0;
    EXPECT_EQ(std::pair(unseen, instancesOf(frameOf(*s), Mesh::guideMarker)), std::pair(0, 0));
}

TEST(Frame, EachWallFaceDrawsTheVerticesOfThatFace) {
    for (int textured = 0; textured <= 1; ++textured) {
        FrameData f = frameOf(*box({{2, 2, 2}}, {2, 2, 2, 0}, textured));  // from inside: six faces
        EXPECT_EQ(wallFaces(f).size(), 6u);
        for (const DrawBatch& b : f.batches) {
            const int* step = kFaceStep[faceOf(b)];
            for (int v = b.firstVertex; isWall(b) && v < b.firstVertex + b.vertexCount; ++v) {
                const void* table = meshData(b.mesh).vertices;
                const float* p = textured != 0 ? static_cast<const TexturedVertex*>(table)[v].position
                                               : static_cast<const ColorVertex*>(table)[v].position;
                for (int axis = 0; axis < 3; ++axis) {
                    if (step[axis] != 0) EXPECT_EQ(p[axis], 0.5f * static_cast<float>(step[axis])) << v;
                }
            }
        }
    }
}

TEST(Frame, FacesThatCannotBeSeenAreLeftOut) {
    enum { zM = 0, xP, zP, xM, yP, yM };
    struct Case { const char* what; std::initializer_list<Cell> solid; Float4 eye; Cell cell; std::set<int> faces; bool seen = true; };
    const Case cases[] = {
        {"a lone cube shows the faces turned to the eye", {{2, 2, 2}}, {3.7f, 3.7f, 3.7f, 0}, {2, 2, 2}, {xP, yP, zP}},
        {"looking straight at a face", {{2, 2, 2}}, {2, 2, 4, 0}, {2, 2, 2}, {zP}},
        {"a wall out of sight shows nothing", {{2, 2, 2}}, {2, 2, 4, 0}, {2, 2, 2}, {}, false},
        {"a face against a solid neighbour", {{2, 2, 2}, {3, 2, 2}}, {3.7f, 3.7f, 3.7f, 0}, {2, 2, 2}, {yP, zP}},
        {"faces towards the outside of the maze", {{0, 2, 2}, {1, 2, 2}}, {-3, 2, 2, 0}, {0, 2, 2}, {xM}},
        {"the exit cell is never drawn", {{1, 1, 0}}, {1, 1, 2, 0}, {1, 1, 0}, {}},
        {"the face towards the exit opening", {{1, 1, 0}, {1, 2, 0}, {1, 3, 0}}, {1, 1, 1, 0}, {1, 2, 0}, {yM, zP}},
        {"the cube the eye is in shows all", {{2, 2, 2}, {3, 2, 2}}, {2, 2, 2, 0}, {2, 2, 2}, {zM, xP, zP, xM, yP, yM}},
        {"and its neighbours their faces towards it", {{2, 2, 2}, {3, 2, 2}}, {2, 2, 2, 0}, {3, 2, 2}, {xM}},
        {"a NaN eye turns nothing away", {{2, 2, 2}}, {NAN, NAN, NAN, 0}, {2, 2, 2}, {zM, xP, zP, xM, yP, yM}},
    };
    for (const Case& c : cases) {
        auto s = box(c.solid, c.eye);
        if (!c.seen) s->seenGrid[cellIndex(std::get<0>(c.cell), std::get<1>(c.cell), std::get<2>(c.cell))] = 0;
        std::set<int> faces;
        for (auto [x, y, z, face] : wallFaces(frameOf(*s))) {
            if (Cell{x, y, z} == c.cell) faces.insert(face);
        }
        EXPECT_EQ(faces, c.faces) << c.what;
    }
}

// A real maze from its start room and from outside: the faces drawn are exactly those of seen
// walls that border an open cell or the outside and are turned to the eye, nearest first.
TEST(Frame, InARealMazeTheVisibleFacesComeNearestFirst) {
    auto s = makeGameState();
    s->level = 3;
    newLevel(*s, *makeMazeWork());
    for (Float4 eye : {Float4{s->playerPos[0], s->playerPos[1], s->playerPos[2], 0}, Float4{4.3f, 12.2f, -6.1f, 0}}) {
        s->playerPos[0] = eye.x, s->playerPos[1] = eye.y, s->playerPos[2] = eye.z;
        s->cameraEye = eye;
        markSight(*s);
        auto solid = [&](int x, int y, int z) {
            return inMaze(*s, x, y, z) != 0 && s->cellGrid[cellIndex(x, y, z)] == -1 && !(x == 1 && y == 1 && z == 0);
        };
        std::set<FaceKey> expected;
        for (int x = 0; x < s->sizeX; ++x) {
            for (int y = 0; y < s->sizeY; ++y) {
                for (int z = 0; z < s->sizeZ; ++z) {
                    const bool drawn = solid(x, y, z) && s->seenGrid[cellIndex(x, y, z)] != 0;
                    for (int face = 0; face < kCubeFaces && drawn; ++face) {
                        const int* d = kFaceStep[face];
                        float towardsEye = (eye.x - static_cast<float>(x)) * static_cast<float>(d[0]) +
                                           (eye.y - static_cast<float>(y)) * static_cast<float>(d[1]) +
                                           (eye.z - static_cast<float>(z)) * static_cast<float>(d[2]);
                        if (!solid(x + d[0], y + d[1], z + d[2]) && towardsEye > 0.5f) expected.insert({x, y, z, face});
                    }
                }
            }
        }
        FrameData f = frameOf(*s);
        EXPECT_GT(expected.size(), 20u);
        EXPECT_EQ(wallFaces(f), expected);
        for (const DrawBatch& b : f.batches) {
            const int* d = kFaceStep[faceOf(b)];
            float last = 0;
            for (int i = 0; isWall(b) && i < b.instanceCount; ++i) {
                const float* t = world(f, b, i).m[3];
                Float4 r{t[0] + 0.5f * static_cast<float>(d[0]) - eye.x, t[1] + 0.5f * static_cast<float>(d[1]) - eye.y,
                         t[2] + 0.5f * static_cast<float>(d[2]) - eye.z, 0};
                EXPECT_GE(dot3(r, r), last);
                last = dot3(r, r);
            }
        }
    }
}

TEST(Frame, GoalOrbiterAndCurtain) {
    auto s = box({}, {3, 3, 3, 0});
    s->goalPos[0] = 1.9f;  // truncated to its cell
    s->cycleFrame = 900;   // a quarter of the orbiter's circle
    for (int frame : {0, 1, 2}) {
        s->frameCounter = frame;
        FrameData f = frameOf(*s);
        ASSERT_EQ(f.batches.size(), 3u);
        EXPECT_NEAR(transformPoint({0, 0, 0, 0}, f.worlds[1]).z, -10.0f, 1e-3);
        const DrawBatch& bars = f.batches[2];  // firstVertex: the colour variant
        EXPECT_EQ(std::tuple(bars.mesh, bars.instanceCount, bars.firstVertex, f.worlds[0].m[3][0], f.worlds[2].m[3][2]),
                  std::tuple(Mesh::gateBar, frame == 0 ? 13 : 12, 4 * frame, 1.0f, 0.49f));
        EXPECT_NEAR(f.worlds[2].m[3][1], 0.4f + static_cast<float>(frame) / 600.0f, 1e-5);
    }
}

TEST(Frame, ArrowRules) {
    struct Case { const char* what; const char16_t* name; int level, network; float x; int arrows; } cases[] = {
        {"another player on my level", u"you", 1, 1, 2, 1},  {"my own record", u"me", 1, 1, 2, 0},
        {"another level", u"you", 2, 1, 2, 0},               {"offline", u"you", 1, 0, 2, 0},
        {"within a tenth of the eye", u"you", 1, 1, 3.05f, 0}, {"just beyond a tenth", u"you", 1, 1, 3.11f, 1},
        {"a name that only starts like mine", u"mex", 1, 1, 2, 1},
    };
    for (const Case& c : cases) {
        auto s = box({}, {3, 3, 3, 0});
        s->networkEnabled = c.network, s->rankingCount = 1;
        std::memcpy(s->nickname, u"me", 6);
        RankingRecord& r = s->rankingList[0] = RankingRecord{};
        std::memcpy(r.name, c.name, 2 * std::char_traits<char16_t>::length(c.name));
        r.level = c.level, r.position[0] = c.x, r.position[1] = r.position[2] = 3, r.up[1] = 1, r.viewDirection[0] = 1;
        FrameData f = frameOf(*s);
        EXPECT_EQ(instancesOf(f, Mesh::playerArrow), c.arrows) << c.what;
        if (c.arrows == 1) {  // Scaling(0.1) x R x Translation: the nose points along the view
            Float4 nose = sub(transformPoint({0, 0, 1, 0}, f.worlds.back()), {c.x + 0.1f, 3, 3, 0});
            EXPECT_NEAR(dot3(nose, nose), 0.0f, 1e-9) << c.what;
        }
    }
}

TEST(Frame, ArrowRotationsAndTheirDegenerateCases) {
    struct Case { const char* what; Float4 up, view, fin, nose; } cases[] = {  // fin: +y, nose: +z
        {"upright, looking along +z: identity", {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"all zeros: unrotated", {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"upright, looking back: half turn about up", {0, 1, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}, {0, 0, -1, 0}},
        {"upside down: half turn about x first", {0, -1, 0, 0}, {0, 0, -1, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}},
        {"upright, looking along +x", {0, 1, 0, 0}, {3, 0, 0, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}},
        {"lying on its side", {1, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}},
        {"looking up, up tilted back", {0, 0, -1, 0}, {0, 2, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        float up[3] = {c.up.x, c.up.y, c.up.z}, view[3] = {c.view.x, c.view.y, c.view.z};
        Mat4 m = quaternionMatrix(arrowRotation(up, view));
        for (auto [from, to] : {std::pair{Float4{0, 1, 0, 0}, c.fin}, std::pair{Float4{0, 0, 1, 0}, c.nose}}) {
            Float4 r = sub(transformPoint(from, m), to);
            EXPECT_NEAR(dot3(r, r), 0.0f, 1e-9) << c.what;
        }
    }
}

}  // namespace
}  // namespace orlith
