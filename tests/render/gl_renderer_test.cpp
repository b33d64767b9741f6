// The OpenGL backend on a real (headless) context: every failing set-up step shows its number
// and operation, leaves nothing half-built, and the next frame rebuilds a working pipeline, as
// after a release; the window shows the picture; the HUD font is bold; the restore's progress
// against its golden (the game's pictures, HUD text included, are test_app's).
#include <gtest/gtest.h>

#include <SDL.h>
#include <epoxy/gl.h>

#include <cstring>
#include <string>
#include <vector>

#include "game/game.h"
#include "maze/maze.h"
#include "platform/sdl/sdl_gl_context.h"
#include "platform/sdl/sdl_platform.h"
#include "render/gl/gl_renderer.h"
#include "render/gl/hud_font.h"
#include "support/golden_picture.h"

namespace orlith {
namespace {

// The SDL context, keeping what the window shows at each swap.
class WindowReader final : public GlContext {
public:
    explicit WindowReader(SdlGlContext& inner) : inner_(inner) {}
    bool create() override { return inner_.create(); }
    bool makeCurrent() override { return inner_.makeCurrent(); }
    void destroy() override { inner_.destroy(); }
    void drawableSize(int& width, int& height) override { inner_.drawableSize(width, height); }
    void swapBuffers() override {
        int width = 0, height = 0;
        drawableSize(width, height);
        shown.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
        glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, shown.data());
        inner_.swapBuffers();
    }
    const char* createName() const override { return inner_.createName(); }
    const char* makeCurrentName() const override { return inner_.makeCurrentName(); }
    bool versionSupported() override { return inner_.versionSupported(); }
    const char* versionName() const override { return inner_.versionName(); }
    const char* shaderHeader() const override { return inner_.shaderHeader(); }
    DepthControls enableDepthControls() override { return inner_.enableDepthControls(); }
    void encodeSrgbWrites(bool on) override { inner_.encodeSrgbWrites(on); }
    void setErrorCode(int code) override { inner_.setErrorCode(code); }
    const char* failureText() override { return inner_.failureText(); }
    std::vector<uint8_t> shown;  // RGBA, rows bottom to top

private:
    SdlGlContext& inner_;
};

class GlRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        SdlGlContext::requestCoreProfile();
        window_ = SDL_CreateWindow("Orlith", 0, 0, 1024, 576, SDL_WINDOW_OPENGL);
        ASSERT_NE(window_, nullptr) << SDL_GetError();
        context_ = std::make_unique<SdlGlContext>(window_, platform_);
        std::string failed, detail;
        ASSERT_TRUE(font_.open(24.0f, failed, detail)) << failed << ": " << detail;
        // A 24-pixel em: the ascender lies within it (24 points would make it 32 pixels).
        ASSERT_TRUE(font_.ascender() > 16.0f && font_.ascender() <= 24.0f) << font_.ascender();
        state_ = makeGameState();
        newLevel(*state_, *makeMazeWork());
        markSight(*state_);
        buildCamera(*state_);
    }
    void TearDown() override {
        context_.reset();
        if (window_ != nullptr) SDL_DestroyWindow(window_);
        SDL_Quit();
    }

    // Draws one frame and reads it back; empty when that failed.
    std::vector<uint8_t> picture(GlRenderer& renderer) {
        buildFrame(*state_, frame_), renderer.drawFrame(frame_);
        std::vector<uint8_t> rgba;
        return renderer.readPicture(rgba) ? rgba : std::vector<uint8_t>{};
    }
    // The background is 0.7 grey; the start room's far wall is not.
    bool drawsTheRoom(GlRenderer& renderer) {
        std::vector<uint8_t> rgba = picture(renderer);
        const size_t centre = (static_cast<size_t>(288) * 1024 + 512) * 4;
        return !rgba.empty() && !(rgba[centre] == rgba[centre + 1] && rgba[centre + 1] == rgba[centre + 2]);
    }

    SDL_Window* window_ = nullptr;
    SdlPlatform platform_;
    std::unique_ptr<SdlGlContext> context_;
    HudFont font_;
    FontHudPainter painter_{font_};
    std::unique_ptr<GameState> state_;
    FrameData frame_;
};

TEST_F(GlRendererTest, EachFailingStepIsReportedAndTheNextFrameRebuilds) {
    struct Case { int line; const char* operation; };
    for (Case c : {Case{1136, "SDL_GL_CreateContext"}, Case{1142, "SDL_GL_MakeCurrent"}, Case{1148, "OpenGL 3.3 core"},
                   Case{1191, "glTexImage2D"}, Case{1267, "glCompileShader"}, Case{1277, "glLinkProgram"},
                   Case{1536, "glBufferData"}, Case{1364, "decodePng"}, Case{1389, "glLinkProgram"},
                   Case{1184, "glLinkProgram"}}) {
        GlRenderer renderer(*context_, platform_, painter_, 1024, 576);
        renderer.failAtLine = c.line;
        testing::internal::CaptureStderr();
        EXPECT_EQ(renderer.initGraphics(), 0) << c.line;
        std::string shown = testing::internal::GetCapturedStderr();
        EXPECT_NE(shown.find("line " + std::to_string(c.line) + " : error in " + c.operation + "\ncode = "), std::string::npos) << shown;
        EXPECT_FALSE(renderer.ready());
        renderer.failAtLine = 0;
        ASSERT_EQ(renderer.initGraphics(), 1) << "rebuild after line " << c.line;
        EXPECT_TRUE(drawsTheRoom(renderer)) << "after line " << c.line;
        renderer.releaseGraphics(), renderer.releaseGraphics();  // a second release is harmless
        EXPECT_FALSE(renderer.ready());
        ASSERT_EQ(renderer.initGraphics(), 1);
        EXPECT_TRUE(drawsTheRoom(renderer)) << "released after line " << c.line;
    }
}

// The window shows the picture byte for byte: encoded to sRGB on the way out as it was stored,
// the right way up.
TEST_F(GlRendererTest, TheWindowShowsThePicture) {
    WindowReader reader(*context_);
    GlRenderer renderer(reader, platform_, painter_, 1024, 576);
    ASSERT_EQ(renderer.initGraphics(), 1);
    state_->texturedWalls = 1;
    std::vector<uint8_t> rgba = picture(renderer);
    ASSERT_EQ(reader.shown.size(), rgba.size());
    const size_t row = 1024 * 4;
    int differing = 0;
    for (size_t y = 0; y < 576; ++y) differing += std::memcmp(&rgba[y * row], &reader.shown[(575 - y) * row], row) != 0 ? 1 : 0;
    EXPECT_EQ(differing, 0);
}

// The keys the game asks for by virtual-key code reach SDL's keys, F1 to F12 at both ends.
TEST_F(GlRendererTest, VirtualKeysMapToTheirKeys) {
    const std::pair<int, SDL_Scancode> keys[] = {{112, SDL_SCANCODE_F1}, {115, SDL_SCANCODE_F4}, {123, SDL_SCANCODE_F12},
                                                 {124, SDL_SCANCODE_UNKNOWN}, {'Q', SDL_SCANCODE_Q}, {'0', SDL_SCANCODE_0},
                                                 {'9', SDL_SCANCODE_9}, {vk::left, SDL_SCANCODE_LEFT}};
    for (const auto& [key, code] : keys) EXPECT_EQ(scancodeForVirtualKey(key), code) << key;
}

// A restore past the level table's end: the bar a quarter full midway down, its text above it.
TEST_F(GlRendererTest, RestoreProgressShowsItsBarMidwayDownUnderItsText) {
    GlRenderer renderer(*context_, platform_, painter_, 1024, 576);
    ASSERT_EQ(renderer.initGraphics(), 1);
    renderer.drawProgress(0.25f, u"Loading level 10001 / 10004");
    DecodedImage picture{1024, 576, false, {}};
    ASSERT_TRUE(renderer.readPicture(picture.rgba));
    EXPECT_TRUE(test::matchesGolden(test::shrunk(picture, 2), ORLITH_SOURCE_DIR "/tests/render/progress.png", 16, 8));
}

// The Japanese HUD font has no bold face of its own; fontconfig asks for its strokes to be
// thickened, from the 2 pixels of the regular stem at 24 pixels.
TEST_F(GlRendererTest, HudTextIsBold) {
    GlyphBitmap glyph;
    ASSERT_TRUE(font_.rasterise(U'l', glyph));
    const uint8_t* middle = &glyph.coverage[static_cast<size_t>(glyph.height / 2 * glyph.width)];
    int stem = 0;
    for (int x = 0; x < glyph.width; ++x) stem += middle[x] >= 128 ? 1 : 0;
    EXPECT_GE(stem, 3) << font_.path();
}

}  // namespace
}  // namespace orlith
