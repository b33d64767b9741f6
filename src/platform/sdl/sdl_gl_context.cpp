// SDL2 implementation of the OpenGL context seam.
#include "platform/sdl/sdl_gl_context.h"

#include <epoxy/gl.h>

namespace orlith {

void SdlGlContext::requestCoreProfile() {
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
}

bool SdlGlContext::create() {
    destroy();
    context_ = SDL_GL_CreateContext(window_);
    if (context_ == nullptr) return false;
    SDL_GL_SetSwapInterval(0);  // the loop's pacing is the only rate limit
    return true;
}

bool SdlGlContext::makeCurrent() { return context_ != nullptr && SDL_GL_MakeCurrent(window_, context_) == 0; }

void SdlGlContext::destroy() {
    if (context_ == nullptr) return;
    SDL_GL_MakeCurrent(window_, nullptr);
    SDL_GL_DeleteContext(context_);
    context_ = nullptr;
}

void SdlGlContext::drawableSize(int& width, int& height) { SDL_GL_GetDrawableSize(window_, &width, &height); }

void SdlGlContext::swapBuffers() { SDL_GL_SwapWindow(window_); }

bool SdlGlContext::versionSupported() { return epoxy_gl_version() >= 33; }

GlContext::DepthControls SdlGlContext::enableDepthControls() {
    DepthControls on;
    on.zeroToOne = epoxy_gl_version() >= 45 || epoxy_has_gl_extension("GL_ARB_clip_control");
    if (on.zeroToOne) glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
    // Core since OpenGL 3.2.
    glEnable(GL_DEPTH_CLAMP);
    on.clamp = true;
    return on;
}

void SdlGlContext::encodeSrgbWrites(bool on) {
    if (on) {
        glEnable(GL_FRAMEBUFFER_SRGB);
    } else {
        glDisable(GL_FRAMEBUFFER_SRGB);
    }
}

}  // namespace orlith
