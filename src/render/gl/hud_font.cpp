// HUD font through fontconfig and FreeType, and the HUD layer painted with it.
#include "render/gl/hud_font.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "render/gl/gl_api.h"

namespace orlith {

HudFont::~HudFont() {
    if (face_ != nullptr) FT_Done_Face(static_cast<FT_Face>(face_));
    if (library_ != nullptr) FT_Done_FreeType(static_cast<FT_Library>(library_));
}

namespace {

struct FontMatch {
    std::string file;
    int index = 0;
    int weight = FC_WEIGHT_REGULAR;
    bool embolden = false;  // fontconfig asks for synthesised bold (a regular face for a bold request)
    bool japanese = false;
};

// The font fontconfig picks for a bold request of these families (in order of preference),
// with this language or else fixed-width; false when it has none at all.
bool matchBold(std::initializer_list<const char*> families, const char* language, FontMatch& out) {
    FcPattern* pattern = FcPatternCreate();
    for (const char* family : families) {
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
    }
    if (language == nullptr) FcPatternAddInteger(pattern, FC_SPACING, FC_MONO);
    if (language != nullptr) {
        FcLangSet* langs = FcLangSetCreate();
        FcLangSetAdd(langs, reinterpret_cast<const FcChar8*>(language));
        FcPatternAddLangSet(pattern, FC_LANG, langs);
        FcLangSetDestroy(langs);
    }
    FcPatternAddInteger(pattern, FC_WEIGHT, FC_WEIGHT_BOLD);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    FcChar8* file = nullptr;
    bool found = match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch;
    if (found) {
        out.file = reinterpret_cast<const char*>(file);
        FcPatternGetInteger(match, FC_INDEX, 0, &out.index);
        FcPatternGetInteger(match, FC_WEIGHT, 0, &out.weight);
        FcBool embolden = FcFalse;
        FcPatternGetBool(match, FC_EMBOLDEN, 0, &embolden);
        out.embolden = embolden == FcTrue;
        FcLangSet* langs = nullptr;
        out.japanese = FcPatternGetLangSet(match, FC_LANG, 0, &langs) == FcResultMatch &&
                       FcLangSetHasLang(langs, reinterpret_cast<const FcChar8*>("ja")) == FcLangEqual;
    }
    if (match != nullptr) FcPatternDestroy(match);
    return found;
}

}  // namespace

bool HudFont::open(float pixelSize, std::string& failedOperation, std::string& detail) {
    if (FcInit() == FcFalse) {
        failedOperation = "FcInit";
        return false;
    }
    FontMatch m;
    const char* msGothic = "\xEF\xBC\xAD\xEF\xBC\xB3 \xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF";  // "ＭＳ ゴシック"
    bool found = matchBold({msGothic, "MS Gothic"}, "ja", m);
    if (!found || !m.japanese) {
        // Offline nothing Japanese is shown; online a Japanese nickname shows as boxes.
        m = FontMatch{};
        found = matchBold({"monospace"}, nullptr, m);
        if (found) {
            std::fprintf(stderr,
                         "Orlith: warning: no Japanese Gothic font (MS Gothic / IPAGothic), so Japanese names show as "
                         "boxes; the HUD uses %s (install fonts-ipafont-gothic)\n",
                         m.file.c_str());
        }
    }
    if (!found) {
        // The error box names this: say in it what the player can do.
        failedOperation = "FcFontMatch (no font at all: install fonts-ipafont-gothic)";
        detail = "fontconfig knows no font";
        return false;
    }
    path_ = m.file;
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) {
        failedOperation = "FT_Init_FreeType";
        return false;
    }
    library_ = library;
    FT_Face face = nullptr;
    if (FT_New_Face(library, path_.c_str(), m.index, &face) != 0) {
        failedOperation = "FT_New_Face";
        detail = path_;
        return false;
    }
    face_ = face;
    // The text format's size is in pixels (device-independent units at 96 dpi), not points: at
    // 72 dpi FreeType's point is one pixel, so the em is exactly pixelSize high.
    if (FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(pixelSize * 64.0f), 72, 72) != 0) {
        failedOperation = "FT_Set_Char_Size";
        return false;
    }
    // The text format asks for weight 700: thicken the outlines of a face that is not bold,
    // whether fontconfig says so (a regular face matched for the bold request) or the face does.
    synthesiseBold_ = m.embolden || (m.weight < FC_WEIGHT_BOLD && (face->style_flags & FT_STYLE_FLAG_BOLD) == 0);
    ascender_ = static_cast<float>(face->size->metrics.ascender) / 64.0f;
    lineHeight_ = static_cast<float>(face->size->metrics.height) / 64.0f;
    return true;
}

bool HudFont::rasterise(char32_t codepoint, GlyphBitmap& glyph) {
    auto face = static_cast<FT_Face>(face_);
    if (face == nullptr) return false;
    FT_UInt index = FT_Get_Char_Index(face, codepoint);
    if (index == 0 && codepoint != U' ') return false;
    if (FT_Load_Glyph(face, index, FT_LOAD_NO_BITMAP) != 0) return false;
    if (synthesiseBold_) FT_GlyphSlot_Embolden(face->glyph);
    if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) return false;
    const FT_Bitmap& bm = face->glyph->bitmap;
    glyph.width = static_cast<int32_t>(bm.width);
    glyph.height = static_cast<int32_t>(bm.rows);
    glyph.left = face->glyph->bitmap_left;
    glyph.top = face->glyph->bitmap_top;
    glyph.advance = static_cast<float>(face->glyph->advance.x) / 64.0f;
    glyph.coverage.resize(static_cast<size_t>(glyph.width) * static_cast<size_t>(glyph.height));
    for (int y = 0; y < glyph.height; ++y) {
        const unsigned char* row = bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch;
        for (int x = 0; x < glyph.width; ++x) glyph.coverage[static_cast<size_t>(y * glyph.width + x)] = row[x];
    }
    return true;
}

// --- the HUD layer ------------------------------------------------------------------------

namespace {

// sRGB transfer, for blending in linear light as the picture's own blending does.
float decodeSrgb(uint8_t v) {
    const float c = static_cast<float>(v) / 255.0f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}
uint8_t encodeSrgb(float c) {
    c = c <= 0.0f ? 0.0f : c >= 1.0f ? 1.0f : c;
    const float e = c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(std::lround(e * 255.0f));
}
constexpr uint8_t kVeilAlpha = 102;  // 40 %

}  // namespace

const GlyphBitmap& FontHudPainter::glyph(char32_t c) {
    auto found = glyphs_.find(c);
    if (found != glyphs_.end()) return found->second;
    GlyphBitmap g;
    if (!font_.rasterise(c, g)) g = GlyphBitmap{};
    return glyphs_.emplace(c, std::move(g)).first->second;
}

void FontHudPainter::fill(int x0, int y0, int x1, int y1) {
    x0 = std::max(x0, 0), y0 = std::max(y0, 0), x1 = std::min(x1, width_), y1 = std::min(y1, height_);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            uint8_t* p = &layer_[(static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)) * 4];
            p[0] = p[1] = p[2] = 255;
            p[3] = kVeilAlpha;
        }
    }
}

void FontHudPainter::ink(int x, int y, uint8_t coverage) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_ || coverage == 0) return;
    uint8_t* p = &layer_[(static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)) * 4];
    // Black over the layer: the colour that stays is what the text leaves of the layer's own.
    const float c = static_cast<float>(coverage) / 255.0f, a = static_cast<float>(p[3]) / 255.0f;
    const float alpha = c + a * (1.0f - c);
    const float premultiplied = decodeSrgb(p[0]) * a * (1.0f - c);
    const uint8_t grey = alpha > 0.0f ? encodeSrgb(premultiplied / alpha) : 0;
    p[0] = p[1] = p[2] = grey;
    p[3] = static_cast<uint8_t>(std::lround(alpha * 255.0f));
}

void FontHudPainter::drawText(const HudOp& op) {
    char32_t chars[kMaxTextLength];
    const int n = hudCharacters(op.text, chars);
    float advances[kMaxTextLength];
    for (int i = 0; i < n; ++i) advances[i] = glyph(chars[i]).advance;
    TextLines lines;
    wrapText(chars, advances, n, op.rect.right - op.rect.left, lines);
    for (int line = 0; line < lines.count; ++line) {
        float pen = op.align == HudAlign::leading ? op.rect.left : op.rect.right - lines.width[line];
        const float baseline =
            std::floor(op.rect.top + font_.ascender() + font_.lineHeight() * static_cast<float>(line) + 0.5f);
        for (int i = lines.start[line]; i < lines.start[line + 1]; ++i) {
            const GlyphBitmap& g = glyph(chars[i]);
            const int x0 = static_cast<int>(std::floor(pen + static_cast<float>(g.left) + 0.5f));
            const int y0 = static_cast<int>(baseline) - g.top;
            for (int y = 0; y < g.height; ++y) {
                for (int x = 0; x < g.width; ++x) ink(x0 + x, y0 + y, g.coverage[static_cast<size_t>(y * g.width + x)]);
            }
            pen += g.advance;
        }
    }
}

bool FontHudPainter::paint(const HudLayout& layout, int width, int height) {
    width_ = width, height_ = height;
    layer_.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0);
    for (int k = 0; k < layout.count; ++k) {
        const HudOp& op = layout.ops[k];
        if (op.kind == HudOp::veilBox) {
            fill(static_cast<int>(op.rect.left), static_cast<int>(op.rect.top), static_cast<int>(op.rect.right),
                 static_cast<int>(op.rect.bottom));
        } else {
            drawText(op);
        }
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, layer_.data());
    return glGetError() == GL_NO_ERROR;
}

}  // namespace orlith
