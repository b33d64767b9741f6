// The HUD's text as the platform's own text engine draws it, for the OpenGL backend: a HUD
// layout painted into the backend's HUD layer, which the backend paints again only when the
// layout changes and lays over every picture. FreeType on the desktop (FontHudPainter,
// hud_font.h), the browser's Canvas 2D on the web (render/web/canvas_hud.h).
#pragma once

#include "render/render.h"

namespace orlith {

class HudPainter {
public:
    virtual ~HudPainter() = default;
    // Paints the layout into the texture bound to GL_TEXTURE_2D: an SRGB8_ALPHA8 picture of
    // width x height, rows from the top, sRGB colour with straight alpha, replaced whole. Veil
    // boxes are white at 40 %, texts black, each text broken into lines as wrapText says and
    // every line drawn. False when the painting could not be uploaded.
    virtual bool paint(const HudLayout& layout, int width, int height) = 0;
};

}  // namespace orlith
