// Matrices for row vectors.
#include "base/matrix.h"

#include <cmath>

namespace orlith {

Mat4 identityMatrix() { return {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}; }

Mat4 multiply(const Mat4& a, const Mat4& b) {
    Mat4 r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j] + a.m[i][3] * b.m[3][j];
        }
    }
    return r;
}

Mat4 scalingMatrix(float sx, float sy, float sz) { return {{{sx, 0, 0, 0}, {0, sy, 0, 0}, {0, 0, sz, 0}, {0, 0, 0, 1}}}; }

Mat4 translationMatrix(float tx, float ty, float tz) {
    return {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {tx, ty, tz, 1}}};
}

Mat4 rotationXMatrix(float t) {
    float s = std::sin(t), c = std::cos(t);
    return {{{1, 0, 0, 0}, {0, c, s, 0}, {0, -s, c, 0}, {0, 0, 0, 1}}};
}

Mat4 rotationYMatrix(float t) {
    float s = std::sin(t), c = std::cos(t);
    return {{{c, 0, -s, 0}, {0, 1, 0, 0}, {s, 0, c, 0}, {0, 0, 0, 1}}};
}

Mat4 rotationZMatrix(float t) {
    float s = std::sin(t), c = std::cos(t);
    return {{{c, s, 0, 0}, {-s, c, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
}

Mat4 quaternionMatrix(Float4 q) {
    float x = q.x, y = q.y, z = q.z, w = q.w;
    return {{{1 - 2 * y * y - 2 * z * z, 2 * x * y + 2 * z * w, 2 * x * z - 2 * y * w, 0},
             {2 * x * y - 2 * z * w, 1 - 2 * x * x - 2 * z * z, 2 * y * z + 2 * x * w, 0},
             {2 * x * z + 2 * y * w, 2 * y * z - 2 * x * w, 1 - 2 * x * x - 2 * y * y, 0},
             {0, 0, 0, 1}}};
}

Float4 transformPoint(Float4 p, const Mat4& m) {
    float v[4] = {p.x, p.y, p.z, 1.0f};
    float r[4];
    for (int j = 0; j < 4; ++j) r[j] = v[0] * m.m[0][j] + v[1] * m.m[1][j] + v[2] * m.m[2][j] + v[3] * m.m[3][j];
    return {r[0], r[1], r[2], r[3]};
}

Mat4 lookToMatrix(Float4 eye, Float4 direction, Float4 up) {
    Float4 zAxis = normalise(direction);
    Float4 xAxis = normalise(cross(up, zAxis));
    Float4 yAxis = cross(zAxis, xAxis);
    return {{{xAxis.x, yAxis.x, zAxis.x, 0},
             {xAxis.y, yAxis.y, zAxis.y, 0},
             {xAxis.z, yAxis.z, zAxis.z, 0},
             {-dot3(xAxis, eye), -dot3(yAxis, eye), -dot3(zAxis, eye), 1}}};
}

Mat4 perspectiveMatrix(float fovY, float aspect, float nearZ, float farZ) {
    float h = std::cos(fovY / 2.0f) / std::sin(fovY / 2.0f);
    float w = h / aspect;
    float range = farZ / (farZ - nearZ);
    return {{{w, 0, 0, 0}, {0, h, 0, 0}, {0, 0, range, 1}, {0, 0, -range * nearZ, 0}}};
}

}  // namespace orlith
