// Nothing is allocated on the hot paths: level set-up, the frame update, sight and collision, and
// the per-frame render work (camera, the frame's batches and HUD layout) once its buffers exist.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "app/shell.h"
#include "game/game.h"
#include "maze/maze.h"
#include "base/text.h"
#include "ranking/network.h"
#include "ranking/ranking.h"
#include "render/render.h"
#include "support/fake_network.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

using namespace orlith;

// This file replaces the global operator new and delete (malloc and free as a pair; g++ cannot
// see that they match) to count every allocation of the thread that runs a test's window.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> allocations{0};
thread_local bool countingAllocations = false;  // only this thread counts: a network worker allocates on its own

// Number of allocations made by this thread while body runs.
template <typename F>
long allocationsDuring(F&& body) {
    allocations = 0, countingAllocations = true;
    body();
    countingAllocations = false;
    return allocations.load();
}
}  // namespace

void* operator new(std::size_t size) {
    if (countingAllocations) ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(NoAllocation, LevelSetUpFrameUpdateSightCollisionTheOnlineFrameWithTheWorkerAndTheRendersFrame) {
    auto s = makeGameState();
    auto work = makeMazeWork();
    test::FakePlatform p;
    const InputSnapshot input = test::held({vk::q, vk::right, vk::up});
    GameHooks hooks(p);
    // The counter sees an allocation, so the zeros below mean something.
    EXPECT_EQ(allocationsDuring([] { ::operator delete(::operator new(16)); }), 1);
    for (int32_t level : {1, 50}) EXPECT_EQ(allocationsDuring([&] { s->level = level, newLevel(*s, *work); }), 0) << level;
    EXPECT_EQ(allocationsDuring([&] { for (int f = 0; f < 300; ++f) updateFrame(*s, *work, input, hooks); }), 0);
    EXPECT_EQ(allocationsDuring([&] {
                  markSight(*s);
                  stepPlayer(*s, solidCells(*s), 0.05f, 0.05f, 0.05f);
                  checkGoal(*s, *work);
              }),
              0);

    // Online, while the worker exchanges.
    s->networkEnabled = 1;
    copyText(s->nickname, 32, u"日本 #1");  // a name that travels escaped
    copyText(s->pinHash, 32, u"0123abcd");
    auto http = std::make_shared<test::ScriptedHttpClient>();
    float pos[3] = {3, 3, 3}, zero[3] = {0, 0, 0};
    for (int k = 0; k < 200; ++k) http->body += utf16ToUtf8(formatStateValue(0, u"00000000", 1, k, pos, zero, zero)) + "p\r\n";
    std::atomic<int> exchanges{0};
    http->duringSend = [&exchanges] { ++exchanges; };
    NetworkLink link(http, std::make_shared<test::FakeNetworkHost>());
    ASSERT_TRUE(link.open(u"host", 80));
    link.startWorker();
    GameHooks online(p, &link);
    while (s->rankingCount == 0) updateFrame(*s, *work, input, online);  // the first list has arrived
    // The hand-over, the sort of the received list and the request path, every frame, while the
    // worker (given time by the short sleeps) exchanges on its own thread.
    EXPECT_EQ(allocationsDuring([&] {
                  // 300 frames at least, and on until ten exchanges have run beside them.
                  for (int f = 0, first = exchanges; f < 300 || exchanges < first + 10; ++f) {
                      updateFrame(*s, *work, input, online);
                      std::this_thread::sleep_for(std::chrono::microseconds(200));
                  }
              }),
              0);
    EXPECT_TRUE(link.shutDown());
    EXPECT_EQ(s->rankingCount, 200);

    // The render's per-frame work from level 50's start, online with a full list: the ranking
    // panel and the other-player arrows are built too.
    newLevel(*s, *work);
    s->networkEnabled = 1, s->rankingCount = kMaxRankingRecords;
    for (int k = 0; k < kMaxRankingRecords; ++k) {
        RankingRecord& r = s->rankingList[k];  // zeroed with the state
        r.name[0] = static_cast<char16_t>(u'a' + k % 26), r.level = 50;
        r.position[0] = r.position[1] = r.position[2] = 100.0f - static_cast<float>(k % 50);
        r.viewDirection[2] = -1.0f, r.up[1] = 1.0f;
    }
    s->guideOn = 1, s->showFps = 1;
    FrameData data;
    for (int textured = 0; textured <= 1; ++textured) {
        s->texturedWalls = textured;
        long count = allocationsDuring([&] {
            for (int frame = 0; frame < 120; ++frame) {
                markSight(*s), buildCamera(*s), buildFrame(*s, data);
                s->frameCounter = (s->frameCounter + 1) % 60, s->spinAngle = (s->spinAngle + 2) % 360;
            }
        });
        EXPECT_EQ(count, 0) << "textured " << textured;
        EXPECT_GT(data.worlds.size(), 10u);
        EXPECT_GT(data.hud.count, 3);
    }
}
