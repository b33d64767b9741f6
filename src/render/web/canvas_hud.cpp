// The HUD layer drawn by Canvas 2D.
#include "render/web/canvas_hud.h"

#include <emscripten.h>

#include <string>

namespace orlith {

namespace {

EM_JS(void, jsBegin, (int width, int height), { Module.orlithHud.begin(width, height); });
EM_JS(double, jsMeasure, (int codePoint), { return Module.orlithHud.measure(codePoint); });
EM_JS(void, jsVeil, (float left, float top, float right, float bottom), { Module.orlithHud.veil(left, top, right, bottom); });
EM_JS(void, jsLine, (const char16_t* text, float x, float top, int line),
      { Module.orlithHud.line(Module.orlithWeb.utf16(text), x, top, line); });
EM_JS(int, jsUpload, (), { return Module.orlithHud.upload(); });

void appendUtf16(std::u16string& out, char32_t c) {
    if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

}  // namespace

float CanvasHudPainter::advance(char32_t c) {
    auto found = advances_.find(c);
    if (found != advances_.end()) return found->second;
    const auto width = static_cast<float>(jsMeasure(static_cast<int>(c)));
    advances_.emplace(c, width);
    return width;
}

bool CanvasHudPainter::paint(const HudLayout& layout, int width, int height) {
    jsBegin(width, height);
    std::u16string line;
    for (int k = 0; k < layout.count; ++k) {
        const HudOp& op = layout.ops[k];
        if (op.kind == HudOp::veilBox) {
            jsVeil(op.rect.left, op.rect.top, op.rect.right, op.rect.bottom);
            continue;
        }
        char32_t chars[kMaxTextLength];
        const int n = hudCharacters(op.text, chars);
        float advances[kMaxTextLength];
        for (int i = 0; i < n; ++i) advances[i] = advance(chars[i]);
        TextLines lines;
        wrapText(chars, advances, n, op.rect.right - op.rect.left, lines);
        for (int l = 0; l < lines.count; ++l) {
            line.clear();
            for (int i = lines.start[l]; i < lines.start[l + 1]; ++i) appendUtf16(line, chars[i]);
            const float x = op.align == HudAlign::leading ? op.rect.left : op.rect.right - lines.width[l];
            jsLine(line.c_str(), x, op.rect.top, l);
        }
    }
    return jsUpload() != 0;
}

}  // namespace orlith
