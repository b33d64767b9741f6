// WebGL 2 implementation of the OpenGL context seam.
#include "platform/web/web_gl_context.h"

#include <GLES3/gl3.h>
#include <emscripten.h>

namespace orlith {

namespace {

constexpr char kCanvas[] = "#canvas";
constexpr unsigned kDepthClamp = 0x864F;  // EXT_depth_clamp's DEPTH_CLAMP_EXT, OpenGL's GL_DEPTH_CLAMP

// Clip-space depth 0..1: the picture's depth as Direct3D and OpenGL's clip control have it.
EM_JS(int, jsClipControl, (), {
    var ext = GLctx.getExtension("EXT_clip_control");
    if (!ext) return 0;
    ext.clipControlEXT(ext.LOWER_LEFT_EXT, ext.ZERO_TO_ONE_EXT);
    return 1;
});

}  // namespace

bool WebGlContext::create() {
    destroy();
    EmscriptenWebGLContextAttributes attributes;
    emscripten_webgl_init_context_attributes(&attributes);
    attributes.majorVersion = 2;
    attributes.minorVersion = 0;
    // The picture has its own targets; the canvas only receives it.
    attributes.alpha = false;
    attributes.depth = false;
    attributes.stencil = false;
    attributes.antialias = false;
    attributes.enableExtensionsByDefault = false;
    context_ = emscripten_webgl_create_context(kCanvas, &attributes);
    if (context_ <= 0) {
        platform_.lastError = static_cast<int>(context_);
        failure_ = "the browser gives this page no WebGL 2 context";
        context_ = 0;
        return false;
    }
    return makeCurrent();
}

bool WebGlContext::makeCurrent() {
    if (context_ == 0) return false;
    const EMSCRIPTEN_RESULT result = emscripten_webgl_make_context_current(context_);
    if (result != EMSCRIPTEN_RESULT_SUCCESS) platform_.lastError = result;
    return result == EMSCRIPTEN_RESULT_SUCCESS;
}

void WebGlContext::destroy() {
    if (context_ == 0) return;
    emscripten_webgl_destroy_context(context_);
    context_ = 0;
}

void WebGlContext::drawableSize(int& width, int& height) { emscripten_get_canvas_element_size(kCanvas, &width, &height); }

bool WebGlContext::versionSupported() {
    EmscriptenWebGLContextAttributes attributes;
    return context_ != 0 && emscripten_webgl_get_context_attributes(context_, &attributes) == EMSCRIPTEN_RESULT_SUCCESS &&
           attributes.majorVersion >= 2;
}

GlContext::DepthControls WebGlContext::enableDepthControls() {
    DepthControls on;
    on.zeroToOne = jsClipControl() != 0;
    on.clamp = emscripten_webgl_enable_extension(context_, "EXT_depth_clamp") != 0;
    if (on.clamp) glEnable(kDepthClamp);
    return on;
}

}  // namespace orlith
