// The HUD layer of the OpenGL backend in the browser, drawn with the browser's own text: Canvas
// 2D paints the veils and the texts (a Japanese gothic font where the page has one, bold, 24
// pixels), lines broken as wrapText says with the advances the browser measures, and the canvas
// goes into the layer texture as it is. The backend asks only when the HUD changes. Also the
// PNG coding of the web build (browser_png.cpp, the browser's image codecs behind
// render/gl/png.h). Owned by the web entry point.
#pragma once

#include <unordered_map>

#include "render/gl/hud_painter.h"

namespace orlith {

class CanvasHudPainter final : public HudPainter {
public:
    bool paint(const HudLayout& layout, int width, int height) override;

private:
    float advance(char32_t c);
    std::unordered_map<char32_t, float> advances_;  // measured once per character
};

}  // namespace orlith
