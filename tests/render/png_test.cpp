// The embedded wall plate and the PNG decoder.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "render/png.h"
#include "render/render.h"

namespace orlith {
namespace {

int grey(const DecodedImage& image, int x, int y) { return image.rgba[(static_cast<size_t>(y) * image.width + x) * 4]; }

TEST(Texture, EmbeddedWallPlateIs256SquareSrgbRgba) {
    EmbeddedBytes png = embeddedWallPng();
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(decodePng(png.data, png.size, image, error)) << error;
    EXPECT_EQ(image.width, 256);
    EXPECT_EQ(image.height, 256);
    EXPECT_TRUE(image.srgb);
    ASSERT_EQ(image.rgba.size(), 256u * 256u * 4u);
    struct Case {
        int x, y, grey;
    } cases[] = {{0, 0, 0},     {1, 128, 0},    {2, 128, 102}, {5, 128, 102},   {6, 128, 128},  {9, 128, 128},
                 {10, 128, 153}, {245, 128, 153}, {246, 128, 128}, {250, 128, 102}, {255, 128, 0}, {128, 128, 153},
                 {20, 20, 153},  {21, 19, 64},   {14, 20, 64},  {13, 20, 153},   {235, 235, 153}, {236, 234, 64}};
    for (const Case& c : cases) EXPECT_EQ(grey(image, c.x, c.y), c.grey) << c.x << "," << c.y;
    for (size_t i = 3; i < image.rgba.size(); i += 4) ASSERT_EQ(image.rgba[i], 255);
}

TEST(Texture, PlateIsSymmetricExceptForTheSlots) {
    EmbeddedBytes png = embeddedWallPng();
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(decodePng(png.data, png.size, image, error));
    int differences = 0;
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x) differences += grey(image, x, y) != grey(image, 255 - x, y) ? 1 : 0;
    }
    EXPECT_GT(differences, 0);
    EXPECT_LT(differences, 4 * 2 * 13);
}

TEST(Texture, EncodeDecodeKeepsPixelsAndTheSrgbMark) {
    uint8_t pixels[2 * 3 * 4];
    for (int i = 0; i < 24; ++i) pixels[i] = static_cast<uint8_t>(i * 10);
    for (bool srgb : {true, false}) {
        std::vector<uint8_t> png;
        ASSERT_TRUE(encodePng(pixels, 2, 3, srgb, png));
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(decodePng(png.data(), png.size(), image, error)) << error;
        EXPECT_EQ(image.srgb, srgb);
        EXPECT_EQ(image.width, 2);
        EXPECT_EQ(image.height, 3);
        EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 24), image.rgba);
    }
}

TEST(Texture, BrokenImagesAreRefusedWithAReason) {
    EmbeddedBytes png = embeddedWallPng();
    std::vector<uint8_t> truncated(png.data, png.data + png.size / 2);
    std::vector<uint8_t> corrupt(png.data, png.data + png.size);
    for (size_t i = 40; i < corrupt.size(); i += 7) corrupt[i] ^= 0x5A;
    const uint8_t garbage[16] = {1, 2, 3};
    struct Case {
        const char* what;
        const uint8_t* bytes;
        size_t size;
    } cases[] = {{"null", nullptr, 10},
                 {"empty", png.data, 0},
                 {"not a PNG", garbage, sizeof garbage},
                 {"truncated", truncated.data(), truncated.size()},
                 {"corrupt", corrupt.data(), corrupt.size()}};
    for (const Case& c : cases) {
        DecodedImage image;
        std::string error;
        EXPECT_FALSE(decodePng(c.bytes, c.size, image, error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
        EXPECT_TRUE(image.rgba.empty()) << c.what;
    }
}

TEST(Texture, EmbeddedBytesAreTheCommittedResource) {
    std::ifstream in(std::string(ORLITH_SOURCE_DIR) + "/resources/wall.png", std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EmbeddedBytes png = embeddedWallPng();
    EXPECT_EQ(file, std::vector<uint8_t>(png.data, png.data + png.size));
    EmbeddedBytes icon = embeddedIconPng();
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(decodePng(icon.data, icon.size, image, error));
    EXPECT_EQ(image.width, 32);
}

}  // namespace
}  // namespace orlith
