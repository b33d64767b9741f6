// The PNG coder and the images carried inside the executable.
#include <gtest/gtest.h>

#include <malloc.h>

#include <fstream>
#include <iterator>
#include <tuple>

#include "render/gl/png.h"
#include "render/render.h"

namespace orlith {
namespace {

TEST(Png, TheEmbeddedWallIsTheCommittedOneAndDecodesAsOpaqueSrgbRgba) {
    std::ifstream in(std::string(ORLITH_SOURCE_DIR) + "/resources/wall.png", std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EmbeddedBytes png = embeddedWallPng();
    EXPECT_EQ(file, std::vector<uint8_t>(png.data, png.data + png.size));
    DecodedImage wall;
    std::string error;
    ASSERT_TRUE(decodePng(png.data, png.size, wall, error)) << error;
    EXPECT_EQ(std::tuple(wall.width, wall.height, wall.srgb), std::tuple(256, 256, true));
    ASSERT_EQ(wall.rgba.size(), 256u * 256u * 4u);
    // Frame, bands and face along the middle row; a screw head.
    for (auto [x, y, grey] : {std::tuple{0, 128, 0}, {2, 128, 102}, {6, 128, 128}, {128, 128, 153}, {21, 19, 64}})
        EXPECT_EQ(wall.rgba[(static_cast<size_t>(y) * 256 + x) * 4], grey) << x << "," << y;
    for (size_t i = 3; i < wall.rgba.size(); i += 4) ASSERT_EQ(wall.rgba[i], 255);
    // Cut short, it is refused with a reason and nothing half-decoded, and nothing is kept:
    // the heap holds as much after a hundred refusals as after one.
    EXPECT_FALSE(decodePng(png.data, png.size / 2, wall, error));
    EXPECT_TRUE(!error.empty() && wall.rgba.empty()) << error;
    const size_t inUse = mallinfo2().uordblks;
    for (int i = 0; i < 100; ++i) decodePng(png.data, png.size / 2, wall, error);
    EXPECT_LT(mallinfo2().uordblks, inUse + 4096);
}

TEST(Png, EncodeDecodeKeepsPixelsAndTheSrgbMarkAndOneBitGreyReadsAsOpaqueRgba) {
    uint8_t pixels[2 * 3 * 4];
    for (int i = 0; i < 24; ++i) pixels[i] = static_cast<uint8_t>(i * 10);
    for (bool srgb : {true, false}) {
        std::vector<uint8_t> png;
        ASSERT_TRUE(encodePng(pixels, 2, 3, srgb, png));
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(decodePng(png.data(), png.size(), image, error)) << error;
        EXPECT_EQ(std::tuple(image.srgb, image.width, image.height, image.rgba),
                  std::tuple(srgb, 2, 3, std::vector<uint8_t>(pixels, pixels + 24)));
    }
    // 3 x 2 at one bit a pixel: white, black, white; black, white, black.
    static const uint8_t grey[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
        0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0xb5, 0x0f, 0x5b, 0xb7, 0x00, 0x00, 0x00,
        0x0c, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x58, 0xc0, 0xe0, 0x00, 0x00, 0x02, 0x24, 0x00, 0xe1, 0x4d,
        0x16, 0xe8, 0x5e, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(decodePng(grey, sizeof grey, image, error)) << error;
    std::vector<uint8_t> expected;
    for (uint8_t v : {255, 0, 255, 0, 255, 0}) expected.insert(expected.end(), {v, v, v, 255});
    EXPECT_EQ(std::tuple(image.width, image.height, image.rgba), std::tuple(3, 2, expected));
}

}  // namespace
}  // namespace orlith
