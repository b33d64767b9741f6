// 4 x 4 matrices for row vectors (p x M, translation in the fourth row), with the elementary
// matrices, the left-handed look-to and perspective matrices of the camera, and quaternion
// rotation matrices. Shared by the camera (game) and the scene passes (render).
#pragma once

#include "base/vecmath.h"

namespace orlith {

struct Mat4 {
    float m[4][4];
};

Mat4 identityMatrix();
Mat4 multiply(const Mat4& a, const Mat4& b);  // a applied first
Mat4 scalingMatrix(float sx, float sy, float sz);
Mat4 translationMatrix(float tx, float ty, float tz);
Mat4 rotationXMatrix(float radians);
Mat4 rotationYMatrix(float radians);
Mat4 rotationZMatrix(float radians);
Mat4 quaternionMatrix(Float4 q);
Float4 transformPoint(Float4 p, const Mat4& m);  // (x, y, z, 1) x M

// zAxis = normalise(direction), xAxis = normalise(up x zAxis), yAxis = zAxis x xAxis.
Mat4 lookToMatrix(Float4 eye, Float4 direction, Float4 up);
// Depth 0 at nearZ, 1 at farZ.
Mat4 perspectiveMatrix(float fovYRadians, float aspect, float nearZ, float farZ);

}  // namespace orlith
