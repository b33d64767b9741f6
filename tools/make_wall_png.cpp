// Draws the wall plate and the window icon and writes them as PNG:
//   make_wall_png WALL.png ICON.png
// The wall: 256 x 256 RGBA grey metal plate with frame, two bands, face and four slotted
// screw heads, marked sRGB (gAMA 45455). The icon: 32 x 32, a maze corner with the red goal.
#include <cstdio>
#include <vector>

#include "render/gl/png.h"

namespace {

void put(std::vector<uint8_t>& img, int size, int x, int y, int r, int g, int b) {
    uint8_t* p = &img[(static_cast<size_t>(y) * size + x) * 4];
    p[0] = static_cast<uint8_t>(r);
    p[1] = static_cast<uint8_t>(g);
    p[2] = static_cast<uint8_t>(b);
    p[3] = 255;
}

std::vector<uint8_t> drawWall() {
    const int n = 256;
    std::vector<uint8_t> img(n * n * 4);
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            // Distance to the nearest edge picks frame, outer band, inner band or face.
            int edge = std::min(std::min(x, y), std::min(n - 1 - x, n - 1 - y));
            int grey = edge < 2 ? 0 : edge < 6 ? 102 : edge < 10 ? 128 : 153;
            put(img, n, x, y, grey, grey, grey);
        }
    }
    const int centres[4][2] = {{20, 20}, {235, 20}, {20, 235}, {235, 235}};
    for (const auto& c : centres) {
        for (int dy = -6; dy <= 6; ++dy) {
            for (int dx = -6; dx <= 6; ++dx) {
                if (dx * dx + dy * dy > 42) continue;  // 13 pixels across: radius 6.5
                int grey = dx == dy ? 153 : 64;         // slot from upper left to lower right
                put(img, n, c[0] + dx, c[1] + dy, grey, grey, grey);
            }
        }
    }
    return img;
}

std::vector<uint8_t> drawIcon() {
    const int n = 32;
    std::vector<uint8_t> img(n * n * 4);
    // Light grey floor, blue-grey walls of a small maze, a red diamond for the goal.
    const char* rows[8] = {"########", "#..#...#", "#.##.#.#", "#....#.#", "##.###.#", "#..#...#", "#.#..#G#",
                           "########"};
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            char c = rows[y / 4][x / 4];
            if (c == '#') {
                put(img, n, x, y, 40, 60, 120);
            } else {
                put(img, n, x, y, 220, 220, 220);
            }
            if (c == 'G') {
                int dx = x % 4 * 2 - 3, dy = y % 4 * 2 - 3;
                if ((dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy) <= 4) put(img, n, x, y, 220, 20, 20);
            }
        }
    }
    return img;
}

bool writeFile(const char* path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_wall_png WALL.png ICON.png\n");
        return 2;
    }
    std::vector<uint8_t> wall = drawWall(), icon = drawIcon(), png;
    if (!orlith::encodePng(wall.data(), 256, 256, true, png) || !writeFile(argv[1], png)) {
        std::fprintf(stderr, "make_wall_png: cannot write %s\n", argv[1]);
        return 1;
    }
    if (!orlith::encodePng(icon.data(), 32, 32, true, png) || !writeFile(argv[2], png)) {
        std::fprintf(stderr, "make_wall_png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
