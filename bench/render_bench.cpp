// Per-frame CPU work of the renderer's plain-data side at the largest maze (size 103):
// the core update with sight, camera, draw-list building and HUD layout.
#include <benchmark/benchmark.h>

#include "game/game.h"
#include "maze/maze.h"
#include "platform/null_platform.h"
#include "render/render.h"

namespace {

orlith::MazeWork& work() {
    static std::unique_ptr<orlith::MazeWork> w = orlith::makeMazeWork();
    return *w;
}

// Level 50 is the first level of size 103; replaying there once is shared by all benchmarks.
orlith::GameState& bigLevel() {
    static std::unique_ptr<orlith::GameState> state = [] {
        auto s = orlith::makeGameState();
        orlith::newLevel(*s, work());
        orlith::replayLevels(*s, work(), 50, {});
        s->windowWidth = 1024;
        s->windowHeight = 576;
        orlith::markSight(*s);
        return s;
    }();
    return *state;
}

// What the app does for one frame besides OpenGL submission.
class Frame final : public orlith::FrameHooks {
public:
    void renderFrame(orlith::GameState& s) override {
        orlith::buildSceneDrawList(s, list);
        orlith::buildHudLayout(s, hud);
    }
    orlith::DrawList list;
    orlith::HudLayout hud;
};

void BM_FrameAtSize103(benchmark::State& bench) {
    orlith::GameState& s = bigLevel();
    orlith::NullPlatform platform;
    Frame frame;
    for (auto _ : bench) {
        orlith::updateFrame(s, work(), platform, frame);
        benchmark::DoNotOptimize(frame.list.items.data());
    }
    bench.counters["draws"] = static_cast<double>(frame.list.items.size());
}
BENCHMARK(BM_FrameAtSize103)->Unit(benchmark::kMicrosecond);

void BM_DrawListAtSize103(benchmark::State& bench) {
    orlith::GameState& s = bigLevel();
    orlith::DrawList list;
    for (auto _ : bench) {
        orlith::buildSceneDrawList(s, list);
        benchmark::DoNotOptimize(list.items.data());
    }
    bench.counters["draws"] = static_cast<double>(list.items.size());
}
BENCHMARK(BM_DrawListAtSize103)->Unit(benchmark::kMicrosecond);

void BM_TexturedDrawListAtSize103(benchmark::State& bench) {
    orlith::GameState& s = bigLevel();
    s.texturedWalls = 1;
    orlith::DrawList list;
    for (auto _ : bench) {
        orlith::buildSceneDrawList(s, list);
        benchmark::DoNotOptimize(list.items.data());
    }
    s.texturedWalls = 0;
    bench.counters["draws"] = static_cast<double>(list.items.size());
}
BENCHMARK(BM_TexturedDrawListAtSize103)->Unit(benchmark::kMicrosecond);

void BM_HudLayout(benchmark::State& bench) {
    orlith::GameState& s = bigLevel();
    s.showFps = 1;
    orlith::HudLayout hud;
    for (auto _ : bench) {
        orlith::buildHudLayout(s, hud);
        benchmark::DoNotOptimize(hud.count);
    }
}
BENCHMARK(BM_HudLayout)->Unit(benchmark::kMicrosecond);

}  // namespace
