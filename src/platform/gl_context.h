// The seam through which the OpenGL backend reaches the window system: a context on the game
// window (OpenGL 3.3 core on the desktop, WebGL 2 in the browser), where its failure codes go,
// and the few things the two APIs do differently. One implementation per window system
// (sdl/sdl_gl_context.h, web/web_gl_context.h); the backend never sees the window itself.
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
    // Whether the current context is the API the backend was written for, and its name for the
    // error box ("OpenGL 3.3 core", "WebGL 2").
    virtual bool versionSupported() = 0;
    virtual const char* versionName() const = 0;
    // The first lines of every shader: the GLSL version, and default precisions where the
    // language wants them (OpenGL ES).
    virtual const char* shaderHeader() const = 0;

    // What the picture needs of depth beyond what both APIs share, turned on where the system
    // has it: clip-space depth from 0 to 1 (clip control), and depth clamped rather than clipped
    // at the near and far planes. Each flag says whether it is on. On the current context.
    struct DepthControls {
        bool zeroToOne = false;
        bool clamp = false;
    };
    virtual DepthControls enableDepthControls() = 0;
    // Whether colour written to an sRGB target is encoded. OpenGL switches it (off, a write
    // stores the value as it is); WebGL always encodes into an sRGB target and never into the
    // window's own, so there it changes nothing.
    virtual void encodeSrgbWrites(bool on) = 0;

    // Leaves code where the platform's error report reads it (Platform::lastErrorCode), so the
    // error box of a failed graphics step shows the driver's code.
    virtual void setErrorCode(int code) = 0;
    // The system's explanation of the last failure, for the log; never null.
    virtual const char* failureText() = 0;
};

}  // namespace orlith
