// Camera vectors and matrices for known poses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "game/game.h"

namespace orlith {
namespace {

Mat4 viewOf(const GameState& s) { return s.viewMatrix; }
Mat4 projectionOf(const GameState& s) { return s.projectionMatrix; }

std::unique_ptr<GameState> startPose() {
    auto s = makeGameState();
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 3.0f;
    s->yaw = 180.0f;
    s->pitch = 0.0f;
    s->fieldOfView = 45.0f;
    s->windowWidth = 1024;
    s->windowHeight = 576;
    return s;
}

TEST(Camera, LevelStartLooksAlongMinusZWithUpUp) {
    auto s = startPose();
    buildCamera(*s);
    EXPECT_EQ(s->cameraEye.x, 3.0f);
    EXPECT_EQ(s->cameraEye.w, 0.0f);
    EXPECT_NEAR(s->cameraFocus.x, 3.0f, 1e-6);
    EXPECT_NEAR(s->cameraFocus.z, 2.0f, 1e-6);
    EXPECT_NEAR(s->cameraUp.y, 1.0f, 1e-6);
    EXPECT_NEAR(s->cameraUp.x, 0.0f, 1e-6);
    // The view matrix turns the eye into the origin and the focus onto +z at distance 1.
    Float4 eye = transformPoint(s->cameraEye, viewOf(*s));
    Float4 focus = transformPoint(s->cameraFocus, viewOf(*s));
    EXPECT_NEAR(eye.x, 0, 1e-5);
    EXPECT_NEAR(eye.z, 0, 1e-5);
    EXPECT_NEAR(focus.x, 0, 1e-5);
    EXPECT_NEAR(focus.y, 0, 1e-5);
    EXPECT_NEAR(focus.z, 1, 1e-5);
    // Left-handed: looking along -z with up +y, screen right is world -x.
    Float4 right = transformPoint({2.0f, 3.0f, 2.0f, 0}, viewOf(*s));
    EXPECT_NEAR(right.x, 1, 1e-5);
}

TEST(Camera, ProjectionOfA169Window) {
    auto s = startPose();
    buildCamera(*s);
    Mat4 p = projectionOf(*s);
    float h = std::cos(0.7853982f / 2) / std::sin(0.7853982f / 2);
    EXPECT_FLOAT_EQ(p.m[1][1], h);
    EXPECT_FLOAT_EQ(p.m[0][0], h / 1.7777778f);
    EXPECT_FLOAT_EQ(p.m[2][2], 200.0f / (200.0f - 0.01f));
    EXPECT_EQ(p.m[2][3], 1.0f);
    EXPECT_FLOAT_EQ(p.m[3][2], -(200.0f / (200.0f - 0.01f)) * 0.01f);
    EXPECT_EQ(p.m[3][3], 0.0f);
    // Depth runs 0 at the near plane and 1 at the far plane.
    Float4 nearPoint = transformPoint({0, 0, 0.01f, 0}, p);
    Float4 farPoint = transformPoint({0, 0, 200.0f, 0}, p);
    EXPECT_NEAR(nearPoint.z / nearPoint.w, 0.0f, 1e-6);
    EXPECT_NEAR(farPoint.z / farPoint.w, 1.0f, 1e-6);
}

TEST(Camera, AspectFollowsTheWindow) {
    auto s = startPose();
    s->windowHeight = 768;
    buildCamera(*s);
    float h = projectionOf(*s).m[1][1];
    EXPECT_FLOAT_EQ(projectionOf(*s).m[0][0], h / 1.3333334f);
}

TEST(Camera, LookingStraightUpStaysDefined) {
    auto s = startPose();
    s->yaw = 90.0f;
    s->pitch = 90.0f;
    buildCamera(*s);
    EXPECT_NEAR(s->cameraFocus.y - s->cameraEye.y, 1.0f, 1e-6);
    // up = (sin(yaw + 180), 0, cos(yaw + 180)) = (-1, 0, 0) for yaw 90.
    EXPECT_NEAR(s->cameraUp.x, -1.0f, 1e-6);
    EXPECT_NEAR(s->cameraUp.y, 0.0f, 1e-6);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) EXPECT_FALSE(std::isnan(s->viewMatrix.m[r][c]));
    }
}

TEST(Camera, FlyModeUsesTheFlyFrameAndKeepsUpAsIs) {
    auto s = startPose();
    s->movementMode = 1;
    s->flyForward = {1, 0, 0, 0};
    s->flyUp = {0, 0, 1, 0.25f};
    buildCamera(*s);
    EXPECT_EQ(s->cameraFocus.x, 4.0f);
    EXPECT_EQ(s->cameraUp.z, 1.0f);
    EXPECT_EQ(s->cameraUp.w, 0.25f);
    Float4 ahead = transformPoint({5.0f, 3.0f, 3.0f, 0}, viewOf(*s));
    EXPECT_NEAR(ahead.z, 2.0f, 1e-5);
}

}  // namespace
}  // namespace orlith
