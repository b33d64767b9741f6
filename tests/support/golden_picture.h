// Pictures against golden PNGs kept in the repository. A picture matches its golden when the two
// have one size and at most `allowed` pixels differ by more than `tolerance` in some channel.
// On a mismatch the picture drawn and a diff (the differing pixels red over the golden, dimmed)
// are written as NAME.png and NAME.diff.png in the working directory. With ORLITH_WRITE_GOLDENS=1
// in the environment, a picture that does not match is written as its golden instead (the
// build's target `pictures` runs the picture tests so).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "render/gl/png.h"
#include "support/fixtures.h"

namespace orlith::test {

inline bool writePng(const std::string& path, const DecodedImage& picture) {
    std::vector<uint8_t> png;
    if (!encodePng(picture.rgba.data(), picture.width, picture.height, false, png)) return false;
    writeBytes(path, std::string_view(reinterpret_cast<const char*>(png.data()), png.size()));
    return true;
}

inline DecodedImage readPng(const std::string& path) {
    const std::string bytes = fileBytes(path);
    DecodedImage image;
    std::string error;
    if (!decodePng(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), image, error)) return DecodedImage{};
    return image;
}

// Each pixel the mean of a square of scale x scale, opaque: small goldens that still show a
// misplaced panel, a wrong colour or a flat wall.
inline DecodedImage shrunk(const DecodedImage& picture, int scale) {
    DecodedImage out;
    out.width = picture.width / scale, out.height = picture.height / scale;
    out.rgba.assign(static_cast<size_t>(out.width) * out.height * 4, 255);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < scale; ++dy) {
                    for (int dx = 0; dx < scale; ++dx) {
                        sum += picture.rgba[((static_cast<size_t>(y) * scale + dy) * picture.width + x * scale + dx) * 4 + c];
                    }
                }
                out.rgba[(static_cast<size_t>(y) * out.width + x) * 4 + c] = static_cast<uint8_t>((sum + scale * scale / 2) / (scale * scale));
            }
        }
    }
    return out;
}

inline ::testing::AssertionResult matchesGolden(const DecodedImage& picture, const std::filesystem::path& golden,
                                                int tolerance, size_t allowed) {
    const DecodedImage expected = readPng(golden.string());
    const bool sameSize = expected.width == picture.width && expected.height == picture.height && !expected.rgba.empty();
    DecodedImage diff = expected;
    size_t differing = sameSize ? 0 : static_cast<size_t>(picture.width) * picture.height;
    for (size_t p = 0; sameSize && p < picture.rgba.size(); p += 4) {
        int most = 0;
        for (int c = 0; c < 3; ++c) most = std::max(most, std::abs(picture.rgba[p + c] - expected.rgba[p + c]));
        differing += most > tolerance ? 1 : 0;
        for (int c = 0; c < 3; ++c) diff.rgba[p + c] = most > tolerance ? (c == 0 ? 255 : 0) : static_cast<uint8_t>(64 + diff.rgba[p + c] / 4);
    }
    if (differing <= allowed) return ::testing::AssertionSuccess();
    const std::string name = golden.stem().string();
    const char* write = std::getenv("ORLITH_WRITE_GOLDENS");
    if (write != nullptr && std::string(write) == "1") {
        if (writePng(golden.string(), picture)) return ::testing::AssertionSuccess() << "wrote " << golden.string();
        return ::testing::AssertionFailure() << "cannot write " << golden.string();
    }
    writePng(name + ".png", picture);
    if (sameSize) writePng(name + ".diff.png", diff);
    return ::testing::AssertionFailure() << differing << " pixels unlike " << golden.string() << (sameSize ? "" : " (no golden of this size)")
                                         << "; the picture drawn and the difference: "
                                         << (std::filesystem::current_path() / name).string() << ".png, .diff.png";
}

}  // namespace orlith::test
