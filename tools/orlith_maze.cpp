// orlith-maze: prints the maze of a level, generated through levels 1..LEVEL in order exactly
// as the game does, as a readable map (one block per layer) or as raw bytes.
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>

#include "maze/maze.h"

namespace {

void printUsage(FILE* out) {
    std::fputs(
        "usage: orlith-maze LEVEL [--raw]\n"
        "\n"
        "Generates the mazes of levels 1 to LEVEL in order, as the game does from its start,\n"
        "and prints the maze of LEVEL (edge 2 x LEVEL + 3 cells, at most 103).\n"
        "\n"
        "Without --raw: a map with one block per layer y (from the top layer down), rows x,\n"
        "columns z. '#' is a wall, ' ' open, 'S' the start room, 'G' the goal room, 'E' the\n"
        "exit opening beside the goal.\n"
        "With --raw: exactly edge^3 bytes and nothing else, '#' solid and '.' open, x outermost,\n"
        "then y, then z innermost.\n"
        "\n"
        "  --help   show this text\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    bool raw = false;
    const char* levelText = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--raw") == 0) {
            raw = true;
        } else if (levelText == nullptr) {
            levelText = argv[i];
        } else {
            std::fprintf(stderr, "orlith-maze: unexpected argument '%s'\n", argv[i]);
            printUsage(stderr);
            return 2;
        }
    }
    if (levelText == nullptr) {
        printUsage(stderr);
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    long long level = std::strtoll(levelText, &end, 10);
    if (end == levelText || *end != 0 || errno != 0 || level < 1 || level > 2147483647LL) {
        std::fprintf(stderr, "orlith-maze: LEVEL must be a whole number from 1 to 2147483647, not '%s'\n", levelText);
        return 2;
    }

    auto state = orlith::makeGameState();
    auto work = orlith::makeMazeWork();
    state->level = 1;
    orlith::newLevel(*state, *work);
    bool showProgress = level > 200 && !raw;
    orlith::replayLevels(*state, *work, static_cast<int32_t>(level), [&](int64_t done, int64_t total) {
        if (showProgress && done % 100 == 0) std::fprintf(stderr, "\rgenerating level %lld of %lld", static_cast<long long>(done + 1), static_cast<long long>(total + 1));
        return true;
    });
    if (showProgress) std::fputc('\n', stderr);

    const int s = state->sizeX;
    if (raw) {
        std::string out;
        out.reserve(static_cast<size_t>(s) * s * s);
        for (int x = 0; x < s; ++x)
            for (int y = 0; y < s; ++y)
                for (int z = 0; z < s; ++z) out.push_back(state->cellGrid[orlith::cellIndex(x, y, z)] == -1 ? '#' : '.');
        std::fwrite(out.data(), 1, out.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    std::printf("Orlith level %lld: %d x %d x %d cells; start S at (%d, %d, %d), goal G at (1, 1, 1)\n", level, s, s,
                s, s - 2, s - 2, s - 2);
    for (int y = s - 1; y >= 0; --y) {
        std::printf("\nlayer y = %d (rows x = 0..%d, columns z = 0..%d)\n", y, s - 1, s - 1);
        for (int x = 0; x < s; ++x) {
            std::string row;
            for (int z = 0; z < s; ++z) {
                char c = state->cellGrid[orlith::cellIndex(x, y, z)] == -1 ? '#' : ' ';
                if (x == s - 2 && y == s - 2 && z == s - 2) c = 'S';
                if (x == 1 && y == 1 && z == 1) c = 'G';
                if (x == 1 && y == 1 && z == 0) c = 'E';
                row.push_back(c);
                row.push_back(c == '#' ? '#' : ' ');
            }
            std::printf("%s\n", row.c_str());
        }
    }
    return 0;
}
