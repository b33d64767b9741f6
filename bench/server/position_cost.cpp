// orlith-bench-position LEVEL...: what the reachability check of a claimed position costs.
// Per level: making its distance field (the maze generated again, then a breadth-first walk
// from its start cell, on the levels' background thread) and the field's memory; per request:
// one look-up of a claimed cell, timed over a million positions spread over the maze.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rules/levels.h"
#include "storage/storage.h"

using namespace orlith::server;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    std::vector<int> levels;
    for (int i = 1; i < argc; ++i) levels.push_back(std::atoi(argv[i]));
    if (levels.empty()) levels = {1, 10, 50, 100};
    auto storage = makeMemoryStorage();
    LevelPaths paths(*storage);
    for (int level : levels) {
        paths.waitFor(level);  // the path first, as a player's rise has it
        size_t before = paths.fieldBytes();
        auto t0 = Clock::now();
        paths.waitForField(level);
        double makeMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        const int edge = 2 * level + 3 > 103 ? 103 : 2 * level + 3;
        constexpr int kLookups = 1000000;
        int64_t sum = 0;
        t0 = Clock::now();
        for (int i = 0; i < kLookups; ++i) {
            const float p[3] = {static_cast<float>(i % edge), static_cast<float>(i / edge % edge), static_cast<float>(i / 7 % edge)};
            sum += paths.cellsFromStart(level, p);
        }
        double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kLookups;
        std::printf("level %d (edge %d): field made in %.1f ms, %zu bytes; a look-up %.0f ns (checksum %lld)\n", level, edge,
                    makeMs, paths.fieldBytes() - before, ns, static_cast<long long>(sum));
    }
    return 0;
}
