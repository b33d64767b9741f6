// PNG decode and encode with libpng, for the Linux backend (wall texture, window icon), the
// screenshots and the asset tool. The portable render layer never decodes: a backend brings
// its own image library (the Windows one decodes with WIC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orlith {

struct DecodedImage {
    int32_t width = 0;
    int32_t height = 0;
    bool srgb = false;          // the PNG carried an sRGB chunk
    std::vector<uint8_t> rgba;  // width * height * 4, rows top to bottom
};

// Decodes a PNG from memory into 8-bit RGBA. Returns false with a reason on bad input.
bool decodePng(const uint8_t* bytes, size_t size, DecodedImage& image, std::string& error);
// Encodes 8-bit RGBA as PNG; srgb adds the sRGB chunk (intent 0) and gAMA 45455.
bool encodePng(const uint8_t* rgba, int32_t width, int32_t height, bool srgb, std::vector<uint8_t>& out);
// A screenshot: sRGB, as bytes in a string (the frame loop's encoder).
bool encodePng(const uint8_t* rgba, uint32_t width, uint32_t height, std::string& png);

}  // namespace orlith
