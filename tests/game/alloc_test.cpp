// Nothing is allocated on the hot paths: level set-up, the frame update, sight and collision.
// This binary counts every operator new while a test's window is open.
#include <gtest/gtest.h>

// This file replaces operator new and delete with malloc and free as a pair; g++ cannot see
// that they match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdlib>
#include <new>

#include "game/game.h"
#include "maze/maze.h"
#include "support/fake_platform.h"

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

using namespace orlith;

namespace {

template <typename F>
long allocationsDuring(F&& body) {
    allocations = 0;
    counting = true;
    body();
    counting = false;
    return allocations.load();
}

}  // namespace

TEST(NoAllocation, LevelSetUpFrameUpdateSightAndCollision) {
    auto s = makeGameState();
    test::FakePlatform p;  // its containers allocate only when keys change, outside the window
    p.down = {vk::q, vk::right, vk::up};
    FrameHooks hooks;
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
