// Small vector helpers for the game logic: four-float vectors (w = 0 for directions),
// normalise, cross product and quaternion rotation with the degenerate cases the game relies on.
#pragma once

#include <cmath>

namespace orlith {

struct Float4 {
    float x = 0, y = 0, z = 0, w = 0;
};

// Degrees to radians as the game uses it everywhere: the 32-bit float 0.017453294.
inline constexpr float kDegToRad = 0.017453294f;

inline Float4 add(Float4 a, Float4 b) { return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
inline Float4 sub(Float4 a, Float4 b) { return {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w}; }
inline Float4 scale(Float4 a, float s) { return {a.x * s, a.y * s, a.z * s, a.w * s}; }
inline float dot3(Float4 a, Float4 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Three-component cross product, w = 0.
inline Float4 cross(Float4 a, Float4 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x, 0.0f};
}

// Zero length gives the zero vector; an infinite squared length gives NaN components.
inline Float4 normalise(Float4 v) {
    float len2 = v.x * v.x + v.y * v.y + v.z * v.z;
    if (std::isinf(len2)) {
        float nan = std::nanf("");
        return {nan, nan, nan, nan};
    }
    if (len2 > 0.0f) {
        float inv = 1.0f / std::sqrt(len2);
        return {v.x * inv, v.y * inv, v.z * inv, v.w * inv};
    }
    return {0, 0, 0, 0};
}

// Unit quaternion (n sin(a/2), cos(a/2)) about normalise(axis); angle in radians.
inline Float4 rotation(Float4 axis, float angle) {
    Float4 n = normalise(axis);
    float s = static_cast<float>(std::sin(static_cast<double>(angle) * 0.5));
    float c = static_cast<float>(std::cos(static_cast<double>(angle) * 0.5));
    return {n.x * s, n.y * s, n.z * s, c};
}

inline Float4 quatMul(Float4 a, Float4 b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
            a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

// q v q*: turns v about q's axis by the right-hand rule for a positive angle.
inline Float4 rotate(Float4 v, Float4 q) {
    Float4 p{v.x, v.y, v.z, 0.0f};
    Float4 conj{-q.x, -q.y, -q.z, q.w};
    Float4 r = quatMul(quatMul(q, p), conj);
    return {r.x, r.y, r.z, 0.0f};
}

}  // namespace orlith
