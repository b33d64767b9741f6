// Nothing is allocated on the hot paths: level set-up, the frame update, sight and collision.
#include <gtest/gtest.h>

#include "game/game.h"
#include "maze/maze.h"
#include "support/count_allocations.h"
#include "support/fake_platform.h"

using namespace orlith;

using test::allocationsDuring;

TEST(NoAllocation, LevelSetUpFrameUpdateSightAndCollision) {
    auto s = makeGameState();
    test::FakePlatform p;  // its containers allocate only when keys change, outside the window
    p.down = {vk::q, vk::right, vk::up};
    FrameHooks hooks;
    // The counter sees an allocation, so the zeros below mean something.
    EXPECT_EQ(allocationsDuring([] { ::operator delete(::operator new(16)); }), 1);
    EXPECT_EQ(allocationsDuring([&] { newLevel(*s); }), 0);
    s->level = 50;
    EXPECT_EQ(allocationsDuring([&] { newLevel(*s); }), 0);
    s->networkEnabled = 1;  // the ranking copy and sort run too
    s->sharedRecordCount = 200;
    EXPECT_EQ(allocationsDuring([&] {
                  for (int f = 0; f < 300; ++f) updateFrame(*s, p, hooks);
              }),
              0);
    EXPECT_EQ(allocationsDuring([&] {
                  markSight(*s);
                  stepPlayer(*s, 0.05f, 0.05f, 0.05f);
                  checkGoal(*s);
              }),
              0);
}

TEST(NoAllocation, TheWholeStateStaysNearItsFixedArrays) {
    // The grids (5.5 MB) plus the generator's fixed work storage.
    EXPECT_LT(sizeof(GameState), 14u * 1024 * 1024);
    EXPECT_GT(sizeof(GameState), 5u * 1024 * 1024);
}
