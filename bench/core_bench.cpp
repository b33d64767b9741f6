// Benchmarks of the core: maze generation against its floor (the same random draws and swaps
// and nothing else), the restore of a level by replay and through the level table, sight
// marking and one whole update.
#include <benchmark/benchmark.h>

#include <utility>
#include <vector>

#include "game/game.h"
#include "maze/maze.h"
#include "platform/null_platform.h"

using namespace orlith;

namespace {

void generate103(GameState& s, MazeWork& work) {
    s.mazeRng = MazeRng{};
    s.sizeX = s.sizeY = s.sizeZ = 103;
    generateMaze(s.cellGrid, 103, 103, 103, s.mazeRng, work);
}

// Size 103 straight from program start: the 180-pass case.
void BM_GenerateSize103(benchmark::State& bs) {
    auto state = makeGameState();
    auto work = makeMazeWork();
    for (auto _ : bs) {
        generate103(*state, *work);
        benchmark::DoNotOptimize(state->cellGrid[cellIndex(1, 1, 2)]);
    }
    bs.counters["passes"] = work->passCount;
}
BENCHMARK(BM_GenerateSize103)->Unit(benchmark::kMillisecond);

// The floor: per pass, 4 x wallCount random numbers and 2 x wallCount swaps of the
// list, with the pass sizes of the real generation.
void BM_GenerateSize103Floor(benchmark::State& bs) {
    auto state = makeGameState();
    auto work = makeMazeWork();
    generate103(*state, *work);
    std::vector<int32_t> counts;
    for (int p = 0; p < work->passCount; ++p) counts.push_back(work->passLog[p].wallCount);
    MazeWork& w = *work;
    for (int32_t i = 0; i < kMaxWallSlots; ++i) w.wallList[i] = static_cast<uint64_t>(i);
    for (auto _ : bs) {
        MazeRng rng;
        for (int32_t count : counts) {
            for (int32_t s = 0; s < 2 * count; ++s) {
                uint32_t r1 = nextRandom(rng), r2 = nextRandom(rng);
                auto i = static_cast<int32_t>((static_cast<uint64_t>(r1) * static_cast<uint32_t>(count)) >> 32);
                auto j = static_cast<int32_t>((static_cast<uint64_t>(r2) * static_cast<uint32_t>(count)) >> 32);
                std::swap(w.wallList[i], w.wallList[j]);
            }
        }
        benchmark::DoNotOptimize(w.wallList[0]);
    }
}
BENCHMARK(BM_GenerateSize103Floor)->Unit(benchmark::kMillisecond);

// A restore as start-up does it, from level 1 generated, to the level given: every level
// replayed, or generated from the level table's entry at or below it.
void BM_RestoreByReplay(benchmark::State& bs) {
    auto state = makeGameState();
    auto work = makeMazeWork();
    for (auto _ : bs) {
        state->mazeRng = MazeRng{};
        state->level = 1;
        newLevel(*state, *work);
        replayLevels(*state, *work, static_cast<int32_t>(bs.range(0)), nullptr);
        benchmark::DoNotOptimize(state->level);
    }
}
// 10,000 takes minutes: run it alone with --benchmark_filter=BM_RestoreByReplay/10000.
BENCHMARK(BM_RestoreByReplay)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_RestoreByTable(benchmark::State& bs) {
    auto state = makeGameState();
    auto work = makeMazeWork();
    for (auto _ : bs) {
        state->mazeRng = MazeRng{};
        state->level = 1;
        newLevel(*state, *work);
        restoreLevel(*state, *work, static_cast<int32_t>(bs.range(0)), nullptr);
        benchmark::DoNotOptimize(state->level);
    }
    bs.counters["table_levels"] = embeddedLevelTable().levels;
}
// 10,010 lies past the table's end: its last entry and ten more levels.
BENCHMARK(BM_RestoreByTable)->Arg(100)->Arg(1000)->Arg(10000)->Arg(10010)->Unit(benchmark::kMillisecond);

// Sight from the start room of a size-103 level.
void BM_MarkSightStartRoom103(benchmark::State& bs) {
    auto state = makeGameState();
    state->level = 50;
    newLevel(*state, *makeMazeWork());
    for (auto _ : bs) {
        markSight(*state);
        benchmark::DoNotOptimize(state->seenGrid[0]);
    }
}
BENCHMARK(BM_MarkSightStartRoom103)->Unit(benchmark::kMicrosecond);

// One focused frame with no key down at a size-103 level (no renderer attached).
void BM_UpdateFrame103(benchmark::State& bs) {
    auto state = makeGameState();
    auto work = makeMazeWork();
    state->level = 50;
    newLevel(*state, *work);
    InputSnapshot input;
    input.focus = 1;
    FrameHooks hooks;
    for (auto _ : bs) {
        updateFrame(*state, *work, input, hooks);
        benchmark::DoNotOptimize(state->frameCounter);
    }
}
BENCHMARK(BM_UpdateFrame103)->Unit(benchmark::kMicrosecond);

}  // namespace
