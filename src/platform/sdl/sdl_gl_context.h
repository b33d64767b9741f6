// The OpenGL context seam on SDL2: a 3.3 core context on the game window, with clip control,
// depth clamping and sRGB writes switched through OpenGL itself; failure codes go to the SDL
// platform's last error.
#pragma once

#include <SDL.h>

#include "platform/gl_context.h"
#include "platform/sdl/sdl_platform.h"

namespace orlith {

class SdlGlContext final : public GlContext {
public:
    // The window must have been created with SDL_WINDOW_OPENGL after requestCoreProfile().
    SdlGlContext(SDL_Window* window, SdlPlatform& platform) : window_(window), platform_(platform) {}
    ~SdlGlContext() override { destroy(); }
    SdlGlContext(const SdlGlContext&) = delete;
    SdlGlContext& operator=(const SdlGlContext&) = delete;

    // The attributes every game window asks for before it is created: 3.3 core, double-buffered.
    static void requestCoreProfile();

    bool create() override;
    bool makeCurrent() override;
    void destroy() override;
    void drawableSize(int& width, int& height) override;
    void swapBuffers() override;
    const char* createName() const override { return "SDL_GL_CreateContext"; }
    const char* makeCurrentName() const override { return "SDL_GL_MakeCurrent"; }
    bool versionSupported() override;
    const char* versionName() const override { return "OpenGL 3.3 core"; }
    const char* shaderHeader() const override { return "#version 330 core\n"; }
    DepthControls enableDepthControls() override;
    void encodeSrgbWrites(bool on) override;
    void setErrorCode(int code) override { platform_.lastError = code; }
    const char* failureText() override { return SDL_GetError(); }

private:
    SDL_Window* window_;
    SdlPlatform& platform_;
    SDL_GLContext context_ = nullptr;
};

}  // namespace orlith
