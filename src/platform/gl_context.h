// The seam through which the OpenGL backend reaches the window system: an OpenGL 3.3 core
// context on the game window, and where its failure codes go. One implementation per window
// system (sdl/sdl_gl_context.h); the backend never sees the window itself.
#pragma once

namespace orlith {

class GlContext {
public:
    virtual ~GlContext() = default;

    // Creates the context on the window and makes it current, without waiting for vertical
    // blank on swaps. False when the system refuses; failureText() then says why.
    virtual bool create() = 0;
    // Makes the context current again (after another context was); false on failure.
    virtual bool makeCurrent() = 0;
    // Drops the context; harmless when there is none.
    virtual void destroy() = 0;

    // The window's drawable in pixels; it differs from the picture in full screen.
    virtual void drawableSize(int& width, int& height) = 0;
    // Shows what was drawn into the window's own framebuffer (0).
    virtual void swapBuffers() = 0;

    // The system calls create() and makeCurrent() stand for, as the error box names them.
    virtual const char* createName() const = 0;
    virtual const char* makeCurrentName() const = 0;

    // Leaves code where the platform's error report reads it (Platform::lastErrorCode), so the
    // error box of a failed graphics step shows the driver's code.
    virtual void setErrorCode(int code) = 0;
    // The system's explanation of the last failure, for the log; never null.
    virtual const char* failureText() = 0;
};

}  // namespace orlith
