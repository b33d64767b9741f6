// The HUD font: the family "ＭＳ ゴシック" (or "MS Gothic") for Japanese, found through
// fontconfig (IPAGothic on Debian), rasterised by FreeType at 24 pixels, bold (synthesised when
// the face is not). Without a Japanese font, the bold font fontconfig picks for "monospace"
// (a DejaVu face on Debian), with a warning on stderr; with no font at all, the error names
// the package to install.
// Owned by the app (created at start-up, before the graphics); FontHudPainter paints the HUD
// layer of the OpenGL backend with it, keeping the glyphs it has drawn.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "render/gl/hud_painter.h"

namespace orlith {

struct GlyphBitmap {
    int32_t width = 0, height = 0;    // pixels
    int32_t left = 0, top = 0;        // bitmap origin relative to the pen on the baseline (top up)
    float advance = 0;                // pen advance, pixels
    std::vector<uint8_t> coverage;    // width * height, rows top to bottom
};

class HudFont {
public:
    HudFont() = default;
    ~HudFont();
    HudFont(const HudFont&) = delete;
    HudFont& operator=(const HudFont&) = delete;

    // Finds and opens the font. On failure (no font at all, or FreeType refuses it) returns
    // false and names the failed operation.
    bool open(float pixelSize, std::string& failedOperation, std::string& detail);
    bool isOpen() const { return face_ != nullptr; }
    const std::string& path() const { return path_; }
    float ascender() const { return ascender_; }  // pixels above the baseline
    float lineHeight() const { return lineHeight_; }  // pixels from one line's baseline to the next

    // Rasterises one character (bold); false when the font cannot draw it.
    bool rasterise(char32_t codepoint, GlyphBitmap& glyph);

private:
    void* library_ = nullptr;  // FT_Library
    void* face_ = nullptr;     // FT_Face
    bool synthesiseBold_ = false;
    float ascender_ = 0;
    float lineHeight_ = 0;
    std::string path_;
};

// The HUD layer drawn with the font in memory, blended in linear light as the picture is, and
// uploaded whole.
class FontHudPainter final : public HudPainter {
public:
    explicit FontHudPainter(HudFont& font) : font_(font) { glyphs_.reserve(512); }
    bool paint(const HudLayout& layout, int width, int height) override;

private:
    const GlyphBitmap& glyph(char32_t c);
    void fill(int x0, int y0, int x1, int y1);                // the veil
    void ink(int x, int y, uint8_t coverage);                 // black over what is there
    void drawText(const HudOp& op);

    HudFont& font_;
    std::unordered_map<char32_t, GlyphBitmap> glyphs_;  // an empty bitmap: the font has no glyph
    std::vector<uint8_t> layer_;                        // RGBA, straight alpha, sRGB
    int width_ = 0, height_ = 0;
};

}  // namespace orlith
