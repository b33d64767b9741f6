// SDL2 implementation of the OpenGL context seam.
#include "platform/sdl/sdl_gl_context.h"

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

}  // namespace orlith
