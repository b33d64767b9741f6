// The first-person camera of the current pose: Walk from heading and elevation, Fly from the
// free frame. Sines and cosines in double precision, rounded to float.
#include <cmath>

#include "game/game.h"

namespace orlith {

void buildCamera(GameState& s) {
    Float4 eye{s.playerPos[0], s.playerPos[1], s.playerPos[2], 0.0f};
    Float4 focus, up;
    if (s.movementMode == 0) {
        float a = s.yaw * kDegToRad;
        float p = s.pitch * kDegToRad;
        double sa = std::sin(static_cast<double>(a)), ca = std::cos(static_cast<double>(a));
        double sp = std::sin(static_cast<double>(p)), cp = std::cos(static_cast<double>(p));
        Float4 forward{static_cast<float>(sa * cp), static_cast<float>(sp), static_cast<float>(ca * cp), 0.0f};
        float b = (s.yaw + 180.0f) * kDegToRad;
        double sb = std::sin(static_cast<double>(b)), cb = std::cos(static_cast<double>(b));
        up = {static_cast<float>(sb * sp), static_cast<float>(cp), static_cast<float>(cb * sp), 0.0f};
        focus = {eye.x + forward.x, eye.y + forward.y, eye.z + forward.z, 0.0f};
    } else {
        focus = add(s.flyForward, eye);
        up = s.flyUp;
    }
    s.cameraEye = eye;
    s.cameraFocus = focus;
    s.cameraUp = up;
    Mat4 view = lookToMatrix(eye, sub(focus, eye), up);
    float aspect = static_cast<float>(s.windowWidth) / static_cast<float>(s.windowHeight);
    Mat4 proj = perspectiveMatrix(s.fieldOfView * kDegToRad, aspect, kNearPlane, kFarPlane);
    s.viewMatrix = view;
    s.projectionMatrix = proj;
}

}  // namespace orlith
