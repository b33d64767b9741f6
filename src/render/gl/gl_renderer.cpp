// The OpenGL backend of the renderer, for OpenGL 3.3 core and WebGL 2 alike.
#include "render/gl/gl_renderer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_report.h"
#include "base/text.h"
#include "render/gl/gl_api.h"
#include "render/gl/png.h"

namespace orlith {
namespace {

// Every shader is written once, for GLSL 3.30 and GLSL ES 3.00 alike; the context puts the
// version (and for ES the precisions) in front.

// Row-vector products p x World x View x Projection: a matrix uploaded row by row without
// transposition is, to GLSL, the matrix whose columns are our rows, so M * v gives v x M.
const char* const kVertexShader = R"(
layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec4 inColor;
layout(location = 2) in vec2 inTexcoord;
layout(location = 3) in vec4 worldRow0;
layout(location = 4) in vec4 worldRow1;
layout(location = 5) in vec4 worldRow2;
layout(location = 6) in vec4 worldRow3;
uniform mat4 View;
uniform mat4 Projection;
uniform int depthFix;
out vec4 vColor;
out vec2 vTexcoord;
void main() {
    mat4 World = mat4(worldRow0, worldRow1, worldRow2, worldRow3);
    vec4 a = World * vec4(inPosition, 1.0);
    vec4 b = View * a;
    vec4 c = Projection * b;
    // Without clip control the depth range is -1..1; map our 0..1 onto it.
    if (depthFix != 0) c.z = c.z * 2.0 - c.w;
    gl_Position = c;
    vColor = inColor;
    vTexcoord = inTexcoord;
}
)";

const char* const kColorShader = R"(
in vec4 vColor;
in vec2 vTexcoord;
out vec4 fragColor;
void main() { fragColor = vColor; }
)";

const char* const kTextureShader = R"(
in vec4 vColor;
in vec2 vTexcoord;
uniform sampler2D txDiffuse;
out vec4 fragColor;
void main() { fragColor = texture(txDiffuse, vTexcoord); }
)";

// HUD: pixel coordinates from the top-left. A quad with u < 0 is solid in its colour (the
// loading bar), any other samples the HUD layer; both blend as premultiplied "over".
const char* const kHudVertexShader = R"(
layout(location = 0) in vec2 inPixel;
layout(location = 1) in vec2 inUv;
layout(location = 2) in vec4 inColor;
uniform vec2 viewport;
out vec2 vUv;
out vec4 vColor;
void main() {
    gl_Position = vec4(inPixel.x / viewport.x * 2.0 - 1.0, 1.0 - inPixel.y / viewport.y * 2.0, 0.0, 1.0);
    vUv = inUv;
    vColor = inColor;
}
)";

const char* const kHudFragmentShader = R"(
in vec2 vUv;
in vec4 vColor;
uniform sampler2D layer;
out vec4 fragColor;
void main() {
    vec4 c = vUv.x < 0.0 ? vColor : texture(layer, vUv);
    fragColor = vec4(c.rgb * c.a, c.a);
}
)";

// Present: the picture into the window, encoded to sRGB here (sampling the sRGB target gives
// linear colour, and the window's framebuffer encodes nothing), placed by `place` in -1..1.
const char* const kPresentVertexShader = R"(
uniform vec4 place;
out vec2 vUv;
void main() {
    vec2 corner = vec2(float(gl_VertexID & 1), float(gl_VertexID >> 1));
    vUv = corner;
    gl_Position = vec4(mix(place.xy, place.zw, corner), 0.0, 1.0);
}
)";

const char* const kPresentFragmentShader = R"(
in vec2 vUv;
uniform sampler2D picture;
out vec4 fragColor;
void main() {
    vec3 c = texture(picture, vUv).rgb;
    vec3 encoded = mix(c * 12.92, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(vec3(0.0031308), c));
    fragColor = vec4(encoded, 1.0);
}
)";

constexpr float kBlack[4] = {0, 0, 0, 1};
constexpr float kVeil[4] = {1, 1, 1, 0.4f};

unsigned linkProgram(unsigned vs, unsigned fs) {
    GLuint program = glCreateProgram();
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    GLint ok = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok == 0) {
        char log[1024];
        glGetProgramInfoLog(program, sizeof log, nullptr, log);
        std::fprintf(stderr, "Orlith: shader link: %s\n", log);
        glDeleteProgram(program);
        return 0;
    }
    return program;
}

bool sameHud(const HudLayout& a, const HudLayout& b) {
    if (a.count != b.count) return false;
    for (int k = 0; k < a.count; ++k) {
        const HudOp &x = a.ops[k], &y = b.ops[k];
        if (x.kind != y.kind || x.align != y.align || std::memcmp(&x.rect, &y.rect, sizeof x.rect) != 0 ||
            std::u16string_view(x.text) != std::u16string_view(y.text)) {
            return false;
        }
    }
    return true;
}

// The error box's number of each failing step.
constexpr int kLineContext = 1136, kLineCurrent = 1142, kLineVersion = 1148, kLinePresent = 1184,
              kLineColorTarget = 1191, kLineDepthTarget = 1218, kLineFramebuffer = 1230, kLineInputLayout = 1258,
              kLineVertexShader = 1267, kLineColorShader = 1273, kLineTextureShader = 1277, kLineConstants = 1309,
              kLineWallDecode = 1364, kLineHudLayer = 1389;
constexpr int kMeshLines[kMeshCount] = {1475, 1536, 1597, 1642, 1715, 1759, 1816};

}  // namespace

GlRenderer::GlRenderer(GlContext& context, Platform& platform, HudPainter& painter, int width, int height)
    : context_(context), platform_(platform), painter_(painter), width_(width), height_(height) {
    hudVertices_.reserve(6 * (kMaxHudOps + 4));
}

GlRenderer::~GlRenderer() { releaseGraphics(); }

bool GlRenderer::step(int line, const char* name, bool ok) {
    if (failAtLine == line) ok = false;
    if (ok) return true;
    if (contextLive_) {
        GLenum error = glGetError();
        if (error != GL_NO_ERROR) context_.setErrorCode(static_cast<int>(error));
    }
    std::u16string wide = utf8ToUtf16(name);
    reportError(platform_, line, wide.c_str());
    return false;
}

unsigned GlRenderer::compileShader(unsigned kind, const char* body) {
    GLuint shader = glCreateShader(kind);
    const char* sources[2] = {context_.shaderHeader(), body};
    glShaderSource(shader, 2, sources, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok == 0) {
        char log[1024];
        glGetShaderInfoLog(shader, sizeof log, nullptr, log);
        std::fprintf(stderr, "Orlith: shader: %s\n", log);
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

int GlRenderer::initGraphics() {
    if (ready_) return 1;
    contextLive_ = context_.create();
    if (!contextLive_) std::fprintf(stderr, "Orlith: %s\n", context_.failureText());
    if (!step(kLineContext, context_.createName(), contextLive_)) return releaseGraphics(), 0;
    if (!step(kLineCurrent, context_.makeCurrentName(), context_.makeCurrent())) return releaseGraphics(), 0;
    if (!step(kLineVersion, context_.versionName(), context_.versionSupported())) return releaseGraphics(), 0;

    // Colour target: sRGB-encoded, so linear colours are encoded as they are written and blended
    // in linear light.
    glGenTextures(1, &colorTexture_);
    glBindTexture(GL_TEXTURE_2D, colorTexture_);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_SRGB8_ALPHA8, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    if (!step(kLineColorTarget, "glTexImage2D", glGetError() == GL_NO_ERROR)) return releaseGraphics(), 0;
    glGenRenderbuffers(1, &depthBuffer_);
    glBindRenderbuffer(GL_RENDERBUFFER, depthBuffer_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width_, height_);
    if (!step(kLineDepthTarget, "glRenderbufferStorage", glGetError() == GL_NO_ERROR)) return releaseGraphics(), 0;
    glGenFramebuffers(1, &framebuffer_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colorTexture_, 0);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, depthBuffer_);
    if (!step(kLineFramebuffer, "glCheckFramebufferStatus",
              glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE)) {
        return releaseGraphics(), 0;
    }
    glViewport(0, 0, width_, height_);

    // Depth runs 0..1 where clip control exists (else the vertex shader maps it onto -1..1);
    // clamping stands in for "depth clipping off" where the system has it. Without it only
    // what comes nearer than the near plane (0.01 cell: never a wall, which collision keeps
    // 0.1 away) is clipped; beyond the far plane a clamped depth of 1 fails the "less" test
    // against the cleared 1 anyway.
    depth_ = context_.enableDepthControls();
    glDisable(GL_CULL_FACE);
    glDepthFunc(GL_LESS);

    if (!buildShaders() || !buildMeshes() || !buildWallTexture() || !buildHudLayer() || !buildPresent()) {
        return releaseGraphics(), 0;
    }
    hudValid_ = false;
    ready_ = true;
    return 1;
}

bool GlRenderer::buildShaders() {
    vertexShader_ = compileShader(GL_VERTEX_SHADER, kVertexShader);
    if (!step(kLineVertexShader, "glCompileShader", vertexShader_ != 0)) return false;
    colorShader_ = compileShader(GL_FRAGMENT_SHADER, kColorShader);
    if (colorShader_ != 0) colorProgram_ = linkProgram(vertexShader_, colorShader_);
    if (!step(kLineColorShader, "glLinkProgram", colorProgram_ != 0)) return false;
    textureShader_ = compileShader(GL_FRAGMENT_SHADER, kTextureShader);
    if (textureShader_ != 0) textureProgram_ = linkProgram(vertexShader_, textureShader_);
    if (!step(kLineTextureShader, "glLinkProgram", textureProgram_ != 0)) return false;
    unsigned programs[2] = {colorProgram_, textureProgram_};
    for (int i = 0; i < 2; ++i) {
        viewLocation_[i] = glGetUniformLocation(programs[i], "View");
        projectionLocation_[i] = glGetUniformLocation(programs[i], "Projection");
        depthFixLocation_[i] = glGetUniformLocation(programs[i], "depthFix");
        glUseProgram(programs[i]);
        glUniform1i(depthFixLocation_[i], depth_.zeroToOne ? 0 : 1);
    }
    glUseProgram(textureProgram_);
    glUniform1i(glGetUniformLocation(textureProgram_, "txDiffuse"), 0);
    glGenBuffers(1, &instanceBuffer_);
    glBindBuffer(GL_ARRAY_BUFFER, instanceBuffer_);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(sizeof(Mat4)), nullptr, GL_STREAM_DRAW);
    return step(kLineConstants, "glBufferData", glGetError() == GL_NO_ERROR);
}

bool GlRenderer::buildMeshes() {
    glGenVertexArrays(kMeshCount, meshArrays_);
    if (!step(kLineInputLayout, "glGenVertexArrays", glGetError() == GL_NO_ERROR)) return false;
    glGenBuffers(kMeshCount, meshBuffers_);
    for (int i = 0; i < kMeshCount; ++i) {
        MeshData mesh = meshData(static_cast<Mesh>(i));
        glBindVertexArray(meshArrays_[i]);
        glBindBuffer(GL_ARRAY_BUFFER, meshBuffers_[i]);
        glBufferData(GL_ARRAY_BUFFER, mesh.vertexCount * mesh.stride, mesh.vertices, GL_STATIC_DRAW);
        if (!step(kMeshLines[i], "glBufferData", glGetError() == GL_NO_ERROR)) return false;
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, mesh.stride, reinterpret_cast<void*>(0));
        glEnableVertexAttribArray(1);
        glVertexAttribPointer(1, 4, GL_FLOAT, GL_FALSE, mesh.stride, reinterpret_cast<void*>(12));
        // Colour meshes carry no texture coordinate: the attribute stays at its constant.
        if (mesh.stride == 36) {
            glEnableVertexAttribArray(2);
            glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, mesh.stride, reinterpret_cast<void*>(28));
        }
        for (int row = 0; row < 4; ++row) {
            glEnableVertexAttribArray(3 + row);
            glVertexAttribDivisor(3 + row, 1);
        }
    }
    glBindVertexArray(0);
    return true;
}

bool GlRenderer::buildWallTexture() {
    EmbeddedBytes png = embeddedWallPng();
    DecodedImage image;
    std::string error;
    bool decoded = decodePng(png.data, png.size, image, error);
    if (!decoded) std::fprintf(stderr, "Orlith: wall texture: %s\n", error.c_str());
    if (!step(kLineWallDecode, "decodePng", decoded)) return false;
    glGenTextures(1, &wallTexture_);
    glBindTexture(GL_TEXTURE_2D, wallTexture_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    // One mip level; the sRGB marking makes sampling return linear colours.
    glTexImage2D(GL_TEXTURE_2D, 0, image.srgb ? GL_SRGB8_ALPHA8 : GL_RGBA8, image.width, image.height, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, image.rgba.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    return step(kLineWallDecode, "glTexImage2D", glGetError() == GL_NO_ERROR);
}

bool GlRenderer::buildHudLayer() {
    unsigned vs = compileShader(GL_VERTEX_SHADER, kHudVertexShader);
    unsigned fs = compileShader(GL_FRAGMENT_SHADER, kHudFragmentShader);
    if (vs != 0 && fs != 0) hudProgram_ = linkProgram(vs, fs);
    if (vs != 0) glDeleteShader(vs);
    if (fs != 0) glDeleteShader(fs);
    if (!step(kLineHudLayer, "glLinkProgram", hudProgram_ != 0)) return false;
    glUseProgram(hudProgram_);
    hudViewportLocation_ = glGetUniformLocation(hudProgram_, "viewport");
    glUniform1i(glGetUniformLocation(hudProgram_, "layer"), 0);
    glGenVertexArrays(1, &hudArray_);
    glGenBuffers(1, &hudBuffer_);
    glBindVertexArray(hudArray_);
    glBindBuffer(GL_ARRAY_BUFFER, hudBuffer_);
    hudBufferCapacity_ = hudVertices_.capacity() * sizeof(HudVertex);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(hudBufferCapacity_), nullptr, GL_STREAM_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, sizeof(HudVertex), reinterpret_cast<void*>(0));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, sizeof(HudVertex), reinterpret_cast<void*>(8));
    glEnableVertexAttribArray(2);
    glVertexAttribPointer(2, 4, GL_FLOAT, GL_FALSE, sizeof(HudVertex), reinterpret_cast<void*>(16));
    glBindVertexArray(0);
    // The layer starts transparent; the painter fills it at the first frame.
    glGenTextures(1, &layerTexture_);
    glBindTexture(GL_TEXTURE_2D, layerTexture_);
    std::vector<uint8_t> clear(static_cast<size_t>(width_) * static_cast<size_t>(height_) * 4, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_SRGB8_ALPHA8, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE, clear.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    return step(kLineHudLayer, "glTexImage2D", glGetError() == GL_NO_ERROR);
}

bool GlRenderer::buildPresent() {
    unsigned vs = compileShader(GL_VERTEX_SHADER, kPresentVertexShader);
    unsigned fs = compileShader(GL_FRAGMENT_SHADER, kPresentFragmentShader);
    if (vs != 0 && fs != 0) presentProgram_ = linkProgram(vs, fs);
    if (vs != 0) glDeleteShader(vs);
    if (fs != 0) glDeleteShader(fs);
    if (!step(kLinePresent, "glLinkProgram", presentProgram_ != 0)) return false;
    glUseProgram(presentProgram_);
    presentPlaceLocation_ = glGetUniformLocation(presentProgram_, "place");
    glUniform1i(glGetUniformLocation(presentProgram_, "picture"), 0);
    glGenVertexArrays(1, &presentArray_);
    return step(kLinePresent, "glGenVertexArrays", glGetError() == GL_NO_ERROR);
}

void GlRenderer::releaseGraphics() {
    ready_ = false;
    hudValid_ = false;
    if (!contextLive_) return;
    // Without a current context the names go with the context itself.
    const bool current = context_.makeCurrent();
    if (current) {
        glBindVertexArray(0);
        glUseProgram(0);
    }
    auto drop = [current](unsigned& name, void (*remove)(unsigned)) {
        if (name != 0 && current) remove(name);
        name = 0;
    };
    auto texture = [](unsigned n) { glDeleteTextures(1, &n); };
    auto buffer = [](unsigned n) { glDeleteBuffers(1, &n); };
    auto array = [](unsigned n) { glDeleteVertexArrays(1, &n); };
    auto program = [](unsigned n) { glDeleteProgram(n); };
    auto shader = [](unsigned n) { glDeleteShader(n); };
    drop(presentArray_, array);
    drop(presentProgram_, program);
    drop(layerTexture_, texture);
    drop(hudBuffer_, buffer);
    drop(hudArray_, array);
    drop(hudProgram_, program);
    drop(wallTexture_, texture);
    for (int i = kMeshCount - 1; i >= 0; --i) {
        drop(meshBuffers_[i], buffer);
        drop(meshArrays_[i], array);
    }
    drop(instanceBuffer_, buffer);
    drop(textureProgram_, program);
    drop(colorProgram_, program);
    drop(textureShader_, shader);
    drop(colorShader_, shader);
    drop(vertexShader_, shader);
    drop(framebuffer_, [](unsigned n) { glDeleteFramebuffers(1, &n); });
    drop(depthBuffer_, [](unsigned n) { glDeleteRenderbuffers(1, &n); });
    drop(colorTexture_, texture);
    context_.destroy();
    contextLive_ = false;
}

void GlRenderer::addQuad(float x0, float y0, float x1, float y1, float u0, float v0, float u1, float v1,
                         const float color[4]) {
    if (hudVertices_.size() + 6 > hudVertices_.capacity()) return;  // never grows per frame
    HudVertex a{x0, y0, u0, v0, {color[0], color[1], color[2], color[3]}};
    HudVertex b{x1, y0, u1, v0, {color[0], color[1], color[2], color[3]}};
    HudVertex c{x0, y1, u0, v1, {color[0], color[1], color[2], color[3]}};
    HudVertex d{x1, y1, u1, v1, {color[0], color[1], color[2], color[3]}};
    hudVertices_.push_back(a);
    hudVertices_.push_back(b);
    hudVertices_.push_back(c);
    hudVertices_.push_back(b);
    hudVertices_.push_back(d);
    hudVertices_.push_back(c);
}

void GlRenderer::addLayer(float x0, float y0, float x1, float y1) {
    const auto w = static_cast<float>(width_), h = static_cast<float>(height_);
    addQuad(x0, y0, x1, y1, x0 / w, y0 / h, x1 / w, y1 / h, kBlack);
}

bool GlRenderer::paintHud(const HudLayout& hud) {
    if (hudValid_ && sameHud(hud, shownHud_)) return true;
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, layerTexture_);
    hudValid_ = painter_.paint(hud, width_, height_);
    shownHud_ = hud;
    ++hudPaints;
    return hudValid_;
}

void GlRenderer::drawHudVertices() {
    // No panel (the D key's mode 0): nothing to upload; WebGL reads a length of 0 as "all".
    if (hudVertices_.empty()) return;
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    // Premultiplied "over" in linear light; the picture's alpha stays opaque.
    glBlendFuncSeparate(GL_ONE, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
    glUseProgram(hudProgram_);
    glUniform2f(hudViewportLocation_, static_cast<float>(width_), static_cast<float>(height_));
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, layerTexture_);
    glBindVertexArray(hudArray_);
    glBindBuffer(GL_ARRAY_BUFFER, hudBuffer_);
    glBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(hudVertices_.size() * sizeof(HudVertex)),
                    hudVertices_.data());
    glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(hudVertices_.size()));
    glBindVertexArray(0);
    glDisable(GL_BLEND);
}

void GlRenderer::drawFrame(const FrameData& frame) {
    if (!ready_) return;
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glViewport(0, 0, width_, height_);
    context_.encodeSrgbWrites(true);
    glEnable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
    glClearColor(frame.clearColor[0], frame.clearColor[1], frame.clearColor[2], frame.clearColor[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    // Every batch's World matrices go up at once; a batch points the instance rows at its run.
    const size_t bytes = frame.worlds.size() * sizeof(Mat4);
    glBindBuffer(GL_ARRAY_BUFFER, instanceBuffer_);
    if (bytes > 0) glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(bytes), frame.worlds.data(), GL_STREAM_DRAW);
    unsigned programs[2] = {colorProgram_, textureProgram_};
    for (int i = 0; i < 2; ++i) {
        glUseProgram(programs[i]);
        glUniformMatrix4fv(viewLocation_[i], 1, GL_FALSE, &frame.view.m[0][0]);
        glUniformMatrix4fv(projectionLocation_[i], 1, GL_FALSE, &frame.projection.m[0][0]);
    }
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, wallTexture_);

    for (const DrawBatch& batch : frame.batches) {
        glUseProgram(batch.pixelShader == PixelShader::texture ? textureProgram_ : colorProgram_);
        glBindVertexArray(meshArrays_[static_cast<int>(batch.mesh)]);
        glBindBuffer(GL_ARRAY_BUFFER, instanceBuffer_);
        for (int row = 0; row < 4; ++row) {
            const size_t offset =
                static_cast<size_t>(batch.firstInstance) * sizeof(Mat4) + static_cast<size_t>(row) * 16;
            glVertexAttribPointer(3 + row, 4, GL_FLOAT, GL_FALSE, sizeof(Mat4), reinterpret_cast<void*>(offset));
        }
        glDrawArraysInstanced(batch.topology == Topology::triangleList ? GL_TRIANGLES : GL_TRIANGLE_STRIP,
                              batch.firstVertex, batch.vertexCount, batch.instanceCount);
    }
    glBindVertexArray(0);

    // The layer over each panel, down to the picture's foot: a text wider than its slot wraps,
    // and its lines below may reach past the box.
    bool painted = paintHud(frame.hud);
    hudVertices_.clear();
    for (int k = 0; k < frame.hud.count; ++k) {
        const HudOp& op = frame.hud.ops[k];
        if (op.kind == HudOp::veilBox) addLayer(op.rect.left, op.rect.top, op.rect.right, static_cast<float>(height_));
    }
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    drawHudVertices();

    GLenum error = glGetError();
    if (!painted || error != GL_NO_ERROR) {
        // The whole answer to a lost or broken context: drop everything, rebuild next frame.
        context_.setErrorCode(static_cast<int>(error));
        releaseGraphics();
        return;
    }
    present();
}

void GlRenderer::drawProgress(float fraction, const char16_t* text) {
    if (!ready_) return;
    float left = static_cast<float>(width_) * 0.2f, right = static_cast<float>(width_) * 0.8f;
    float top = static_cast<float>(height_) * 0.5f;
    HudLayout layout;
    layout.count = 1;
    HudOp& op = layout.ops[0];
    op.kind = HudOp::textLine;
    op.align = HudAlign::leading;
    op.rect = {left, top - 40, right, top - 16};
    copyText(op.text, 32, text);
    const bool painted = paintHud(layout);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glViewport(0, 0, width_, height_);
    context_.encodeSrgbWrites(true);
    glClearColor(kBackground[0], kBackground[1], kBackground[2], kBackground[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    hudVertices_.clear();
    addQuad(left, top, right, top + 24, -1, -1, -1, -1, kVeil);
    addQuad(left, top, left + (right - left) * fraction, top + 24, -1, -1, -1, -1, kBlack);
    addLayer(0, 0, static_cast<float>(width_), static_cast<float>(height_));
    drawHudVertices();
    if (!painted || glGetError() != GL_NO_ERROR) {
        releaseGraphics();
        return;
    }
    present();
}

void GlRenderer::present() {
    if (!presentFrames) return;
    // The picture into the window at its own size and aspect, letterboxed when the window is
    // larger (full screen).
    int drawableW = 0, drawableH = 0;
    context_.drawableSize(drawableW, drawableH);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    context_.encodeSrgbWrites(false);
    glViewport(0, 0, drawableW, drawableH);
    float place[4] = {-1, -1, 1, 1};
    if (drawableW != width_ || drawableH != height_) {
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        const double scale = std::min(static_cast<double>(drawableW) / width_, static_cast<double>(drawableH) / height_);
        const auto w = static_cast<float>(width_ * scale / drawableW), h = static_cast<float>(height_ * scale / drawableH);
        place[0] = -w, place[1] = -h, place[2] = w, place[3] = h;
    }
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glUseProgram(presentProgram_);
    glUniform4f(presentPlaceLocation_, place[0], place[1], place[2], place[3]);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, colorTexture_);
    glBindVertexArray(presentArray_);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glBindVertexArray(0);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    context_.swapBuffers();
}

bool GlRenderer::readPicture(std::vector<uint8_t>& rgba) {
    if (!ready_) return false;
    rgba.resize(static_cast<size_t>(width_) * height_ * 4);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    // GL rows run bottom to top; pictures run top to bottom.
    const size_t row = static_cast<size_t>(width_) * 4;
    std::vector<uint8_t> swap(row);
    for (int y = 0; y < height_ / 2; ++y) {
        uint8_t* a = rgba.data() + row * static_cast<size_t>(y);
        uint8_t* b = rgba.data() + row * static_cast<size_t>(height_ - 1 - y);
        std::memcpy(swap.data(), a, row);
        std::memcpy(a, b, row);
        std::memcpy(b, swap.data(), row);
    }
    return glGetError() == GL_NO_ERROR;
}

}  // namespace orlith
