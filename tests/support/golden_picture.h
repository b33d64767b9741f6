// Pictures against golden PNGs kept in the repository. A picture matches its golden when the two
// have one size and at most `allowed` pixels differ by more than `tolerance` in some channel,
// alpha included (pictures are opaque). On a mismatch the picture drawn and a diff (the
// differing pixels red over the golden, dimmed) are written as NAME.png and NAME.diff.png in the
// working directory. With ORLITH_WRITE_GOLDENS=1 in the environment, a picture that does not
// match is written as its golden instead (the build's target `pictures` runs the tests so).
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
    const bool ok = decodePng(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), image, error);
    return ok ? image : DecodedImage{};
}

// Each pixel the mean of a square of scale x scale: small goldens that still show a misplaced
// panel, a wrong colour or a flat wall.
inline DecodedImage shrunk(const DecodedImage& picture, int scale) {
    DecodedImage out{picture.width / scale, picture.height / scale, false, {}};
    out.rgba.resize(static_cast<size_t>(out.width) * out.height * 4);
    for (size_t i = 0; i < out.rgba.size(); ++i) {
        const size_t x = i / 4 % out.width * scale, y = i / 4 / out.width * scale;
        int sum = 0;
        for (int k = 0; k < scale * scale; ++k) {
            sum += picture.rgba[((y + static_cast<size_t>(k / scale)) * picture.width + x + k % scale) * 4 + i % 4];
        }
        out.rgba[i] = static_cast<uint8_t>((sum + scale * scale / 2) / (scale * scale));
    }
    return out;
}

inline ::testing::AssertionResult matchesGolden(const DecodedImage& picture, const std::filesystem::path& golden,
                                                int tolerance, size_t allowed) {
    DecodedImage diff = readPng(golden.string());
    const bool sameSize = diff.width == picture.width && diff.height == picture.height && !diff.rgba.empty();
    size_t differing = sameSize ? 0 : picture.rgba.size() / 4;
    for (size_t p = 0; sameSize && p < picture.rgba.size(); p += 4) {
        int most = 0;
        for (int c = 0; c < 4; ++c) most = std::max(most, std::abs(picture.rgba[p + c] - diff.rgba[p + c]));
        differing += most > tolerance ? 1 : 0;
        for (int c = 0; c < 4; ++c) {
            diff.rgba[p + c] = most <= tolerance ? static_cast<uint8_t>(c == 3 ? 255 : 64 + diff.rgba[p + c] / 4)
                                                 : c == 0 || c == 3 ? 255 : 0;
        }
    }
    if (differing <= allowed) return ::testing::AssertionSuccess();
    const char* write = std::getenv("ORLITH_WRITE_GOLDENS");
    if (write != nullptr && std::string(write) == "1" && writePng(golden.string(), picture)) {
        return ::testing::AssertionSuccess();
    }
    const std::string name = golden.stem().string();
    writePng(name + ".png", picture);
    if (sameSize) writePng(name + ".diff.png", diff);
    return ::testing::AssertionFailure() << differing << " pixels unlike " << golden.string()
                                         << "; the picture drawn and the difference: "
                                         << (std::filesystem::current_path() / name).string() << ".png, .diff.png";
}

}  // namespace orlith::test
