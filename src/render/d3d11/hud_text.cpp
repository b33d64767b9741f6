// The HUD's Direct2D and DirectWrite objects.
#include "render/d3d11/hud_text.h"

namespace orlith {

namespace {

constexpr ErrorSite kD2dFactorySite{898, u"D2D1CreateFactory"};
constexpr ErrorSite kDWriteFactorySite{905, u"DWriteCreateFactory"};
constexpr ErrorSite kTextFormatSite{919, u"CreateTextFormat"};

template <typename T>
void releaseCom(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

}  // namespace

bool HudText::create(Platform& platform) {
    if (FAILED(::D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                   reinterpret_cast<void**>(&d2dFactory)))) {
        reportError(platform, kD2dFactorySite);
        return false;
    }
    if (FAILED(::DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                     reinterpret_cast<IUnknown**>(&dwriteFactory)))) {
        reportError(platform, kDWriteFactorySite);
        return false;
    }
    if (FAILED(dwriteFactory->CreateTextFormat(L"ＭＳ ゴシック", nullptr, DWRITE_FONT_WEIGHT_BOLD, DWRITE_FONT_STYLE_NORMAL,
                                               DWRITE_FONT_STRETCH_NORMAL, 24.0f, L"ja-jp", &format)) ||
        FAILED(format->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_NEAR))) {
        reportError(platform, kTextFormatSite);
        return false;
    }
    return true;
}

void HudText::release() {
    releaseCom(format);
    releaseCom(dwriteFactory);
    releaseCom(d2dFactory);
}

}  // namespace orlith
