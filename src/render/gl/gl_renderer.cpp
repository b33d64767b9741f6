// OpenGL 3.3 core backend of the renderer (through libepoxy).
#include "render/gl/gl_renderer.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_report.h"
#include "base/text.h"
#include "render/gl/png.h"

namespace orlith {
namespace {

// Row-vector products p x World x View x Projection: a matrix uploaded row by row without
// transposition is, to GLSL, the matrix whose columns are our rows, so M * v gives v x M.
const char* const kVertexShader = R"(#version 330 core
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

const char* const kColorShader = R"(#version 330 core
in vec4 vColor;
in vec2 vTexcoord;
out vec4 fragColor;
void main() { fragColor = vColor; }
)";

const char* const kTextureShader = R"(#version 330 core
in vec4 vColor;
in vec2 vTexcoord;
uniform sampler2D txDiffuse;
out vec4 fragColor;
void main() { fragColor = texture(txDiffuse, vTexcoord); }
)";

// HUD layer: pixel coordinates from the top-left; u < 0 marks a solid (veil) quad.
const char* const kHudVertexShader = R"(#version 330 core
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

const char* const kHudFragmentShader = R"(#version 330 core
in vec2 vUv;
in vec4 vColor;
uniform sampler2D atlas;
out vec4 fragColor;
void main() {
    float coverage = vUv.x < 0.0 ? 1.0 : texture(atlas, vUv).r;
    fragColor = vec4(vColor.rgb, vColor.a * coverage);
}
)";

constexpr float kBlack[4] = {0, 0, 0, 1};
constexpr float kVeil[4] = {1, 1, 1, 0.4f};

unsigned compileShader(GLenum kind, const char* source) {
    GLuint shader = glCreateShader(kind);
    glShaderSource(shader, 1, &source, nullptr);
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

// The error box's number of each failing step.
constexpr int kLineContext = 1136, kLineCurrent = 1142, kLineVersion = 1148, kLineColorTarget = 1191,
              kLineDepthTarget = 1218, kLineFramebuffer = 1230, kLineInputLayout = 1258, kLineVertexShader = 1267,
              kLineColorShader = 1273, kLineTextureShader = 1277, kLineConstants = 1309, kLineWallDecode = 1364,
              kLineHudLayer = 1389;
constexpr int kMeshLines[kMeshCount] = {1475, 1536, 1597, 1642, 1715, 1759, 1816};

}  // namespace

GlRenderer::GlRenderer(GlContext& context, Platform& platform, HudFont& font, int width, int height)
    : context_(context), platform_(platform), font_(font), width_(width), height_(height) {
    hudVertices_.reserve(6 * (kMaxHudOps * 32 + 4));
    glyphs_.reserve(512);
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

int GlRenderer::initGraphics() {
    if (ready_) return 1;
    contextLive_ = context_.create();
    if (!contextLive_) std::fprintf(stderr, "Orlith: %s\n", context_.failureText());
    if (!step(kLineContext, context_.createName(), contextLive_)) return releaseGraphics(), 0;
    if (!step(kLineCurrent, context_.makeCurrentName(), context_.makeCurrent())) return releaseGraphics(), 0;
    if (!step(kLineVersion, "OpenGL 3.3 core", epoxy_gl_version() >= 33)) return releaseGraphics(), 0;

    // Colour target: sRGB-encoded, so linear colours are encoded as they are written.
    glGenTextures(1, &colorTexture_);
    glBindTexture(GL_TEXTURE_2D, colorTexture_);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_SRGB8_ALPHA8, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
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

    // Depth runs 0..1; clamping stands in for "depth clipping off".
    clipControl_ = epoxy_gl_version() >= 45 || epoxy_has_gl_extension("GL_ARB_clip_control");
    if (clipControl_) glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
    glEnable(GL_DEPTH_CLAMP);
    glDisable(GL_CULL_FACE);
    glDepthFunc(GL_LESS);

    if (!buildShaders() || !buildMeshes() || !buildWallTexture() || !buildHudLayer()) return releaseGraphics(), 0;
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
        glUniform1i(depthFixLocation_[i], clipControl_ ? 0 : 1);
    }
    glUseProgram(textureProgram_);
    glUniform1i(glGetUniformLocation(textureProgram_, "txDiffuse"), 0);
    glGenBuffers(1, &instanceBuffer_);
    glBindBuffer(GL_ARRAY_BUFFER, instanceBuffer_);
    instanceCapacity_ = 16384 * sizeof(Mat4);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(instanceCapacity_), nullptr, GL_STREAM_DRAW);
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
    glUniform1i(glGetUniformLocation(hudProgram_, "atlas"), 0);
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
    glGenTextures(1, &atlasTexture_);
    glBindTexture(GL_TEXTURE_2D, atlasTexture_);
    std::vector<uint8_t> blank(static_cast<size_t>(kAtlasSize) * kAtlasSize, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, kAtlasSize, kAtlasSize, 0, GL_RED, GL_UNSIGNED_BYTE, blank.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    shelfX_ = shelfY_ = shelfHeight_ = 0;
    glyphs_.clear();
    // The characters of every fixed HUD text, so play rarely adds a glyph.
    for (char32_t c = 32; c < 127; ++c) glyph(c);
    return step(kLineHudLayer, "glTexImage2D", glGetError() == GL_NO_ERROR);
}

void GlRenderer::releaseGraphics() {
    ready_ = false;
    glyphs_.clear();
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
    drop(atlasTexture_, texture);
    drop(hudBuffer_, buffer);
    drop(hudArray_, array);
    drop(hudProgram_, program);
    drop(wallTexture_, texture);
    for (int i = kMeshCount - 1; i >= 0; --i) {
        drop(meshBuffers_[i], buffer);
        drop(meshArrays_[i], array);
    }
    drop(instanceBuffer_, buffer);
    instanceCapacity_ = 0;
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

const GlRenderer::Glyph* GlRenderer::glyph(char32_t c) {
    auto found = glyphs_.find(c);
    if (found != glyphs_.end()) return &found->second;
    Glyph g{};
    if (font_.rasterise(c, scratchGlyph_)) {
        g.width = scratchGlyph_.width;
        g.height = scratchGlyph_.height;
        g.left = scratchGlyph_.left;
        g.top = scratchGlyph_.top;
        g.advance = scratchGlyph_.advance;
        if (shelfX_ + g.width + 1 > kAtlasSize) {
            shelfX_ = 0;
            shelfY_ += shelfHeight_ + 1;
            shelfHeight_ = 0;
        }
        // A full atlas leaves the glyph out rather than overwrite others.
        g.drawable = g.width > 0 && g.height > 0 && shelfY_ + g.height <= kAtlasSize;
        if (g.drawable) {
            glBindTexture(GL_TEXTURE_2D, atlasTexture_);
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            glTexSubImage2D(GL_TEXTURE_2D, 0, shelfX_, shelfY_, g.width, g.height, GL_RED, GL_UNSIGNED_BYTE,
                            scratchGlyph_.coverage.data());
            const auto size = static_cast<float>(kAtlasSize);
            g.u0 = static_cast<float>(shelfX_) / size;
            g.v0 = static_cast<float>(shelfY_) / size;
            g.u1 = static_cast<float>(shelfX_ + g.width) / size;
            g.v1 = static_cast<float>(shelfY_ + g.height) / size;
            shelfX_ += g.width + 1;
            if (g.height > shelfHeight_) shelfHeight_ = g.height;
        }
    }
    return &glyphs_.emplace(c, g).first->second;
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

void GlRenderer::addText(const HudOp& op) {
    char32_t chars[kMaxTextLength];
    const int n = hudCharacters(op.text, chars);
    float advances[kMaxTextLength];
    for (int i = 0; i < n; ++i) advances[i] = glyph(chars[i])->advance;
    TextLines lines;
    wrapText(chars, advances, n, op.rect.right - op.rect.left, lines);
    for (int line = 0; line < lines.count; ++line) {
        float pen = op.align == HudAlign::leading ? op.rect.left : op.rect.right - lines.width[line];
        const float baseline = std::floor(op.rect.top + font_.ascender() + font_.lineHeight() * static_cast<float>(line) + 0.5f);
        for (int i = lines.start[line]; i < lines.start[line + 1]; ++i) {
            const Glyph* g = glyph(chars[i]);
            if (g->drawable) {
                float x0 = std::floor(pen + static_cast<float>(g->left) + 0.5f);
                float y0 = baseline - static_cast<float>(g->top);
                addQuad(x0, y0, x0 + static_cast<float>(g->width), y0 + static_cast<float>(g->height), g->u0, g->v0,
                        g->u1, g->v1, kBlack);
            }
            pen += g->advance;
        }
    }
}

void GlRenderer::drawHudVertices() {
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    // The veil and the text tint the picture but leave its alpha opaque.
    glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
    glUseProgram(hudProgram_);
    glUniform2f(hudViewportLocation_, static_cast<float>(width_), static_cast<float>(height_));
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, atlasTexture_);
    glBindVertexArray(hudArray_);
    glBindBuffer(GL_ARRAY_BUFFER, hudBuffer_);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(hudBufferCapacity_), nullptr, GL_STREAM_DRAW);
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
    glEnable(GL_FRAMEBUFFER_SRGB);
    glEnable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
    glClearColor(frame.clearColor[0], frame.clearColor[1], frame.clearColor[2], frame.clearColor[3]);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    // Every batch's World matrices go up at once; a batch points the instance rows at its run.
    const size_t bytes = frame.worlds.size() * sizeof(Mat4);
    glBindBuffer(GL_ARRAY_BUFFER, instanceBuffer_);
    if (bytes > instanceCapacity_) instanceCapacity_ = bytes * 2;
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(instanceCapacity_), nullptr, GL_STREAM_DRAW);
    if (bytes > 0) glBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(bytes), frame.worlds.data());
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

    hudVertices_.clear();
    for (int k = 0; k < frame.hud.count; ++k) {
        const HudOp& op = frame.hud.ops[k];
        if (op.kind == HudOp::veilBox) {
            addQuad(op.rect.left, op.rect.top, op.rect.right, op.rect.bottom, -1, -1, -1, -1, kVeil);
        } else {
            addText(op);
        }
    }
    drawHudVertices();

    GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        // The whole answer to a lost or broken context: drop everything, rebuild next frame.
        context_.setErrorCode(static_cast<int>(error));
        releaseGraphics();
        return;
    }
    present();
}

void GlRenderer::drawProgress(float fraction, const char16_t* text) {
    if (!ready_) return;
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glViewport(0, 0, width_, height_);
    glEnable(GL_FRAMEBUFFER_SRGB);
    glClearColor(kBackground[0], kBackground[1], kBackground[2], kBackground[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    hudVertices_.clear();
    float left = static_cast<float>(width_) * 0.2f, right = static_cast<float>(width_) * 0.8f;
    float top = static_cast<float>(height_) * 0.5f;
    addQuad(left, top, right, top + 24, -1, -1, -1, -1, kVeil);
    addQuad(left, top, left + (right - left) * fraction, top + 24, -1, -1, -1, -1, kBlack);
    HudOp op{};
    op.kind = HudOp::textLine;
    op.align = HudAlign::leading;
    op.rect = {left, top - 40, right, top - 16};
    copyText(op.text, 32, text);
    addText(op);
    drawHudVertices();
    if (glGetError() != GL_NO_ERROR) {
        releaseGraphics();
        return;
    }
    present();
}

void GlRenderer::present() {
    if (!presentFrames) return;
    // Copy the picture to the window at its own size and aspect, letterboxed when the
    // window is larger (full screen). The bytes are already sRGB: no conversion on the way.
    int drawableW = 0, drawableH = 0;
    context_.drawableSize(drawableW, drawableH);
    glDisable(GL_FRAMEBUFFER_SRGB);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
    int dx0 = 0, dy0 = 0, dx1 = drawableW, dy1 = drawableH;
    if (drawableW != width_ || drawableH != height_) {
        glViewport(0, 0, drawableW, drawableH);
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        double scale = std::min(static_cast<double>(drawableW) / width_, static_cast<double>(drawableH) / height_);
        int w = static_cast<int>(width_ * scale), h = static_cast<int>(height_ * scale);
        dx0 = (drawableW - w) / 2;
        dy0 = (drawableH - h) / 2;
        dx1 = dx0 + w;
        dy1 = dy0 + h;
    }
    glBlitFramebuffer(0, 0, width_, height_, dx0, dy0, dx1, dy1, GL_COLOR_BUFFER_BIT,
                      dx1 - dx0 == width_ ? GL_NEAREST : GL_LINEAR);
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
