// The per-frame render work (camera, the frame's batches and HUD layout) allocates nothing
// once its buffers exist.
#include <gtest/gtest.h>

#include "game/game.h"
#include "maze/maze.h"
#include "render/render.h"
#include "support/count_allocations.h"

namespace orlith {
namespace {

TEST(RenderNoAllocation, CameraSceneAndHudPerFrame) {
    auto s = makeGameState();
    s->level = 50;
    newLevel(*s, *makeMazeWork());
    // Online with a full list: the ranking panel and the other-player arrows are built too.
    s->networkEnabled = 1;
    s->rankingCount = kMaxRankingRecords;
    for (int k = 0; k < kMaxRankingRecords; ++k) {
        RankingRecord& r = s->rankingList[k];
        r = RankingRecord{};
        r.name[0] = static_cast<char16_t>(u'a' + k % 26);
        r.level = 50;
        r.position[0] = r.position[1] = r.position[2] = 100.0f - static_cast<float>(k % 50);
        r.viewDirection[2] = -1.0f;
        r.up[1] = 1.0f;
    }
    s->guideOn = 1;
    s->showFps = 1;
    FrameData data;
    for (int textured = 0; textured <= 1; ++textured) {
        s->texturedWalls = textured;
        long count = test::allocationsDuring([&] {
            for (int frame = 0; frame < 120; ++frame) {
                markSight(*s);
                buildCamera(*s);
                buildFrame(*s, data);
                s->frameCounter = (s->frameCounter + 1) % 60;
                s->spinAngle = (s->spinAngle + 2) % 360;
            }
        });
        EXPECT_EQ(count, 0) << "textured " << textured;
        EXPECT_GT(data.worlds.size(), 10u);
        EXPECT_GT(data.hud.count, 3);
    }
}

}  // namespace
}  // namespace orlith
