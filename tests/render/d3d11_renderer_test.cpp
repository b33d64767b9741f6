// The Direct3D 11 backend in a real window under Wine: every failing set-up step shows its
// number and operation and leaves nothing half-built, an HLSL error is reported as its shader's
// step, and after either (or a lost device) the next frame rebuilds a working pipeline.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "render/d3d11/d3d11_renderer.h"
#include "render/d3d11/wic_texture.h"
#include "support/fake_platform.h"

namespace orlith {
namespace {

class D3D11RendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = ::DefWindowProcW;
        windowClass.lpszClassName = L"OrlithTest";
        ::RegisterClassExW(&windowClass);
        window_ = ::CreateWindowExW(0, L"OrlithTest", L"Orlith", WS_POPUP | WS_VISIBLE, 0, 0, 1024, 576, nullptr,
                                    nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        ASSERT_TRUE(SUCCEEDED(::D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                                  reinterpret_cast<void**>(&d2d_))));
        ASSERT_TRUE(SUCCEEDED(::DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                                    reinterpret_cast<IUnknown**>(&dwrite_))));
        ASSERT_TRUE(SUCCEEDED(dwrite_->CreateTextFormat(L"ＭＳ ゴシック", nullptr, DWRITE_FONT_WEIGHT_BOLD,
                                                        DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, 24.0f,
                                                        L"ja-jp", &format_)));
        state_ = makeGameState();
        newLevel(*state_, *makeMazeWork());
        markSight(*state_);
        buildCamera(*state_);
    }
    void TearDown() override {
        for (IUnknown* p : {static_cast<IUnknown*>(format_), static_cast<IUnknown*>(dwrite_), static_cast<IUnknown*>(d2d_)})
            if (p != nullptr) p->Release();
        if (window_ != nullptr) ::DestroyWindow(window_);
    }
    // One frame, read back: the background is 0.7 grey, the start room's far wall is not.
    bool drawsTheRoom(D3D11Renderer& renderer) {
        buildFrame(*state_, frame_);
        renderer.drawFrame(frame_);
        std::vector<uint8_t> rgba;
        if (!renderer.readPicture(rgba) || rgba.size() != 1024u * 576u * 4u) return false;
        const uint8_t* centre = &rgba[(static_cast<size_t>(288) * 1024 + 512) * 4];
        return !(centre[0] == centre[1] && centre[1] == centre[2]);
    }
    std::unique_ptr<D3D11Renderer> renderer() {
        auto r = std::make_unique<D3D11Renderer>(window_, platform_, d2d_, format_, 1024, 576);
        r->keepPictures(true);
        return r;
    }

    HWND window_ = nullptr;
    ID2D1Factory* d2d_ = nullptr;
    IDWriteFactory* dwrite_ = nullptr;
    IDWriteTextFormat* format_ = nullptr;
    test::FakePlatform platform_;
    std::unique_ptr<GameState> state_;
    FrameData frame_;
};

TEST_F(D3D11RendererTest, EachFailingStepIsReportedAndTheNextFrameRebuilds) {
    struct Case { int line; const char* operation; const char* shaders; };
    const char* broken = "float4 VS() : SV_POSITION { return undefined; }";
    for (Case c : {Case{1136, "D3D11CreateDevice", nullptr}, Case{1184, "CreateSwapChain", nullptr},
                   Case{1267, "D3DCompile", broken}, Case{1258, "CreateInputLayout", nullptr},
                   Case{1364, "CreateWICTextureFromMemory", nullptr}, Case{1389, "CreateDxgiSurfaceRenderTarget", nullptr},
                   Case{1409, "CreateBuffer", nullptr}}) {
        auto r = renderer();
        platform_.messages.clear();
        if (c.shaders != nullptr) r->shaderSource = c.shaders;
        r->failAtLine = c.shaders != nullptr ? 0 : c.line;
        EXPECT_EQ(r->initGraphics(), 0) << c.line;
        ASSERT_EQ(platform_.messages.size(), 1u) << c.line;
        const std::string shown = utf16ToUtf8(platform_.messages[0]);
        EXPECT_EQ(shown.rfind("line " + std::to_string(c.line) + " : error in " + c.operation + "\ncode = ", 0), 0u)
            << shown;
        EXPECT_FALSE(r->ready());
        r->failAtLine = 0;
        r->shaderSource = kShaderSource;
        ASSERT_EQ(r->initGraphics(), 1) << "rebuild after line " << c.line;
        EXPECT_TRUE(drawsTheRoom(*r)) << "after line " << c.line;
    }
}

TEST_F(D3D11RendererTest, ALostDeviceIsReleasedAndRebuiltForTheNextFrame) {
    auto r = renderer();
    ASSERT_EQ(r->initGraphics(), 1);
    EXPECT_TRUE(drawsTheRoom(*r));
    r->loseNextFrame = true;
    buildFrame(*state_, frame_);
    r->drawFrame(frame_);
    EXPECT_FALSE(r->ready());
    ASSERT_EQ(r->initGraphics(), 1);
    EXPECT_TRUE(drawsTheRoom(*r));
    EXPECT_TRUE(platform_.messages.empty());
}

// Screenshots are read back through WIC: a frame WIC hands over in RGBA (DDS's R8G8B8A8) is
// copied as it stands, one in another order (our own PNG, BGRA under Wine) converted.
TEST(WicPictures, EveryDecodedFrameComesBackAsTheSameRgbaRows) {
    const std::vector<uint8_t> pixels = {10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 255, 100, 110, 120, 255,
                                         130, 140, 150, 255, 160, 170, 180, 255};  // 3 x 2
    std::vector<uint8_t> dds = {'D', 'D', 'S', ' '};
    auto put = [&dds](std::initializer_list<uint32_t> words) {
        for (uint32_t w : words)
            for (int i = 0; i < 4; ++i) dds.push_back(static_cast<uint8_t>(w >> (8 * i)));
    };
    put({124, 0x100F, 2, 3, 12, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});          // header: height 2, width 3
    put({32, 0x41, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000, 0x1000, 0, 0, 0, 0});  // RGBA masks, caps
    dds.insert(dds.end(), pixels.begin(), pixels.end());
    std::string png;
    ASSERT_TRUE(encodePng(pixels.data(), 3, 2, png));
    for (const std::string& bytes : {std::string(dds.begin(), dds.end()), png}) {
        std::vector<uint8_t> rgba;
        uint32_t width = 0, height = 0;
        ASSERT_TRUE(decodeToRgba(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), rgba, width, height))
            << bytes.substr(0, 4);
        EXPECT_EQ(width, 3u);
        EXPECT_EQ(height, 2u);
        EXPECT_EQ(rgba, pixels) << bytes.substr(0, 4);
    }
}

TEST(WicPictures, RowsFitTheFormatTheEncoderAnswered) {
    const std::vector<uint8_t> rgba = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case { GUID answered; bool taken; std::vector<uint8_t> rows; };
    for (const Case& c : {Case{GUID_WICPixelFormat32bppRGBA, true, rgba},
                          Case{GUID_WICPixelFormat32bppBGRA, true, {3, 2, 1, 4, 7, 6, 5, 8}},
                          Case{GUID_WICPixelFormat24bppBGR, false, rgba}}) {
        std::vector<uint8_t> rows = rgba;
        EXPECT_EQ(matchEncoderFormat(c.answered, rows), c.taken);
        if (c.taken) EXPECT_EQ(rows, c.rows);
    }
}

}  // namespace
}  // namespace orlith
