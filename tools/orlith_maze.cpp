// orlith-maze: prints the maze of a level exactly as the game has it, as a readable map (one
// block per layer) or as raw bytes; and writes the level table the game restores levels from.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "maze/maze.h"

namespace {

void printUsage(FILE* out) {
    std::fputs(
        "usage: orlith-maze LEVEL [--raw]\n"
        "       orlith-maze --write-table FILE [LEVELS]\n"
        "\n"
        "Prints the maze of LEVEL (edge 2 x LEVEL + 3 cells, at most 103) as the game has it\n"
        "after generating levels 1 to LEVEL in order. It starts from the level table carried in\n"
        "the program: one generation inside the table, a replay from its last entry past it.\n"
        "\n"
        "Without --raw: a map with one block per layer y (from the top layer down), rows x,\n"
        "columns z. '#' is a wall, ' ' open, 'S' the start room, 'G' the goal room, 'E' the\n"
        "exit opening beside the goal.\n"
        "With --raw: exactly edge^3 bytes and nothing else, '#' solid and '.' open, x outermost,\n"
        "then y, then z innermost.\n"
        "\n"
        "\n"
        "--write-table FILE [LEVELS]: generates levels 1 to LEVELS - 1 in order from the seed\n"
        "and writes the table of the generator's state before levels 1 to LEVELS (default\n"
        "10000) to FILE, with progress on stderr. The same LEVELS always give the same bytes.\n"
        "\n"
        "  --help   show this text\n",
        out);
}

// Whole number from 1 to 2147483647, or 0.
int32_t parseLevel(const char* text) {
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != 0 || errno != 0 || value < 1 || value > 2147483647LL) return 0;
    return static_cast<int32_t>(value);
}

int writeTable(const char* path, const char* levelsText) {
    int32_t levels = levelsText == nullptr ? 10000 : parseLevel(levelsText);
    if (levels == 0) {
        std::fprintf(stderr, "orlith-maze: LEVELS must be a whole number from 1 to 2147483647, not '%s'\n", levelsText);
        return 2;
    }
    // Opened first, so a bad path fails at once rather than after minutes of generation.
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "orlith-maze: cannot write %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    auto work = orlith::makeMazeWork();
    std::vector<uint8_t> bytes = orlith::buildLevelTable(levels, *work, [](int64_t done, int64_t total) {
        if (done % 100 == 0 || done == total)
            std::fprintf(stderr, "\rlevel table: %lld of %lld levels generated", static_cast<long long>(done),
                         static_cast<long long>(total));
        return true;
    });
    std::fputc('\n', stderr);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "orlith-maze: cannot write %s\n", path);
        return 1;
    }
    return 0;
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
        if (std::strcmp(argv[i], "--write-table") == 0) {
            if (i + 1 >= argc || argc > i + 3 || i != 1) {
                printUsage(stderr);
                return 2;
            }
            return writeTable(argv[i + 1], i + 2 < argc ? argv[i + 2] : nullptr);
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
    const int32_t level = parseLevel(levelText);
    if (level == 0) {
        std::fprintf(stderr, "orlith-maze: LEVEL must be a whole number from 1 to 2147483647, not '%s'\n", levelText);
        return 2;
    }

    auto state = orlith::makeGameState();
    auto work = orlith::makeMazeWork();
    // Past the table's end the levels are replayed, which takes a while: show it.
    const bool showProgress = !raw && level > orlith::embeddedLevelTable().levels + 200;
    orlith::restoreLevel(*state, *work, level, [&](int64_t done, int64_t total) {
        if (showProgress && done % 100 == 0)
            std::fprintf(stderr, "\rgenerating level %lld of %lld", static_cast<long long>(level - total + done + 1),
                         static_cast<long long>(level));
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

    std::printf("Orlith level %d: %d x %d x %d cells; start S at (%d, %d, %d), goal G at (1, 1, 1)\n", level, s, s,
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
