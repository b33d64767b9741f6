// Turning, movement, collision, trail, goal, goal distance and mode switches; sight marking
// (staircase sweeps from the player's cell); camera vectors and matrices for known poses.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "game/game.h"
#include "support/fixtures.h"

using namespace orlith;
using orlith::test::place;

namespace {
MazeWork& work = test::sharedWork();
std::unique_ptr<GameState> boxWith(std::initializer_list<std::array<int, 3>> open) { return test::solidBox(7, open); }
float gap(Float4 a, Float4 b) { return dot3(sub(a, b), sub(a, b)); }  // squared distance

std::unique_ptr<GameState> startPose(float yaw = 180.0f, float pitch = 0.0f, int32_t height = 576) {
    auto s = makeGameState();  // a field of view of 45 degrees, 1024 pixels wide
    place(*s, 3, 3, 3);
    s->yaw = yaw, s->pitch = pitch, s->windowHeight = height;
    buildCamera(*s);
    return s;
}

}  // namespace

TEST(Collision, AFaceStopsAMarginAwayAndEveryEdgeClampsTheDeeperAxisAndTheSecondOnATie) {
    // The twelve edges in their order: (first axis, side), (second axis, side). For each, cell
    // (3,3,3) is open with both face neighbours open and the diagonal solid; the player moves
    // past both limits. The old position's depth inside the cell decides which axis is held.
    const int edges[12][4] = {{0, -1, 1, -1}, {1, -1, 2, -1}, {2, -1, 0, -1}, {0, 1, 1, 1},  {1, 1, 2, 1},  {2, 1, 0, 1},
                              {0, -1, 1, 1},  {1, -1, 2, 1},  {2, -1, 0, 1},  {0, 1, 1, -1}, {1, 1, 2, -1}, {2, 1, 0, -1}};
    struct Depths { float offsetA, offsetB, moveA, moveB; bool firstHeld; };
    const Depths cases[] = {
        {0.30f, 0.38f, 0.15f, 0.05f, true},   // deeper along the first axis: the first is held
        {0.38f, 0.30f, 0.05f, 0.15f, false},  // deeper along the second: the second is held
        {0.30f, 0.30f, 0.15f, 0.15f, false},  // equally deep: the second axis of the pair
    };
    for (const auto& e : edges) {
        const int A = e[0], sA = e[1], B = e[2], sB = e[3];
        for (const Depths& d : cases) {
            std::array<int, 3> faceA{3, 3, 3}, faceB{3, 3, 3};
            faceA[A] += sA;
            faceB[B] += sB;
            auto s = boxWith({{3, 3, 3}, faceA, faceB});
            float p[3] = {3, 3, 3}, move[3] = {0, 0, 0};
            p[A] += sA * d.offsetA;
            p[B] += sB * d.offsetB;
            move[A] = sA * d.moveA;
            move[B] = sB * d.moveB;
            place(*s, p[0], p[1], p[2]);
            stepPlayer(*s, solidCells(*s), move[0], move[1], move[2]);
            const int held = d.firstHeld ? A : B, free = d.firstHeld ? B : A;
            const int heldSide = d.firstHeld ? sA : sB, freeSide = d.firstHeld ? sB : sA;
            SCOPED_TRACE(testing::Message() << "edge " << A << sA << "/" << B << sB << (d.firstHeld ? " first" : " second"));
            EXPECT_FLOAT_EQ(s->playerPos[held], 3.0f + heldSide * 0.4f);
            EXPECT_FLOAT_EQ(s->playerPos[free], p[free] + move[free]);
            EXPECT_GT(freeSide * (s->playerPos[free] - 3.0f), 0.4f);
            EXPECT_EQ(s->playerPos[3 - A - B], 3.0f);
        }
    }
    // Walking into a face stops a margin away.
    auto s = boxWith({{3, 3, 3}});
    place(*s, 3, 3, 3);
    for (int k = 0; k < 20; ++k) stepPlayer(*s, solidCells(*s), 0.05f, 0, 0);
    EXPECT_EQ(s->playerPos[0], (3.0f + 0.5f) - 0.1f);
    for (int k = 0; k < 20; ++k) stepPlayer(*s, solidCells(*s), 0, -0.05f, 0);
    EXPECT_EQ(s->playerPos[1], (3.0f - 0.5f) + 0.1f);
    EXPECT_EQ(s->stepCount, 0);
}

TEST(Position, ACellLeftCountsAStepAndIsMarkedNonNumbersNeverIndexTheGridAndTheGoalSphereCounts) {
    auto s = boxWith({{2, 3, 4}, {2, 3, 5}});  // no two coordinates alike: the mark lands on the cell left
    place(*s, 2, 3, 4.47f);
    stepPlayer(*s, solidCells(*s), 0, 0, 0.05f);
    EXPECT_EQ(std::tuple(s->stepCount, s->cellGrid[cellIndex(2, 3, 4)], s->cellGrid[cellIndex(2, 3, 5)]), std::tuple(1, 2, 0));
    place(*s, 2, 3, 4.47f), stepPlayer(*s, solidCells(*s), 0, 0, 0.05f);  // again from a cell already marked
    EXPECT_EQ(s->stepCount, 2);
    // Pushed back into its own cell: no step.
    auto w = boxWith({{3, 3, 3}});
    place(*w, 3, 3, 3.38f), stepPlayer(*w, solidCells(*w), 0, 0, 0.05f);
    EXPECT_EQ(std::tuple(w->stepCount, w->cellGrid[cellIndex(3, 3, 3)]), std::tuple(0, 0));
    // Positions that are not numbers never index the grid.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (float bad : {nan, inf, -inf, 3.0e9f, -3.0e9f, 1.0e38f}) {
        auto out = boxWith({{3, 3, 3}});
        place(*out, bad, 3, 3);
        stepPlayer(*out, solidCells(*out), 0.05f, 0.05f, 0.05f);
        markSight(*out);  // outside the interior: everything seen
        checkGoal(*out, work);
        float p[3] = {bad, bad, bad};
        EXPECT_EQ(std::tuple(out->stepCount, out->seenGrid[cellIndex(3, 3, 3)], distanceToGoal(out->goalPos, p), out->level),
                  std::tuple(0, kSeen, INT32_MAX, 1)) << bad;
    }
    for (auto [x, cell] : {std::pair{2.5f, 3}, {-2.5f, -3}, {2.49f, 2}, {-0.4f, 0}}) EXPECT_EQ(cellOf(x), cell) << x;
    // The goal: the distance truncates the cell distance, the central sphere counts.
    s = test::levelState(1);
    struct Case { float p[3]; int32_t d; };
    for (Case c : {Case{3, 3, 3, 3}, Case{1, 1, 1, 0}, Case{1.49f, 1, 1, 0}, Case{1.5f, 1, 1, 1}, Case{101, 101, 101, 173},
                   Case{-0.6f, 1, 1, 1}})
        EXPECT_EQ(distanceToGoal(s->goalPos, c.p), c.d) << c.p[0] << "," << c.p[1] << "," << c.p[2];
    auto reach = [&](float c) { return place(*s, c, c, c), checkGoal(*s, work), std::tuple(s->level, s->sizeX, s->playerPos[0]); };
    EXPECT_EQ(reach(1.06f), std::tuple(1, 5, 1.06f));
    EXPECT_EQ(reach(1.05f), std::tuple(2, 7, 5.0f));
    s->level = INT32_MAX;  // at the top of the int range the level stays and a maze is still built
    EXPECT_EQ(reach(1), std::tuple(INT32_MAX, 103, 101.0f));
}

TEST(Movement, WheelAndKeysMakeStepsAndFly2CruisesBetweenZeroAnd500) {
    struct Case { int wheel; int progress; std::vector<int> keys; int steps; int remainder; };
    for (const Case& c : {Case{120, 1, {}, -2, 0}, Case{59, 1, {}, 0, 59}, Case{-120, 1, {}, 2, 0},
                          Case{-120, 1, {vk::q}, 3, 0}, Case{-179, 1, {}, 2, -59}, Case{0, 1, {vk::q, vk::a}, 0, 0},
                          Case{0, -1, {vk::q}, -1, 0}, Case{181, 1, {}, -3, 1}}) {
        auto s = test::solidBox(0, {});  // nothing blocks: outside every maze; yaw 0 walks along +z
        s->progressSign = c.progress, s->wheelAccum = c.wheel;
        movePlayer(*s, test::held(c.keys), solidCells(*s));
        EXPECT_NEAR(s->playerPos[2], 0.05f * static_cast<float>(c.steps), 1e-6f) << "wheel " << c.wheel;
        EXPECT_EQ(s->wheelAccum, c.remainder) << "wheel " << c.wheel;
    }
    // Fly 2 cruises between 0 and 500.
    auto s = test::solidBox(0, {});
    s->movementMode = 2, s->flyForward = {0, 0, -1, 0}, s->wheelAccum = 120;
    for (int f = 0; f < 600; ++f) movePlayer(*s, test::held({vk::q}), solidCells(*s));
    EXPECT_EQ(std::tuple(s->flySpeed, s->wheelAccum), std::tuple(500, 120));  // the wheel is not consumed in Fly 2
    float z = s->playerPos[2];
    movePlayer(*s, test::held(), solidCells(*s));
    EXPECT_NEAR(s->playerPos[2], z - 0.05f, 1e-5f);
    for (int f = 0; f < 600; ++f) movePlayer(*s, test::held({vk::a}), solidCells(*s));
    EXPECT_EQ(s->flySpeed, 0);
}

TEST(Turning, WalkDragFollowsTheOffsetFromWhereItBeganPitchIsClampedAndModeSwitchesConvertTheOrientation) {
    auto s = startPose();
    pointerButtonDown(*s, 200, 300);
    pointerMove(*s, 300, 300);
    turnPlayer(*s, test::held());
    EXPECT_FLOAT_EQ(s->yaw, 200.0f);
    pointerMove(*s, 300, -5000);  // far up: pitch stops at 90
    turnPlayer(*s, test::held());
    EXPECT_EQ(s->pitch, 90.0f);
    pointerButtonUp(*s);
    // A second drag starts from the view the first one left: no jump at the press.
    pointerButtonDown(*s, 10, 10);
    pointerMove(*s, 10 - 50, 10);
    turnPlayer(*s, test::held());
    EXPECT_EQ(std::tuple(s->yaw, s->pitch), std::tuple(190.0f, 90.0f));
    pointerButtonUp(*s);
    s->yaw = 359.5f;
    turnPlayer(*s, test::held({vk::right}));
    EXPECT_FLOAT_EQ(s->yaw, 0.5f);
    turnPlayer(*s, test::held({vk::left}));
    EXPECT_FLOAT_EQ(s->yaw, 359.5f);
    // Switching modes converts the orientation.
    s->yaw = 90, s->pitch = 0;
    switchMovementMode(*s);
    EXPECT_EQ(std::tuple(s->movementMode, s->movementNoticeTimer), std::tuple(1, 180));
    EXPECT_NEAR(gap(s->flyForward, {1, 0, 0, 0}) + gap(s->flyUp, {0, 1, 0, 0}) + gap(s->flyRight, {0, 0, -1, 0}), 0.0f, 1e-11f);
    s->flySpeed = 77, switchMovementMode(*s);
    EXPECT_EQ(std::tuple(s->movementMode, s->flySpeed), std::tuple(2, 0));

    struct Back { Float4 f; float pitch, yaw; };
    for (Back b : {Back{{0, 1, 0, 0}, 90, 180}, Back{{-1, 0, 0, 0}, 0, 270}, Back{{1, 0, 0, 0}, 0, 90},
                   Back{{0, 0, -1, 0}, 0, 180}, Back{{0, -1, 0, 0}, -90, 180}}) {
        s->movementMode = 2, s->flyForward = b.f;
        switchMovementMode(*s);
        EXPECT_EQ(s->movementMode, 0);
        EXPECT_NEAR(s->pitch, b.pitch, 1e-4f) << b.f.x << "," << b.f.y << "," << b.f.z;
        EXPECT_NEAR(s->yaw, b.yaw, 1e-3f) << b.f.x << "," << b.f.y << "," << b.f.z;
    }
    // Walk and Fly 1 step the same way after a switch.
    auto walk = test::solidBox(0, {}), fly = test::solidBox(0, {});
    for (GameState* g : {walk.get(), fly.get()}) g->yaw = 30, g->pitch = 20;
    switchMovementMode(*fly);
    for (GameState* g : {walk.get(), fly.get()}) movePlayer(*g, test::held({vk::q}), solidCells(*g));
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(walk->playerPos[k], fly->playerPos[k], 1e-6f);
    EXPECT_GT(walk->playerPos[1], 0.0f);  // positive pitch rises
}

// Fly 1 with the level-start frame.
std::unique_ptr<GameState> flying() {
    auto s = makeGameState();
    s->movementMode = 1, s->flyForward = {0, 0, -1, 0}, s->flyUp = {0, 1, 0, 0}, s->flyRight = {-1, 0, 0, 0};
    return s;
}

TEST(Turning, EachFlyKeyTurnsItsOwnWayADragRollsAndTheFrameStaysOrthonormal) {
    // From the level-start frame at turning rate 4 (one degree a frame); s and c are the sine
    // and cosine of one degree. Up and Down pitch about the side vector, Z and X turn about
    // up, Left and Right roll about forward.
    const float s1 = std::sin(1.0f * 0.017453294f), c1 = std::cos(1.0f * 0.017453294f);
    struct Case { int key; Float4 f, u, r; };
    const Case cases[] = {
        {vk::up, {0, s1, -c1, 0}, {0, c1, s1, 0}, {-1, 0, 0, 0}},
        {vk::down, {0, -s1, -c1, 0}, {0, c1, -s1, 0}, {-1, 0, 0, 0}},
        {vk::x, {-s1, 0, -c1, 0}, {0, 1, 0, 0}, {-c1, 0, s1, 0}},
        {vk::z, {s1, 0, -c1, 0}, {0, 1, 0, 0}, {-c1, 0, -s1, 0}},
        {vk::left, {0, 0, -1, 0}, {s1, c1, 0, 0}, {-c1, s1, 0, 0}},
        {vk::right, {0, 0, -1, 0}, {-s1, c1, 0, 0}, {-c1, -s1, 0, 0}},
    };
    for (const Case& c : cases) {
        auto s = flying();
        turnPlayer(*s, test::held({c.key}));
        EXPECT_NEAR(gap(s->flyForward, c.f) + gap(s->flyUp, c.u) + gap(s->flyRight, c.r), 0.0f, 1e-11f) << "key " << c.key;
    }
    auto s = flying();
    pointerButtonDown(*s, 0, 0);
    pointerMove(*s, 100, 0);
    turnPlayer(*s, test::held()), turnPlayer(*s, test::held());
    // Roll of 0.8 degree about forward per frame, the frame kept orthonormal.
    EXPECT_NEAR(std::fabs(std::atan2(s->flyUp.x, s->flyUp.y) * 57.29578f), 1.6f, 1e-3f);
    EXPECT_NEAR(std::fabs(dot3(s->flyUp, s->flyForward)) + std::fabs(dot3(s->flyRight, s->flyUp)), 0.0f, 1e-6f);
    pointerButtonUp(*s);
    for (int f = 0; f < 5000; ++f) turnPlayer(*s, test::held({vk::up, vk::x, vk::left}));
    // One vector of each rotation is rebuilt and normalised; the rotated one may drift in
    // length by rounding only.
    for (Float4 v : {s->flyForward, s->flyUp, s->flyRight}) EXPECT_NEAR(dot3(v, v), 1.0f, 1e-2f);
    EXPECT_NEAR(std::fabs(dot3(s->flyForward, s->flyUp)) + std::fabs(dot3(s->flyForward, s->flyRight)), 0.0f, 1e-3f);
}

TEST(Sight, StaircaseSweepsFromThePlayersCell) {
    const std::initializer_list<std::array<int, 3>> corridor = {{4, 4, 2}, {4, 4, 3}, {4, 4, 4}, {4, 4, 5}};
    // +x, then +z, then -x: the cell (4,4,6) is only reachable by turning back on x.
    const std::initializer_list<std::array<int, 3>> turn = {{4, 4, 4}, {5, 4, 4}, {5, 4, 5}, {5, 4, 6}, {4, 4, 6}, {3, 4, 6}};
    struct Case { const char* what; int n; std::initializer_list<std::array<int, 3>> open; std::array<float, 3> eye;
                  std::vector<std::array<int, 3>> seen, unseen; int count; };
    const Case cases[] = {
        // Its cells, their side walls, the walls at both ends, the four exit-frame cells; not two
        // steps off the corridor through solid cells.
        {"a straight corridor", 9, corridor, {4, 4, 2}, {{4, 4, 1}, {4, 4, 4}, {4, 4, 6}, {5, 4, 2}, {3, 4, 5}, {4, 5, 3}, {4, 3, 4}},
         {{4, 4, 7}, {5, 5, 3}}, 4 + 16 + 2 + 4},
        {"a path that turns back", 9, turn, {4, 4, 4}, {{5, 4, 6}, {4, 4, 5}}, {{4, 4, 6}, {3, 4, 6}}, -1},
        {"own cell, six walls and the cells framing the exit", 9, {{6, 6, 6}}, {6, 6, 6},
         {{0, 1, 0}, {1, 0, 0}, {1, 2, 0}, {2, 1, 0}}, {{1, 1, 0}}, 1 + 6 + 4},
        {"the outer layer sees everything", 7, {{3, 3, 3}}, {0, 3, 3}, {}, {}, 7 * 7 * 7},
        {"so does its top", 7, {{3, 3, 3}}, {3, 6, 3}, {}, {}, 7 * 7 * 7},
        {"and outside, before", 7, {{3, 3, 3}}, {3, 3, -4}, {}, {}, 7 * 7 * 7},
        {"and beyond", 7, {{3, 3, 3}}, {3, 3, 20}, {}, {}, 7 * 7 * 7},
    };
    for (const Case& c : cases) {
        auto s = test::solidBox(c.n, c.open);
        place(*s, c.eye[0], c.eye[1], c.eye[2]);
        markSight(*s);
        for (auto [x, y, z] : c.seen) EXPECT_EQ(s->seenGrid[cellIndex(x, y, z)], kSeen) << c.what << ": " << x << y << z;
        for (auto [x, y, z] : c.unseen) EXPECT_NE(s->seenGrid[cellIndex(x, y, z)], kSeen) << c.what << ": " << x << y << z;
        if (c.count >= 0) EXPECT_EQ(std::count(s->seenGrid, s->seenGrid + kGridCells, kSeen), c.count) << c.what;
    }
}

TEST(Camera, KnownPosesGiveTheirVectorsAndTheProjectionFollowsTheWindowWithDepthZeroToOne) {
    for (auto [height, aspect] : {std::pair{576, 1.7777778f}, {768, 1.3333334f}}) {
        Mat4 p = startPose(180, 0, height)->projectionMatrix;
        float h = std::cos(0.7853982f / 2) / std::sin(0.7853982f / 2);
        EXPECT_FLOAT_EQ(p.m[1][1], h);
        EXPECT_FLOAT_EQ(p.m[0][0], h / aspect);
        EXPECT_EQ(std::tuple(p.m[2][3], p.m[3][3]), std::tuple(1.0f, 0.0f));
        Float4 nearPoint = transformPoint({0, 0, 0.01f, 0}, p), farPoint = transformPoint({0, 0, 200.0f, 0}, p);
        EXPECT_NEAR(nearPoint.z / nearPoint.w, 0.0f, 1e-6);
        EXPECT_NEAR(farPoint.z / farPoint.w, 1.0f, 1e-6);
    }
    auto s = startPose();
    EXPECT_EQ(std::tuple(s->cameraEye.x, s->cameraEye.w), std::tuple(3.0f, 0.0f));
    EXPECT_NEAR(gap(s->cameraFocus, {3, 3, 2, 0}), 0.0f, 1e-10f);
    EXPECT_NEAR(gap(s->cameraUp, {0, 1, 0, 0}), 0.0f, 1e-10f);
    // The eye goes to the origin, the focus onto +z at distance 1; left-handed, so looking
    // along -z with up +y, screen right is world -x.
    EXPECT_NEAR(gap(transformPoint(s->cameraEye, s->viewMatrix), {0, 0, 0, 0}), 0.0f, 1e-10f);
    EXPECT_NEAR(gap(transformPoint(s->cameraFocus, s->viewMatrix), {0, 0, 1, 0}), 0.0f, 1e-10f);
    EXPECT_NEAR(gap(transformPoint({2.0f, 3.0f, 2.0f, 0}, s->viewMatrix), {1, 0, 1, 0}), 0.0f, 1e-10f);

    s = startPose(90, 90);
    EXPECT_NEAR(gap(sub(s->cameraFocus, s->cameraEye), {0, 1, 0, 0}), 0.0f, 1e-10f);
    EXPECT_NEAR(gap(s->cameraUp, {-1, 0, 0, 0}), 0.0f, 1e-10f);  // (sin(yaw + 180), 0, cos(yaw + 180))
    for (int r = 0; r < 16; ++r) EXPECT_FALSE(std::isnan(s->viewMatrix.m[r / 4][r % 4]));
    s->movementMode = 1, s->flyForward = {1, 0, 0, 0}, s->flyUp = {0, 0, 1, 0.25f};
    buildCamera(*s);
    EXPECT_EQ(std::tuple(s->cameraFocus.x, s->cameraUp.z, s->cameraUp.w), std::tuple(4.0f, 1.0f, 0.25f));
    EXPECT_NEAR(transformPoint({5.0f, 3.0f, 3.0f, 0}, s->viewMatrix).z, 2.0f, 1e-5);
}
