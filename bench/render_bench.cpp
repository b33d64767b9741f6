// The renderer's per-frame work: building the frame (plain data) at the largest maze and in the
// busiest view of level 20, and drawing that view with the OpenGL backend at 1024 x 576 on the
// machine's OpenGL (headless; Mesa's llvmpipe without a GPU), frame time and CPU per frame. Run:
//   build/release/bench/bench_render --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <epoxy/gl.h>

#include <SDL.h>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>

#include "bench/busy_view.h"
#include "platform/null_platform.h"
#include "platform/sdl/sdl_gl_context.h"
#include "render/gl/gl_renderer.h"
#include "render/gl/hud_font.h"
#include "render/render.h"

namespace {

orlith::MazeWork& work() {
    static std::unique_ptr<orlith::MazeWork> w = orlith::makeMazeWork();
    return *w;
}

std::unique_ptr<orlith::GameState> levelState(int level) {
    auto s = orlith::makeGameState();
    orlith::newLevel(*s, work());
    orlith::replayLevels(*s, work(), level, {});
    s->windowWidth = 1024;
    s->windowHeight = 576;
    s->showFps = 1;
    return s;
}

// Level 50 is the first level of size 103, seen from its start room.
orlith::GameState& bigLevel() {
    static std::unique_ptr<orlith::GameState> state = [] {
        auto s = levelState(50);
        orlith::buildCamera(*s);
        orlith::markSight(*s);
        return s;
    }();
    return *state;
}

// Level 20 looking along the vertical shaft with the most walls in sight.
orlith::GameState& busyView() {
    static std::unique_ptr<orlith::GameState> state = [] {
        auto s = levelState(20);
        orlith::bench::BusyView v = orlith::bench::findBusyView(*s);
        orlith::bench::enterView(*s, v);
        return s;
    }();
    return *state;
}

void frameData(benchmark::State& bench, orlith::GameState& s, int textured) {
    s.texturedWalls = textured;
    orlith::FrameData frame;
    for (auto _ : bench) {
        orlith::buildFrame(s, frame);
        benchmark::DoNotOptimize(frame.worlds.data());
    }
    bench.counters["batches"] = static_cast<double>(frame.batches.size());
    bench.counters["instances"] = static_cast<double>(frame.worlds.size());
}

void BM_FrameDataAtSize103(benchmark::State& bench) { frameData(bench, bigLevel(), 0); }
BENCHMARK(BM_FrameDataAtSize103)->Unit(benchmark::kMicrosecond);

void BM_FrameDataBusyView(benchmark::State& bench) { frameData(bench, busyView(), 1); }
BENCHMARK(BM_FrameDataBusyView)->Unit(benchmark::kMicrosecond);

// One whole frame of the busy view through OpenGL, waited for: what the game's frame costs.
void BM_DrawBusyView(benchmark::State& bench) {
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        bench.SkipWithError(SDL_GetError());
        return;
    }
    orlith::SdlGlContext::requestCoreProfile();
    SDL_Window* window = SDL_CreateWindow("Orlith", 0, 0, 1024, 576, SDL_WINDOW_OPENGL);
    orlith::SdlPlatform platform;
    orlith::HudFont font;
    orlith::FontHudPainter painter(font);
    std::string failed, detail;
    {
        orlith::SdlGlContext context(window, platform);
        orlith::GlRenderer renderer(context, platform, painter, 1024, 576);
        if (window == nullptr || !font.open(24.0f, failed, detail) || renderer.initGraphics() == 0) {
            bench.SkipWithError("no OpenGL 3.3 window");
        } else {
            orlith::GameState& s = busyView();
            s.texturedWalls = bench.range(0);
            orlith::FrameData frame;
            const std::clock_t start = std::clock();
            for (auto _ : bench) {
                orlith::buildFrame(s, frame);
                renderer.drawFrame(frame);
                glFinish();
            }
            // CPU of every thread (llvmpipe rasterises on its own threads), which other load on
            // the machine inflates far less than the wall-clock time.
            bench.counters["cpu_ms"] = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC /
                                       static_cast<double>(bench.iterations());
            bench.counters["fps"] =
                benchmark::Counter(static_cast<double>(bench.iterations()), benchmark::Counter::kIsRate);
            bench.SetLabel(reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
        }
    }
    if (window != nullptr) SDL_DestroyWindow(window);
    SDL_Quit();
}
BENCHMARK(BM_DrawBusyView)->Arg(1)->Arg(0)->ArgName("textured")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
