// An honest player's hands: the keys for one frame along a path of cells, as a player who turns
// one degree a frame until facing the next cell and then walks would press them.
#pragma once

#include <cmath>

#include "maze/maze.h"
#include "state/input.h"

namespace orlith::test {

// Keys for one frame towards the centre of the target cell: turn (1 degree a frame at the
// default turning rate) until facing it, then step forward with Q.
inline InputSnapshot steer(const GameState& s, const MazeCell& from, const MazeCell& target) {
    InputSnapshot f;
    f.focus = 1;
    const int d[3] = {target.x - from.x, target.y - from.y, target.z - from.z};
    float wantPitch = d[1] != 0 ? (d[1] > 0 ? 90.0f : -90.0f) : 0.0f;
    if (s.pitch != wantPitch) {
        f.keysDown[s.pitch < wantPitch ? vk::up : vk::down] = 1;
        return f;
    }
    if (wantPitch == 0.0f) {
        float wantYaw = d[0] != 0 ? (d[0] > 0 ? 90.0f : 270.0f) : (d[2] > 0 ? 0.0f : 180.0f);
        if (s.yaw != wantYaw) {
            float diff = std::fmod(wantYaw - s.yaw + 360.0f, 360.0f);
            f.keysDown[diff <= 180.0f ? vk::right : vk::left] = 1;
            return f;
        }
    }
    f.keysDown[vk::q] = 1;
    return f;
}

}  // namespace orlith::test
