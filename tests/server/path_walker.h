// An honest player for the server tests: it walks the shortest path of each level at the
// game's walking speed (Q held, 0.05 cell a frame, 60 frames a second) through the core's own
// frame update, so movement, collision, the step count and the goal are the game's, and after
// each frame its state value is what the game would send.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "platform/null_platform.h"
#include "ranking/ranking.h"

namespace orlith::server::test {

class PathWalker {
public:
    explicit PathWalker(const std::u16string& pinHash = u"1234abcd") : game_(makeGameState()), work_(makeMazeWork()) {
        std::copy(pinHash.begin(), pinHash.end(), game_->pinHash);
        newLevel(*game_, *work_);
        startLevel();
    }

    // One frame: face the centre of the next cell of the path, then the game's update.
    void frame() {
        float d[3];
        for (;; ++next_) {
            const MazeCell& to = path_[next_];
            const float cell[3] = {static_cast<float>(to.x), static_cast<float>(to.y), static_cast<float>(to.z)};
            for (int k = 0; k < 3; ++k) d[k] = cell[k] - game_->playerPos[k];
            // Within a step of a cell's centre: on to the next (the goal's centre is the last).
            if (std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) > 0.05f || next_ + 1 == path_.size()) break;
        }
        constexpr double kDegrees = 57.29577951308232;
        double yaw = std::atan2(d[0], d[2]) * kDegrees;
        game_->yaw = static_cast<float>(yaw < 0 ? yaw + 360 : yaw);
        game_->pitch = static_cast<float>(std::atan2(d[1], std::hypot(d[0], d[2])) * kDegrees);
        int32_t level = game_->level;
        updateFrame(*game_, *work_, keys_, hooks_);
        if (game_->level != level) startLevel();
    }

    int32_t level() const { return game_->level; }
    size_t pathLength() const { return path_.size() - 1; }  // of the current level
    std::string stateValue() const {
        char16_t text[128];
        int n = buildStateValue(*game_, 1700000000u, text, 128);
        return utf16ToUtf8(std::u16string_view(text + 6, static_cast<size_t>(n - 6)));  // after "state="
    }

private:
    struct HoldingQ : NullPlatform {
        bool isKeyDown(int key) override { return key == vk::q; }
    };
    void startLevel() {
        path_ = shortestPath(game_->cellGrid, game_->sizeX);
        next_ = 1;
    }
    std::unique_ptr<GameState> game_;
    std::unique_ptr<MazeWork> work_;
    HoldingQ keys_;
    FrameHooks hooks_;
    std::vector<MazeCell> path_;
    size_t next_ = 1;
};

}  // namespace orlith::server::test
