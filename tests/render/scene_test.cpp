// The scene passes as a draw list: which cells, which meshes, in which order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "render/render.h"

namespace orlith {
namespace {

// A 5-cube of open cells with nothing seen and the camera at the start room.
std::unique_ptr<GameState> emptyMaze() {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = 5;
    s->goalPos[0] = s->goalPos[1] = s->goalPos[2] = 1.0f;
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 3.0f;
    s->cameraEye = {3, 3, 3, 0};
    s->frameCounter = 1;
    return s;
}

void setCell(GameState& s, int x, int y, int z, int32_t value, bool seen) {
    s.cellGrid[cellIndex(x, y, z)] = value;
    s.seenGrid[cellIndex(x, y, z)] = seen ? kSeen : 0;
}

int countMesh(const DrawList& list, Mesh mesh) {
    int n = 0;
    for (const DrawItem& item : list.items) n += item.mesh == mesh ? 1 : 0;
    return n;
}

Float4 translationOf(const DrawItem& item) { return {item.world.m[3][0], item.world.m[3][1], item.world.m[3][2], 0}; }

TEST(Scene, CurtainHasThirteenBarsAtFrameZeroAndTwelveOtherwise) {
    auto s = emptyMaze();
    for (int frame = 0; frame < 60; ++frame) {
        s->frameCounter = frame;
        DrawList list;
        addGateBars(*s, list);
        ASSERT_EQ(list.items.size(), frame == 0 ? 13u : 12u) << frame;
        for (const DrawItem& bar : list.items) {
            EXPECT_EQ(bar.firstVertex, 4 * (frame % 3));
            EXPECT_EQ(bar.vertexCount, 4);
            EXPECT_EQ(bar.topology, Topology::triangleStrip);
            EXPECT_EQ(bar.world.m[0][0], 0.5f);
            EXPECT_EQ(bar.world.m[1][1], 0.01f);
            EXPECT_EQ(bar.world.m[3][2], 0.49f);
        }
    }
}

TEST(Scene, CurtainBarHeights) {
    auto s = emptyMaze();
    DrawList list;
    s->frameCounter = 0;
    addGateBars(*s, list);
    EXPECT_NEAR(list.items.front().world.m[3][1], 0.4f, 1e-6);
    EXPECT_NEAR(list.items.back().world.m[3][1], 1.6f, 1e-5);
    list.items.clear();
    s->frameCounter = 1;
    addGateBars(*s, list);
    EXPECT_NEAR(list.items.front().world.m[3][1], 0.40167f, 1e-4);
    EXPECT_NEAR(list.items.back().world.m[3][1], 1.50167f, 1e-4);
}

TEST(Scene, OnlySeenSolidCellsGetWallsAndTheExitCellNever) {
    auto s = emptyMaze();
    setCell(*s, 0, 0, 0, -1, true);   // drawn
    setCell(*s, 4, 4, 4, -1, false);  // solid but not seen
    setCell(*s, 1, 1, 0, -1, true);   // the exit opening
    setCell(*s, 2, 2, 2, 0, true);    // open
    DrawList list;
    buildSceneDrawList(*s, list);
    ASSERT_EQ(countMesh(list, Mesh::wallCube), 1);
    EXPECT_EQ(list.items[0].mesh, Mesh::wallCube);
    Float4 t = translationOf(list.items[0]);
    EXPECT_EQ(t.x, 0.0f);
    EXPECT_EQ(t.z, 0.0f);
    EXPECT_EQ(list.items[0].pixelShader, PixelShader::color);
    EXPECT_EQ(list.items[0].vertexCount, 36);
}

TEST(Scene, WallsComeInCellOrderXThenYThenZ) {
    auto s = emptyMaze();
    setCell(*s, 2, 0, 0, -1, true);
    setCell(*s, 0, 0, 3, -1, true);
    setCell(*s, 0, 1, 0, -1, true);
    DrawList list;
    buildSceneDrawList(*s, list);
    EXPECT_EQ(translationOf(list.items[0]).z, 3.0f);
    EXPECT_EQ(translationOf(list.items[1]).y, 1.0f);
    EXPECT_EQ(translationOf(list.items[2]).x, 2.0f);
}

TEST(Scene, TexturedWallsAreSixStripsWithTheTextureShaderAndTheRestStaysColour) {
    auto s = emptyMaze();
    s->texturedWalls = 1;
    s->guideOn = 1;
    setCell(*s, 0, 0, 0, -1, true);
    setCell(*s, 2, 2, 2, 2, true);
    DrawList list;
    buildSceneDrawList(*s, list);
    ASSERT_EQ(countMesh(list, Mesh::texturedCube), 6);
    for (int face = 0; face < 6; ++face) {
        EXPECT_EQ(list.items[face].firstVertex, 4 * face);
        EXPECT_EQ(list.items[face].vertexCount, 4);
        EXPECT_EQ(list.items[face].topology, Topology::triangleStrip);
        EXPECT_EQ(list.items[face].pixelShader, PixelShader::texture);
    }
    for (size_t i = 6; i < list.items.size(); ++i) EXPECT_EQ(list.items[i].pixelShader, PixelShader::color);
}

TEST(Scene, TrailMarksOnlyWithTheGuideOnAndOnlyWhereSeen) {
    struct Case {
        int guide;
        bool seen;
        int marks;
    } cases[] = {{0, true, 0}, {1, true, 1}, {1, false, 0}, {0, false, 0}};
    for (const Case& c : cases) {
        auto s = emptyMaze();
        s->guideOn = c.guide;
        setCell(*s, 2, 3, 3, 2, c.seen);
        setCell(*s, 3, 3, 3, 0, true);  // open but never left: no mark
        DrawList list;
        buildSceneDrawList(*s, list);
        EXPECT_EQ(countMesh(list, Mesh::guideMarker), c.marks) << c.guide << c.seen;
        if (c.marks == 1) {
            const DrawItem& mark = list.items[0];
            EXPECT_EQ(mark.world.m[0][0], 0.02f);
            EXPECT_EQ(translationOf(mark).x, 2.0f);
        }
    }
}

TEST(Scene, PassOrderIsWallsTrailGoalOrbiterCurtain) {
    auto s = emptyMaze();
    s->guideOn = 1;
    setCell(*s, 0, 0, 0, -1, true);
    setCell(*s, 2, 3, 3, 2, true);
    DrawList list;
    buildSceneDrawList(*s, list);
    ASSERT_EQ(list.items.size(), 1u + 1u + 1u + 1u + 12u);
    EXPECT_EQ(list.items[0].mesh, Mesh::wallCube);
    EXPECT_EQ(list.items[1].mesh, Mesh::guideMarker);
    EXPECT_EQ(list.items[2].mesh, Mesh::goalMarker);
    EXPECT_EQ(list.items[3].mesh, Mesh::orbiter);
    EXPECT_EQ(list.items[4].mesh, Mesh::gateBar);
}

TEST(Scene, GoalMarkerSpinsAtTheTruncatedGoalCell) {
    auto s = emptyMaze();
    s->goalPos[0] = 1.9f;
    s->spinAngle = 90;
    DrawList list;
    buildSceneDrawList(*s, list);
    const DrawItem& goal = list.items[0];
    ASSERT_EQ(goal.mesh, Mesh::goalMarker);
    EXPECT_EQ(translationOf(goal).x, 1.0f);
    // Scaling(0.1) x RotationY(90 degrees): +x goes to -z.
    Float4 p = transformPoint({1, 0, 0, 0}, goal.world);
    EXPECT_NEAR(p.x, 1.0f, 1e-6);
    EXPECT_NEAR(p.z, 0.9f, 1e-6);
}

TEST(Scene, OrbiterSweepsItsCircle) {
    auto s = emptyMaze();
    struct Case {
        int cycleFrame, cycleAngle;
        float x, y, z;
    } cases[] = {{1800, 0, -10.0f, 0.0f, 0.0f}, {900, 0, 0.0f, 0.0f, -10.0f}, {1800, 90, 0.0f, -10.0f, 0.0f}};
    for (const Case& c : cases) {
        s->cycleFrame = c.cycleFrame;
        s->cycleAngle = c.cycleAngle;
        DrawList list;
        buildSceneDrawList(*s, list);
        Float4 centre = transformPoint({0, 0, 0, 0}, list.items[1].world);
        EXPECT_NEAR(centre.x, c.x, 1e-3) << c.cycleFrame;
        EXPECT_NEAR(centre.y, c.y, 1e-3) << c.cycleFrame;
        EXPECT_NEAR(centre.z, c.z, 1e-3) << c.cycleFrame;
    }
}

// --- other players ---------------------------------------------------------------------

std::unique_ptr<GameState> onlineWithOne(const char16_t* name, int level, Float4 pos, Float4 up, Float4 view) {
    auto s = emptyMaze();
    s->networkEnabled = 1;
    s->level = 1;
    std::memcpy(s->nickname, u"me", 6);
    RankingRecord& r = s->rankingList[0];
    std::memset(&r, 0, sizeof r);
    for (int i = 0; name[i] != 0; ++i) r.name[i] = name[i];
    r.level = level;
    r.position[0] = pos.x, r.position[1] = pos.y, r.position[2] = pos.z;
    r.up[0] = up.x, r.up[1] = up.y, r.up[2] = up.z;
    r.viewDirection[0] = view.x, r.viewDirection[1] = view.y, r.viewDirection[2] = view.z;
    s->rankingCount = 1;
    return s;
}

TEST(Scene, ArrowRules) {
    struct Case {
        const char* what;
        const char16_t* name;
        int level;
        int network;
        Float4 pos;
        int arrows;
    } cases[] = {
        {"another player on my level", u"you", 1, 1, {2, 3, 3, 0}, 1},
        {"my own record", u"me", 1, 1, {2, 3, 3, 0}, 0},
        {"another level", u"you", 2, 1, {2, 3, 3, 0}, 0},
        {"offline", u"you", 1, 0, {2, 3, 3, 0}, 0},
        {"within a tenth of the eye", u"you", 1, 1, {3.05f, 3, 3, 0}, 0},
        {"just beyond a tenth", u"you", 1, 1, {3.11f, 3, 3, 0}, 1},
        {"a name that only starts like mine", u"mex", 1, 1, {2, 3, 3, 0}, 1},
    };
    for (const Case& c : cases) {
        auto s = onlineWithOne(c.name, c.level, c.pos, {0, 1, 0, 0}, {0, 0, 1, 0});
        s->networkEnabled = c.network;
        DrawList list;
        buildSceneDrawList(*s, list);
        EXPECT_EQ(countMesh(list, Mesh::playerArrow), c.arrows) << c.what;
    }
}

Mat4 rotationOf(Float4 up, Float4 view) {
    float u[3] = {up.x, up.y, up.z}, v[3] = {view.x, view.y, view.z};
    return quaternionMatrix(arrowRotation(u, v));
}

void expectMaps(const Mat4& m, Float4 from, Float4 to, const char* what) {
    Float4 r = transformPoint(from, m);
    EXPECT_NEAR(r.x, to.x, 1e-5) << what;
    EXPECT_NEAR(r.y, to.y, 1e-5) << what;
    EXPECT_NEAR(r.z, to.z, 1e-5) << what;
}

TEST(Scene, ArrowRotationsAndTheirDegenerateCases) {
    struct Case {
        const char* what;
        Float4 up, view;
        Float4 fin, nose;  // where +y and +z end up
    } cases[] = {
        {"upright, looking along +z: identity", {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"all zeros: unrotated", {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"upright, looking back: half turn about up", {0, 1, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}, {0, 0, -1, 0}},
        {"upside down: half turn about x first", {0, -1, 0, 0}, {0, 0, -1, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}},
        {"upright, looking along +x", {0, 1, 0, 0}, {3, 0, 0, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}},
        {"lying on its side", {1, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}},
        {"looking up, up tilted back", {0, 0, -1, 0}, {0, 2, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        Mat4 m = rotationOf(c.up, c.view);
        expectMaps(m, {0, 1, 0, 0}, c.fin, c.what);
        expectMaps(m, {0, 0, 1, 0}, c.nose, c.what);
    }
}

TEST(Scene, ArrowWorldIsScaleRotationTranslation) {
    auto s = onlineWithOne(u"you", 1, {2, 3, 4, 0}, {0, 1, 0, 0}, {1, 0, 0, 0});
    DrawList list;
    ASSERT_TRUE(addOtherPlayer(*s, 0, list));
    Float4 nose = transformPoint({0, 0, 1, 0}, list.items[0].world);
    EXPECT_NEAR(nose.x, 2.1f, 1e-5);
    EXPECT_NEAR(nose.y, 3.0f, 1e-5);
    EXPECT_NEAR(nose.z, 4.0f, 1e-5);
    EXPECT_EQ(list.items[0].vertexCount, 21);
}

TEST(Scene, RebuildingTheListKeepsItsCapacity) {
    auto s = emptyMaze();
    for (int x = 0; x < 5; ++x) setCell(*s, x, 0, 0, -1, true);
    DrawList list;
    buildSceneDrawList(*s, list);
    const DrawItem* before = list.items.data();
    buildSceneDrawList(*s, list);
    EXPECT_EQ(list.items.data(), before);
}

}  // namespace
}  // namespace orlith
