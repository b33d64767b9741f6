// The OpenGL backend, one code for OpenGL 3.3 core (desktop) and WebGL 2 (browser): owns every
// graphics object (colour and depth targets, shaders, the seven mesh buffers, the wall texture,
// the HUD layer) on a context it is handed, builds them lazily and rebuilds them after a failed
// frame, and uploads and draws a FrameData as it stands. The HUD layer is painted by the
// platform's text engine (HudPainter) only when the HUD changes. Failures go to the error box
// (platform's report, the context's error code). Called by the app's frame render, on the main
// thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/gl_context.h"
#include "platform/platform.h"
#include "render/gl/hud_painter.h"
#include "render/render.h"

namespace orlith {

class GlRenderer final : public FrameRenderer {
public:
    // width x height is the picture's fixed size (the client size at creation).
    GlRenderer(GlContext& context, Platform& platform, HudPainter& painter, int width, int height);
    ~GlRenderer() override;
    GlRenderer(const GlRenderer&) = delete;
    GlRenderer& operator=(const GlRenderer&) = delete;

    // Builds everything unless ready; 1 when every object exists, 0 after a reported failure.
    int initGraphics() override;
    // Drops every object in reverse order of creation, the context last; safe when partial.
    void releaseGraphics();
    bool ready() const { return ready_; }

    // One frame: clear, batches, HUD, present. A GL error at the end of the frame releases
    // everything (not presented); the next initGraphics rebuilds it.
    void drawFrame(const FrameData& frame) override;
    // A loading picture: background, a bar filled to fraction, and a line of text.
    void drawProgress(float fraction, const char16_t* text);

    // The last presented picture as opaque RGBA rows, top to bottom.
    bool readPicture(std::vector<uint8_t>& rgba) override;

    int width() const override { return width_; }
    int height() const override { return height_; }

    // False while a dialog stands over the running game: frames stay in the picture (read back
    // for the dialog's background) and the dialog presents.
    bool presentFrames = true;

    // Test hook: the step with this number fails as if the driver refused it.
    int failAtLine = 0;
    // How many times the HUD layer was painted: once per change of the HUD.
    int hudPaints = 0;

private:
    struct HudVertex {
        float x, y, u, v;
        float color[4];
    };
    bool step(int line, const char* name, bool ok);
    unsigned compileShader(unsigned kind, const char* body);
    bool buildShaders();
    bool buildMeshes();
    bool buildWallTexture();
    bool buildHudLayer();
    bool buildPresent();
    bool paintHud(const HudLayout& hud);
    void addQuad(float x0, float y0, float x1, float y1, float u0, float v0, float u1, float v1, const float color[4]);
    void addLayer(float x0, float y0, float x1, float y1);
    void drawHudVertices();
    void present();

    GlContext& context_;
    Platform& platform_;
    HudPainter& painter_;
    int width_, height_;
    bool ready_ = false;
    bool contextLive_ = false;
    GlContext::DepthControls depth_;

    unsigned colorTexture_ = 0, depthBuffer_ = 0, framebuffer_ = 0;
    unsigned vertexShader_ = 0, colorShader_ = 0, textureShader_ = 0;
    unsigned colorProgram_ = 0, textureProgram_ = 0;
    int viewLocation_[2] = {-1, -1}, projectionLocation_[2] = {-1, -1}, depthFixLocation_[2] = {-1, -1};
    unsigned instanceBuffer_ = 0;
    unsigned meshBuffers_[kMeshCount] = {};
    unsigned meshArrays_[kMeshCount] = {};
    unsigned wallTexture_ = 0;
    unsigned hudProgram_ = 0, hudArray_ = 0, hudBuffer_ = 0, layerTexture_ = 0;
    int hudViewportLocation_ = -1;
    unsigned presentProgram_ = 0, presentArray_ = 0;
    int presentPlaceLocation_ = -1;

    HudLayout shownHud_;      // what the HUD layer holds now
    bool hudValid_ = false;
    std::vector<HudVertex> hudVertices_;  // reused every frame
    size_t hudBufferCapacity_ = 0;
};

}  // namespace orlith
