// Set-up shared by the game, maze, render and persist tests: one generator work area per
// binary, boxes of solid cells, files as bytes.
#pragma once

#include <array>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "maze/maze.h"
#include "state/input.h"

namespace orlith::test {

inline MazeWork& sharedWork() {
    static std::unique_ptr<MazeWork> work = makeMazeWork();
    return *work;
}

// The state as the game leaves it after generating the given level straight from the seed.
inline std::unique_ptr<GameState> levelState(int32_t level = 1) {
    auto s = makeGameState();
    s->level = level;
    newLevel(*s, sharedWork());
    return s;
}

// An n-cube of solid cells with the given cells open.
inline std::unique_ptr<GameState> solidBox(int n, std::initializer_list<std::array<int, 3>> open) {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = n;
    for (int x = 0; x < n; ++x)
        for (int y = 0; y < n; ++y)
            for (int z = 0; z < n; ++z) s->cellGrid[cellIndex(x, y, z)] = -1;
    for (auto c : open) s->cellGrid[cellIndex(c[0], c[1], c[2])] = 0;
    return s;
}

// A frame's snapshot with exactly these keys held, the window focused unless said otherwise.
inline InputSnapshot held(const std::vector<int>& keys = {}, bool focus = true) {
    InputSnapshot input;
    for (int key : keys) input.keysDown[key] = 1;
    input.focus = focus ? 1 : 0;
    return input;
}

inline void place(GameState& s, float x, float y, float z) { s.playerPos[0] = x, s.playerPos[1] = y, s.playerPos[2] = z; }

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string utf16le(std::u16string_view text) {
    std::string bytes;
    for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
}

}  // namespace orlith::test
