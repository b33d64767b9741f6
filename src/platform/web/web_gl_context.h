// The OpenGL context seam on WebGL 2: the context on the page's canvas, with the extensions
// that give depth its desktop behaviour (EXT_clip_control, EXT_depth_clamp) where the browser
// has them; failure codes go to the web platform's last error.
#pragma once

#include <emscripten/html5.h>

#include "platform/gl_context.h"
#include "platform/web/web_platform.h"

namespace orlith {

class WebGlContext final : public GlContext {
public:
    explicit WebGlContext(WebPlatform& platform) : platform_(platform) {}
    ~WebGlContext() override { destroy(); }
    WebGlContext(const WebGlContext&) = delete;
    WebGlContext& operator=(const WebGlContext&) = delete;

    bool create() override;
    bool makeCurrent() override;
    void destroy() override;
    void drawableSize(int& width, int& height) override;
    // The browser shows the canvas when the animation frame's work is done.
    void swapBuffers() override {}
    const char* createName() const override { return "emscripten_webgl_create_context"; }
    const char* makeCurrentName() const override { return "emscripten_webgl_make_context_current"; }
    bool versionSupported() override;
    const char* versionName() const override { return "WebGL 2"; }
    const char* shaderHeader() const override {
        return "#version 300 es\nprecision highp float;\nprecision highp int;\n";
    }
    DepthControls enableDepthControls() override;
    void encodeSrgbWrites(bool) override {}
    void setErrorCode(int code) override { platform_.lastError = code; }
    const char* failureText() override { return failure_; }

private:
    WebPlatform& platform_;
    EMSCRIPTEN_WEBGL_CONTEXT_HANDLE context_ = 0;
    const char* failure_ = "";
};

}  // namespace orlith
