// The HUD's text objects, made at start-up before the graphics: the Direct2D and DirectWrite
// factories and the text format ("ＭＳ ゴシック", bold, 24 pixels, ja-jp, top-aligned). Each failed
// step shows its error box. Owned by the Windows entry point; the renderer borrows them.
#pragma once

#include <d2d1.h>
#include <dwrite.h>

#include "platform/platform.h"

namespace orlith {

struct HudText {
    ID2D1Factory* d2dFactory = nullptr;
    IDWriteFactory* dwriteFactory = nullptr;
    IDWriteTextFormat* format = nullptr;

    HudText() = default;
    ~HudText() { release(); }
    HudText(const HudText&) = delete;
    HudText& operator=(const HudText&) = delete;

    // All three, or false after the failed step's box.
    bool create(Platform& platform);
    // Releases what exists, the format first; safe after a partial create and twice.
    void release();
};

}  // namespace orlith
