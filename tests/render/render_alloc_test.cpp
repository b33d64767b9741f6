// The per-frame render work (camera, scene draw list, HUD layout) allocates nothing once its
// buffers exist. This binary counts every operator new while a test's window is open.
#include <gtest/gtest.h>

// This file replaces operator new and delete with malloc and free as a pair; g++ cannot see
// that they match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdlib>
#include <new>

#include "game/game.h"
#include "maze/maze.h"
#include "render/render.h"

namespace {
std::atomic<long> allocations{0};
std::atomic<bool> counting{false};
}  // namespace

void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace orlith {
namespace {

TEST(RenderNoAllocation, CameraSceneAndHudPerFrame) {
    auto s = makeGameState();
    s->level = 50;
    newLevel(*s);
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
    DrawList list;
    HudLayout hud;
    for (int textured = 0; textured <= 1; ++textured) {
        s->texturedWalls = textured;
        allocations = 0;
        counting = true;
        for (int frame = 0; frame < 120; ++frame) {
            markSight(*s);
            buildCamera(*s);
            buildSceneDrawList(*s, list);
            buildHudLayout(*s, hud);
            s->frameCounter = (s->frameCounter + 1) % 60;
            s->spinAngle = (s->spinAngle + 2) % 360;
        }
        counting = false;
        EXPECT_EQ(allocations.load(), 0) << "textured " << textured;
        EXPECT_GT(list.items.size(), 10u);
        EXPECT_GT(hud.count, 3);
    }
}

}  // namespace
}  // namespace orlith
