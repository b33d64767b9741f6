// Turning, movement with collision and trail, the goal test and the mode switches: steps from
// (state, input) to state. Angles in degrees; sines and cosines in double precision rounded to
// float, so the pose follows the same float path on every machine.
#include <algorithm>
#include <climits>
#include <cmath>

#include "game/game.h"

namespace orlith {

namespace {

inline float fsin(float radians) { return static_cast<float>(std::sin(static_cast<double>(radians))); }

// One turn of the fly frame by angle degrees about axis. A positive angle rotates first and
// rebuilds second from a cross product, a negative one the other way round; the axis itself
// stays. This keeps the frame orthonormal without a separate pass.
template <class RebuildSecond, class RebuildFirst>
void rotateFrame(float angle, const Float4& axis, Float4& first, Float4& second, RebuildSecond rebuildSecond,
                 RebuildFirst rebuildFirst) {
    if (angle == 0.0f) return;
    Float4 q = rotation(axis, angle * kDegToRad);
    if (angle > 0.0f) {
        first = rotate(first, q);
        second = rebuildSecond();
    } else {
        second = rotate(second, q);
        first = rebuildFirst();
    }
}

// How far an arrow turns this frame: all the way for its key, else an analog stick's share.
float arrowTurn(GameState& s, const InputSnapshot& input, int key) {
    if (keyHeld(s, input, key) != 0) return 1.0f;
    return static_cast<float>(std::clamp<int>(input.arrowAmount[key - vk::left], 0, 1000)) / 1000.0f;
}

}  // namespace

int inMaze(const GameState& s, int x, int y, int z) {
    return x >= 0 && x < s.sizeX && y >= 0 && y < s.sizeY && z >= 0 && z < s.sizeZ;
}

void turnPlayer(GameState& s, const InputSnapshot& input) {
    const float speed = static_cast<float>(s.rotateSpeed);
    const float hs = static_cast<float>(s.horizontalSign), vs = static_cast<float>(s.verticalSign);
    int dx = 0, dy = 0;
    if (s.dragging == 1) {
        dx = pointX(s.dragCurrentPoint) - pointX(s.dragStartPoint);
        dy = pointY(s.dragCurrentPoint) - pointY(s.dragStartPoint);
    }
    if (s.movementMode == 0) {
        if (s.dragging == 1) {
            s.yaw = static_cast<float>(dx) * 0.05f * speed * hs + s.dragStartYaw;
            s.pitch = s.dragStartPitch - static_cast<float>(dy) * 0.05f * speed * vs;
        }
        float right = arrowTurn(s, input, vk::right);
        float left = arrowTurn(s, input, vk::left);
        float down = arrowTurn(s, input, vk::down);
        float up = arrowTurn(s, input, vk::up);
        s.yaw += (right - left) * 0.25f * speed * hs;
        s.pitch += (up - down) * 0.25f * speed * vs;
        if (s.yaw >= 360.0f) s.yaw -= 360.0f;
        else if (s.yaw < 0.0f) s.yaw += 360.0f;
        if (s.pitch > 90.0f) s.pitch = 90.0f;
        else if (s.pitch < -90.0f) s.pitch = -90.0f;
        return;
    }

    float dragPitch = 0, dragRoll = 0;
    if (s.dragging == 1) {
        dragPitch = static_cast<float>(dy) * 0.002f * speed * vs;
        dragRoll = static_cast<float>(dx) * (-0.002f) * speed * hs;
    }
    float down = arrowTurn(s, input, vk::down);
    float up = arrowTurn(s, input, vk::up);
    int zKey = keyHeld(s, input, vk::z);
    int xKey = keyHeld(s, input, vk::x);
    float right = arrowTurn(s, input, vk::right);
    float left = arrowTurn(s, input, vk::left);
    float a = (down - up) * 0.25f * speed * vs + dragPitch;
    float b = static_cast<float>(xKey - zKey) * 0.25f * speed * hs;
    float c = (left - right) * 0.25f * speed * hs + dragRoll;
    // Pitch about R, turn about U, roll about F, each on the frame the previous one left.
    Float4& F = s.flyForward;
    Float4& U = s.flyUp;
    Float4& R = s.flyRight;
    rotateFrame(a, R, F, U, [&] { return normalise(cross(F, R)); }, [&] { return normalise(cross(R, U)); });
    rotateFrame(b, U, R, F, [&] { return normalise(cross(R, U)); }, [&] { return normalise(cross(U, F)); });
    rotateFrame(c, F, U, R, [&] { return normalise(cross(U, F)); }, [&] { return normalise(cross(F, R)); });
}

SolidCells solidCells(const GameState& s) { return {s.cellGrid, s.sizeX, s.sizeY, s.sizeZ}; }

void resolveCollision(const SolidCells& walls, const float p0[3], float p[3]) {
    const int c[3] = {cellOf(p[0]), cellOf(p[1]), cellOf(p[2])};
    float lo[3], hi[3], depth[3];
    for (int k = 0; k < 3; ++k) {
        auto idx = static_cast<float>(c[k]);
        lo[k] = (idx - 0.5f) + 0.1f;
        hi[k] = (idx + 0.5f) - 0.1f;
        depth[k] = p0[k] > idx ? (idx + 0.5f) - p0[k] : p0[k] - (idx - 0.5f);
    }
    // 1 solid, 0 open, -1 outside the box (which never blocks).
    auto neighbour = [&](int ax, int sa, int bx, int sb) {
        int n[3] = {c[0], c[1], c[2]};
        n[ax] += sa;
        if (bx >= 0) n[bx] += sb;
        if (!walls.inside(n[0], n[1], n[2])) return -1;
        return walls.cellGrid[cellIndex(n[0], n[1], n[2])] == -1 ? 1 : 0;
    };
    auto beyond = [&](int axis, int side) { return side < 0 ? p[axis] < lo[axis] : p[axis] > hi[axis]; };
    auto clampTo = [&](int axis, int side) { p[axis] = side < 0 ? lo[axis] : hi[axis]; };

    // Faces: -x, +x, -y, +y, -z, +z.
    for (int axis = 0; axis < 3; ++axis) {
        for (int side = -1; side <= 1; side += 2) {
            if (neighbour(axis, side, -1, 0) == 1 && beyond(axis, side)) clampTo(axis, side);
        }
    }
    // Edges, in the fixed order; only one coordinate moves per edge.
    static constexpr int kEdges[12][4] = {
        {0, -1, 1, -1}, {1, -1, 2, -1}, {2, -1, 0, -1}, {0, +1, 1, +1}, {1, +1, 2, +1}, {2, +1, 0, +1},
        {0, -1, 1, +1}, {1, -1, 2, +1}, {2, -1, 0, +1}, {0, +1, 1, -1}, {1, +1, 2, -1}, {2, +1, 0, -1},
    };
    for (const auto& e : kEdges) {
        int A = e[0], sA = e[1], B = e[2], sB = e[3];
        if (neighbour(A, sA, -1, 0) != 0 || neighbour(B, sB, -1, 0) != 0) continue;
        if (neighbour(A, sA, B, sB) != 1) continue;
        if (!beyond(A, sA) || !beyond(B, sB)) continue;
        if (depth[B] < depth[A]) clampTo(A, sA);
        else clampTo(B, sB);
    }
}

void stepPlayer(GameState& s, const SolidCells& walls, float mx, float my, float mz) {
    const float p0[3] = {s.playerPos[0], s.playerPos[1], s.playerPos[2]};
    const int c0[3] = {cellOf(p0[0]), cellOf(p0[1]), cellOf(p0[2])};
    float p[3] = {p0[0] + mx, p0[1] + my, p0[2] + mz};
    resolveCollision(walls, p0, p);
    s.playerPos[0] = p[0];
    s.playerPos[1] = p[1];
    s.playerPos[2] = p[2];

    int c1[3] = {cellOf(p[0]), cellOf(p[1]), cellOf(p[2])};
    if ((c1[0] != c0[0] || c1[1] != c0[1] || c1[2] != c0[2]) && inMaze(s, c0[0], c0[1], c0[2])) {
        if (s.stepCount < INT32_MAX) s.stepCount += 1;
        s.cellGrid[cellIndex(c0[0], c0[1], c0[2])] = 2;
    }
}

void movePlayer(GameState& s, const InputSnapshot& input, const SolidCells& walls) {
    int q = keyHeld(s, input, vk::q);
    int a = keyHeld(s, input, vk::a);
    if (s.movementMode == 2) {
        int speed = s.flySpeed + (q - a) * s.progressSign;
        s.flySpeed = speed < 0 ? 0 : speed > 500 ? 500 : speed;
        float v = 0.0001f * static_cast<float>(s.flySpeed);
        stepPlayer(s, walls, s.flyForward.x * v, s.flyForward.y * v, s.flyForward.z * v);
        return;
    }
    int n = 0;
    if (s.wheelAccum >= 60) {
        n = -(s.wheelAccum / 60);
        s.wheelAccum %= 60;
    }
    if (s.wheelAccum <= -60) {
        int k = (-60 - s.wheelAccum) / 60 + 1;
        n += k;
        s.wheelAccum += 60 * k;
    }
    n = (n + q - a) * s.progressSign;
    float direction = 1.0f;
    if (n < 0) {
        direction = -1.0f;
        n = -n;
    }
    for (int k = 0; k < n; ++k) {
        float d[3];
        if (s.movementMode == 0) {
            float h = s.yaw * kDegToRad, e = s.pitch * kDegToRad;
            double ce = std::cos(static_cast<double>(e));
            d[0] = static_cast<float>(std::sin(static_cast<double>(h)) * ce);
            d[1] = fsin(e);
            d[2] = static_cast<float>(std::cos(static_cast<double>(h)) * ce);
        } else {
            d[0] = s.flyForward.x;
            d[1] = s.flyForward.y;
            d[2] = s.flyForward.z;
        }
        stepPlayer(s, walls, d[0] * 0.05f * direction, d[1] * 0.05f * direction, d[2] * 0.05f * direction);
    }
}

bool checkGoal(GameState& s, MazeWork& work) {
    float gx = s.goalPos[0], gy = s.goalPos[1], gz = s.goalPos[2];
    float x = s.playerPos[0], y = s.playerPos[1], z = s.playerPos[2];
    float d = (gy - y) * (gy - y) + (gx - x) * (gx - x) + (gz - z) * (gz - z);
    if (d <= 0.01f) {
        // The level keeps rising; at the int32 limit it stays and the maze is rebuilt.
        if (s.level < INT32_MAX) s.level += 1;
        newLevel(s, work);
        return true;
    }
    return false;
}

void switchMovementMode(GameState& s) {
    if (s.movementMode == 0) {
        s.movementMode = 1;
        float y = s.yaw * kDegToRad, p = s.pitch * kDegToRad, y2 = (s.yaw + 180.0f) * kDegToRad;
        double sy = std::sin(static_cast<double>(y)), cy = std::cos(static_cast<double>(y));
        double sp = std::sin(static_cast<double>(p)), cp = std::cos(static_cast<double>(p));
        double sy2 = std::sin(static_cast<double>(y2)), cy2 = std::cos(static_cast<double>(y2));
        s.flyForward = {static_cast<float>(sy * cp), static_cast<float>(sp), static_cast<float>(cy * cp), 0};
        s.flyUp = {static_cast<float>(sy2 * sp), static_cast<float>(cp), static_cast<float>(cy2 * sp), 0};
        s.flyRight = normalise(cross(s.flyUp, s.flyForward));
    } else if (s.movementMode == 1) {
        s.movementMode = 2;
        s.flySpeed = 0;
    } else {
        s.movementMode = 0;
        auto p = static_cast<float>(std::asin(static_cast<double>(s.flyForward.y)));
        s.pitch = p * 57.295773f;
        auto v = static_cast<float>(static_cast<double>(s.flyForward.z) / std::cos(static_cast<double>(p)));
        if (s.pitch > 89.75f || s.pitch < -89.75f || v < -1.0f || v > 1.0f) {
            s.yaw = 180.0f;
        } else {
            s.yaw = static_cast<float>(std::acos(static_cast<double>(v)) * 57.295772552490234);
            if (s.flyForward.x < 0.0f) s.yaw = 360.0f - s.yaw;
        }
    }
    s.movementNoticeTimer = kNoticeFrames;
}

void applyNightmare(GameState& s) {
    s.nightmareTimer = kNoticeFrames;
    s.movementNoticeTimer = kNoticeFrames;
    s.texturedWalls = 1;
    s.showDistance = 1;
    s.guideOn = 0;
    s.guideNoticeTimer = kNoticeFrames;
    if (s.movementMode == 0) switchMovementMode(s);
}

}  // namespace orlith
