// The OpenGL entry points of the backend's target: libepoxy's on the desktop (OpenGL 3.3 core),
// Emscripten's WebGL 2 bindings in the browser (OpenGL ES 3.0). The backend calls only what both
// have; where they differ it asks the context (platform/gl_context.h).
#pragma once

#if defined(__EMSCRIPTEN__)
#include <GLES3/gl3.h>
#else
#include <epoxy/gl.h>
#endif
