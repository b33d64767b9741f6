// PNG decode and encode with libpng: the wall plate and the icon come in as PNG bytes and
// leave as 8-bit RGBA with their sRGB marking; tools and screenshots write PNG the same way.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "render/gl/png.h"

namespace orlith {
namespace {

struct ReadCursor {
    const uint8_t* bytes;
    size_t size;
    size_t offset;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t count) {
    auto* cursor = static_cast<ReadCursor*>(png_get_io_ptr(png));
    if (count > cursor->size - cursor->offset) png_error(png, "truncated PNG data");
    std::memcpy(out, cursor->bytes + cursor->offset, count);
    cursor->offset += count;
}

void writeToVector(png_structp png, png_bytep data, png_size_t count) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}

void flushNothing(png_structp) {}

// libpng reports through longjmp; keep the message for the caller.
void onPngError(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    if (error != nullptr) *error = message;
    png_longjmp(png, 1);
}
void onPngWarning(png_structp, png_const_charp) {}

// Larger images than any texture the game makes are refused before allocation.
constexpr png_uint_32 kMaxSide = 16384;

}  // namespace

bool decodePng(const uint8_t* bytes, size_t size, DecodedImage& image, std::string& error) {
    image = DecodedImage{};
    if (bytes == nullptr || size < 8 || png_sig_cmp(bytes, 0, 8) != 0) {
        error = "not a PNG image";
        return false;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning);
    if (png == nullptr) {
        error = "png_create_read_struct";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    ReadCursor cursor{bytes, size, 0};
    // Rows live outside the setjmp scope so a longjmp leaves nothing half-owned.
    std::vector<png_bytep> rows;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
        image = DecodedImage{};
        if (error.empty()) error = "PNG decode failed";
        return false;
    }
    png_set_read_fn(png, &cursor, readFromMemory);
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_read_info(png, info);
    png_uint_32 width = png_get_image_width(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    int colorType = png_get_color_type(png, info);
    int bitDepth = png_get_bit_depth(png, info);
    int intent = 0;
    image.srgb = png_get_sRGB(png, info, &intent) != 0;

    // Every PNG flavour becomes 8-bit RGBA.
    if (bitDepth == 16) png_set_strip_16(png);
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if ((colorType & PNG_COLOR_MASK_ALPHA) == 0) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 4) png_error(png, "unexpected row size");

    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);
    image.rgba.resize(static_cast<size_t>(width) * height * 4);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.rgba.data() + static_cast<size_t>(y) * width * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

bool encodePng(const uint8_t* rgba, int32_t width, int32_t height, bool srgb, std::vector<uint8_t>& out) {
    out.clear();
    if (rgba == nullptr || width <= 0 || height <= 0) return false;
    std::string error;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        out.clear();
        return false;
    }
    png_set_write_fn(png, &out, writeToVector, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGBA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (srgb) {
        png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
        png_set_gAMA_fixed(png, info, 45455);
    }
    png_write_info(png, info);
    for (int32_t y = 0; y < height; ++y) rows[static_cast<size_t>(y)] = const_cast<png_bytep>(rgba + static_cast<size_t>(y) * width * 4);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
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

}  // namespace orlith
