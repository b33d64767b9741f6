// PNG coding in the browser (render/gl/png.h for the web build): the browser's own decoder and
// encoder, with no colour management, so the pixels are the file's as libpng gives them. The
// sRGB marking is read from the file's chunks.
#include <emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "render/gl/png.h"

namespace orlith {

namespace {

// Decodes into width x height RGBA at pixels (malloc'd by the page); 0 on failure.
EM_ASYNC_JS(int, jsDecode, (const uint8_t* bytes, int size, int* width, int* height, uint8_t** pixels),
            { return await Module.orlithImages.decode(bytes, size, width, height, pixels); });
// Encodes RGBA into PNG bytes (malloc'd); their count, 0 on failure.
EM_JS(int, jsEncode, (const uint8_t* rgba, int width, int height, uint8_t** out),
      { return Module.orlithImages.encode(rgba, width, height, out); });

uint32_t bigEndian(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

// Whether the chunks before the image data hold an sRGB chunk.
bool hasSrgbChunk(const uint8_t* bytes, size_t size) {
    for (size_t at = 8; at + 8 <= size;) {
        const uint32_t length = bigEndian(bytes + at);
        if (std::memcmp(bytes + at + 4, "sRGB", 4) == 0) return true;
        if (std::memcmp(bytes + at + 4, "IDAT", 4) == 0 || length > size) return false;
        at += 12 + static_cast<size_t>(length);
    }
    return false;
}

}  // namespace

bool decodePng(const uint8_t* bytes, size_t size, DecodedImage& image, std::string& error) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size < 8 || std::memcmp(bytes, kSignature, 8) != 0) {
        error = "not a PNG file";
        return false;
    }
    int width = 0, height = 0;
    uint8_t* pixels = nullptr;
    if (jsDecode(bytes, static_cast<int>(size), &width, &height, &pixels) == 0) {
        error = "the browser cannot decode it";
        return false;
    }
    image.width = width;
    image.height = height;
    image.srgb = hasSrgbChunk(bytes, size);
    image.rgba.assign(pixels, pixels + static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    std::free(pixels);
    return true;
}

bool encodePng(const uint8_t* rgba, uint32_t width, uint32_t height, std::string& png) {
    std::vector<uint8_t> bytes;
    if (width > INT32_MAX || height > INT32_MAX ||
        !encodePng(rgba, static_cast<int32_t>(width), static_cast<int32_t>(height), true, bytes)) {
        return false;
    }
    png.assign(bytes.begin(), bytes.end());
    return true;
}

bool encodePng(const uint8_t* rgba, int32_t width, int32_t height, bool, std::vector<uint8_t>& out) {
    uint8_t* bytes = nullptr;
    const int length = jsEncode(rgba, width, height, &bytes);
    if (length <= 0) return false;
    out.assign(bytes, bytes + length);
    std::free(bytes);
    return true;
}

}  // namespace orlith
