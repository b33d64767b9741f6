// An honest player for the server tests: it walks the shortest path of each level at the
// game's walking speed (Q held, 0.05 cell a frame, 60 frames a second) through the core's own
// frame update, so movement, collision, the step count and the goal are the game's, and after
// each frame its state value is what the game would send.
#pragma once

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "ranking/ranking.h"

namespace orlith::server::test {

// Walks from level 1 until level lastLevel is done, handing sent the state value after each
// frame; returns the cells of the shortest paths walked.
inline int64_t walkShortestPaths(int32_t lastLevel, const std::function<void(const std::string& state)>& sent) {
    InputSnapshot holdingQ;
    holdingQ.focus = holdingQ.keysDown[vk::q] = 1;
    FrameHooks hooks;
    std::unique_ptr<GameState> game = makeGameState();
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::copy_n(u"1234abcd", 8, game->pinHash);
    newLevel(*game, *work);
    std::vector<MazeCell> path = shortestPath(game->cellGrid, game->sizeX);
    int64_t walked = 0;
    for (size_t next = 1; game->level <= lastLevel;) {
        // Face the centre of the next cell of the path; within a step of it, the one after
        // (the goal's centre is the last).
        float d[3];
        for (;; ++next) {
            const float cell[3] = {static_cast<float>(path[next].x), static_cast<float>(path[next].y), static_cast<float>(path[next].z)};
            for (int k = 0; k < 3; ++k) d[k] = cell[k] - game->playerPos[k];
            if (std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) > 0.05f || next + 1 == path.size()) break;
        }
        constexpr double kDegrees = 57.29577951308232;
        double yaw = std::atan2(d[0], d[2]) * kDegrees;
        game->yaw = static_cast<float>(yaw < 0 ? yaw + 360 : yaw);
        game->pitch = static_cast<float>(std::atan2(d[1], std::hypot(d[0], d[2])) * kDegrees);
        int32_t level = game->level;
        updateFrame(*game, *work, holdingQ, hooks);
        if (game->level != level) walked += static_cast<int64_t>(path.size() - 1), path = shortestPath(game->cellGrid, game->sizeX), next = 1;
        char16_t text[128];
        int n = buildStateValue(*game, 1700000000u, text, 128);
        sent(utf16ToUtf8(std::u16string_view(text + 6, static_cast<size_t>(n - 6))));  // after "state="
    }
    return walked;
}

}  // namespace orlith::server::test
