// Nothing is allocated on the hot paths: level set-up, the frame update, sight and collision.
#include <gtest/gtest.h>

#include "app/shell.h"
#include "game/game.h"
#include "maze/maze.h"
#include "support/count_allocations.h"
#include "support/fake_platform.h"

using namespace orlith;

using test::allocationsDuring;

TEST(NoAllocation, LevelSetUpFrameUpdateSightAndCollision) {
    auto s = makeGameState();
    auto work = makeMazeWork();
    test::FakePlatform p;  // its containers allocate only when keys change, outside the window
    p.down = {vk::q, vk::right, vk::up};
    GameHooks hooks(p);
    // The counter sees an allocation, so the zeros below mean something.
    EXPECT_EQ(allocationsDuring([] { ::operator delete(::operator new(16)); }), 1);
    EXPECT_EQ(allocationsDuring([&] { newLevel(*s, *work); }), 0);
    s->level = 50;
    EXPECT_EQ(allocationsDuring([&] { newLevel(*s, *work); }), 0);
    s->networkEnabled = 1;  // the ranking copy and sort run too
    s->sharedRecordCount = 200;
    EXPECT_EQ(allocationsDuring([&] {
                  for (int f = 0; f < 300; ++f) updateFrame(*s, *work, p, hooks);
              }),
              0);
    EXPECT_EQ(allocationsDuring([&] {
                  markSight(*s);
                  stepPlayer(*s, 0.05f, 0.05f, 0.05f);
                  checkGoal(*s, *work);
              }),
              0);
}

TEST(NoAllocation, TheStateAndTheGeneratorStayNearTheirFixedArrays) {
    // The grids (5.5 MB) and the three ranking arrays; the generator's lists (6.2 MB) and tables.
    EXPECT_LT(sizeof(GameState), 6u * 1024 * 1024);
    EXPECT_GT(sizeof(GameState), 5u * 1024 * 1024);
    EXPECT_LT(sizeof(MazeWork), 8u * 1024 * 1024);
}
