// Camera vectors and matrices for known poses.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "game/game.h"

namespace orlith {
namespace {

std::unique_ptr<GameState> startPose(float yaw = 180.0f, float pitch = 0.0f, int32_t height = 576) {
    auto s = makeGameState();
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 3.0f;
    s->yaw = yaw, s->pitch = pitch, s->fieldOfView = 45.0f;
    s->windowWidth = 1024, s->windowHeight = height;
    buildCamera(*s);
    return s;
}

void expectNear(Float4 got, Float4 want) {
    Float4 d = sub(got, want);
    EXPECT_NEAR(dot3(d, d), 0.0f, 1e-10f) << got.x << "," << got.y << "," << got.z;
}

TEST(Camera, LevelStartLooksAlongMinusZWithUpUp) {
    auto s = startPose();
    EXPECT_EQ(std::tuple(s->cameraEye.x, s->cameraEye.w), std::tuple(3.0f, 0.0f));
    expectNear(s->cameraFocus, {3, 3, 2, 0});
    expectNear(s->cameraUp, {0, 1, 0, 0});
    // The eye goes to the origin, the focus onto +z at distance 1; left-handed, so looking
    // along -z with up +y, screen right is world -x.
    expectNear(transformPoint(s->cameraEye, s->viewMatrix), {0, 0, 0, 0});
    expectNear(transformPoint(s->cameraFocus, s->viewMatrix), {0, 0, 1, 0});
    expectNear(transformPoint({2.0f, 3.0f, 2.0f, 0}, s->viewMatrix), {1, 0, 1, 0});
}

TEST(Camera, ProjectionFollowsTheWindowAndMapsDepthZeroToOne) {
    for (auto [height, aspect] : {std::pair{576, 1.7777778f}, {768, 1.3333334f}}) {
        Mat4 p = startPose(180, 0, height)->projectionMatrix;
        float h = std::cos(0.7853982f / 2) / std::sin(0.7853982f / 2);
        EXPECT_FLOAT_EQ(p.m[1][1], h);
        EXPECT_FLOAT_EQ(p.m[0][0], h / aspect);
        EXPECT_FLOAT_EQ(p.m[2][2], 200.0f / (200.0f - 0.01f));
        EXPECT_EQ(std::tuple(p.m[2][3], p.m[3][3]), std::tuple(1.0f, 0.0f));
        Float4 nearPoint = transformPoint({0, 0, 0.01f, 0}, p), farPoint = transformPoint({0, 0, 200.0f, 0}, p);
        EXPECT_NEAR(nearPoint.z / nearPoint.w, 0.0f, 1e-6);
        EXPECT_NEAR(farPoint.z / farPoint.w, 1.0f, 1e-6);
    }
}

TEST(Camera, LookingStraightUpStaysDefinedAndFlyUsesItsFrame) {
    auto s = startPose(90, 90);
    expectNear(sub(s->cameraFocus, s->cameraEye), {0, 1, 0, 0});
    expectNear(s->cameraUp, {-1, 0, 0, 0});  // (sin(yaw + 180), 0, cos(yaw + 180))
    for (int r = 0; r < 16; ++r) EXPECT_FALSE(std::isnan(s->viewMatrix.m[r / 4][r % 4]));

    s->movementMode = 1;
    s->flyForward = {1, 0, 0, 0};
    s->flyUp = {0, 0, 1, 0.25f};
    buildCamera(*s);
    EXPECT_EQ(std::tuple(s->cameraFocus.x, s->cameraUp.z, s->cameraUp.w), std::tuple(4.0f, 1.0f, 0.25f));
    EXPECT_NEAR(transformPoint({5.0f, 3.0f, 3.0f, 0}, s->viewMatrix).z, 2.0f, 1e-5);
}

}  // namespace
}  // namespace orlith
