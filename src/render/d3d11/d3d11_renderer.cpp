// Direct3D 11 backend of the renderer, with the HUD through Direct2D and DirectWrite.
#include "render/d3d11/d3d11_renderer.h"

#include <d3dcompiler.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/error_report.h"
#include "render/d3d11/wic_texture.h"

namespace orlith {

// Row vectors throughout: a World matrix arrives as four per-instance rows, so
// mul(p, float4x4(rows)) is p x World; View and Projection come transposed (column i at 16 i),
// which HLSL's column-major constants turn into mul(p, M) = p x M again. The three products
// are taken one after the other, as the OpenGL backend does.
const char* const kShaderSource = R"(
cbuffer ConstantBuffer : register(b0) { matrix View; matrix Projection; };
Texture2D txDiffuse : register(t0);
SamplerState samLinear : register(s0);
struct VS_INPUT {
    float4 Pos : POSITION; float4 Color : COLOR; float2 Tex : TEXCOORD0;
    float4 World0 : WORLD0; float4 World1 : WORLD1; float4 World2 : WORLD2; float4 World3 : WORLD3;
};
struct PS_INPUT { float4 Pos : SV_POSITION; float4 Color : COLOR; float2 Tex : TEXCOORD0; };
PS_INPUT VS(VS_INPUT input) {
    PS_INPUT output;
    float4x4 World = float4x4(input.World0, input.World1, input.World2, input.World3);
    output.Pos = mul(input.Pos, World);
    output.Pos = mul(output.Pos, View);
    output.Pos = mul(output.Pos, Projection);
    output.Color = input.Color;
    output.Tex = input.Tex;
    return output;
}
float4 PSColor(PS_INPUT input) : SV_Target { return input.Color; }
float4 PSTexture(PS_INPUT input) : SV_Target { return txDiffuse.Sample(samLinear, input.Tex); }
)";

namespace {

// The error box's number of each step.
constexpr int kLineDevice = 1136, kLineDxgiDevice = 1142, kLineAdapter = 1148, kLineFactory = 1155,
              kLineAssociation = 1161, kLineSwapChain = 1184, kLineBackBuffer = 1191, kLineTargetView = 1199,
              kLineDepthTexture = 1218, kLineDepthView = 1230, kLineInputLayout = 1258, kLineVertexShader = 1267,
              kLineColorShader = 1273, kLineTextureShader = 1277, kLineRasterizer = 1295, kLineConstants = 1309,
              kLineInstances = 1313, kLineFindResource = 1344, kLineLoadResource = 1349, kLineLockResource = 1354,
              kLineSizeofResource = 1359, kLineWallTexture = 1364, kLineHudTexture = 1373, kLineHudView = 1379,
              kLineHudSurface = 1384, kLineD2dTarget = 1389, kLineBlackBrush = 1396, kLineVeilBrush = 1401,
              kLineHudBlend = 1405, kLineHudQuads = 1409;
constexpr int kMeshLines[kMeshCount] = {1475, 1536, 1597, 1642, 1715, 1759, 1816};
constexpr DXGI_FORMAT kPictureFormat = DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;  // 29
constexpr DXGI_FORMAT kDepthFormat = DXGI_FORMAT_D24_UNORM_S8_UINT;      // 45
constexpr UINT kWorldStride = sizeof(Mat4);
constexpr UINT kHudQuadCapacity = 12;  // two panels, two triangles each

template <typename T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

Mat4 transposed(const Mat4& a) {
    Mat4 t{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) t.m[i][j] = a.m[j][i];
    }
    return t;
}

bool sameOp(const HudOp& a, const HudOp& b) {
    return a.kind == b.kind && a.align == b.align && std::memcmp(&a.rect, &b.rect, sizeof a.rect) == 0 &&
           std::u16string_view(a.text) == std::u16string_view(b.text);
}

bool sameHud(const HudLayout& a, const HudLayout& b) {
    if (a.count != b.count) return false;
    for (int k = 0; k < a.count; ++k) {
        if (!sameOp(a.ops[k], b.ops[k])) return false;
    }
    return true;
}

}  // namespace

D3D11Renderer::D3D11Renderer(HWND window, Platform& platform, ID2D1Factory* d2dFactory, IDWriteTextFormat* hudFormat,
                             int width, int height)
    : window_(window), platform_(platform), d2dFactory_(d2dFactory), hudFormat_(hudFormat), width_(width), height_(height) {}

D3D11Renderer::~D3D11Renderer() { releaseGraphics(); }

bool D3D11Renderer::step(int line, const char16_t* name, HRESULT result) {
    if (failAtLine == line) result = E_FAIL;
    if (SUCCEEDED(result)) return true;
    // The box shows the thread's last error, as every error box does; the log keeps the result.
    std::fprintf(stderr, "Orlith: step %d failed with 0x%08lx\n", line, static_cast<unsigned long>(result));
    reportError(platform_, line, name);
    return false;
}

int D3D11Renderer::initGraphics() {
    if (d2dRenderTarget_ != nullptr) return 1;
    D3D_FEATURE_LEVEL level{};
    // Single-threaded (0x1), and BGRA support (0x20), which Direct2D needs on the device's surfaces.
    if (!step(kLineDevice, u"D3D11CreateDevice",
              ::D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0x21, nullptr, 0, D3D11_SDK_VERSION,
                                  &device_, &level, &context_)) ||
        !step(kLineDxgiDevice, u"QueryInterface",
              device_->QueryInterface(__uuidof(IDXGIDevice1), reinterpret_cast<void**>(&dxgiDevice_))) ||
        !step(kLineAdapter, u"GetAdapter", dxgiDevice_->GetAdapter(&dxgiAdapter_))) {
        releaseGraphics();
        return 0;
    }
    dxgiAdapter_->GetParent(__uuidof(IDXGIFactory), reinterpret_cast<void**>(&dxgiFactory_));
    if (!step(kLineFactory, u"GetParent", dxgiFactory_ != nullptr ? S_OK : E_NOINTERFACE) ||
        !step(kLineAssociation, u"MakeWindowAssociation", dxgiFactory_->MakeWindowAssociation(window_, 0))) {
        releaseGraphics();
        return 0;
    }
    DXGI_SWAP_CHAIN_DESC chain{};
    chain.BufferDesc.Width = static_cast<UINT>(width_);
    chain.BufferDesc.Height = static_cast<UINT>(height_);
    chain.BufferDesc.RefreshRate = {0, 1};
    chain.BufferDesc.Format = kPictureFormat;
    chain.SampleDesc = {1, 0};
    chain.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    chain.BufferCount = 1;
    chain.OutputWindow = window_;
    chain.Windowed = TRUE;
    chain.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    chain.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
    ID3D11Texture2D* backBuffer = nullptr;
    if (!step(kLineSwapChain, u"CreateSwapChain", dxgiFactory_->CreateSwapChain(device_, &chain, &swapChain_)) ||
        !step(kLineBackBuffer, u"GetBuffer",
              swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&backBuffer)))) {
        releaseGraphics();
        return 0;
    }
    HRESULT hr = device_->CreateRenderTargetView(backBuffer, nullptr, &renderTargetView_);
    backBuffer->Release();
    D3D11_TEXTURE2D_DESC depth{};
    depth.Width = static_cast<UINT>(width_);
    depth.Height = static_cast<UINT>(height_);
    depth.MipLevels = 1;
    depth.ArraySize = 1;
    depth.Format = kDepthFormat;
    depth.SampleDesc = {1, 0};
    depth.Usage = D3D11_USAGE_DEFAULT;
    depth.BindFlags = D3D11_BIND_DEPTH_STENCIL;
    D3D11_DEPTH_STENCIL_VIEW_DESC depthView{};
    depthView.Format = kDepthFormat;
    depthView.ViewDimension = D3D11_DSV_DIMENSION_TEXTURE2D;
    if (!step(kLineTargetView, u"CreateRenderTargetView", hr) ||
        !step(kLineDepthTexture, u"CreateTexture2D", device_->CreateTexture2D(&depth, nullptr, &depthStencilTexture_)) ||
        !step(kLineDepthView, u"CreateDepthStencilView",
              device_->CreateDepthStencilView(depthStencilTexture_, &depthView, &depthStencilView_))) {
        releaseGraphics();
        return 0;
    }

    std::vector<ID3D10Blob*> blobs;
    bool built = compileShaders(blobs);
    for (ID3D10Blob* blob : blobs) release(blob);
    if (!built) {
        releaseGraphics();
        return 0;
    }
    bindTargets();

    D3D11_RASTERIZER_DESC raster{};
    raster.FillMode = D3D11_FILL_SOLID;
    raster.CullMode = D3D11_CULL_NONE;
    raster.FrontCounterClockwise = FALSE;
    raster.DepthClipEnable = FALSE;
    D3D11_BUFFER_DESC constants{};
    constants.ByteWidth = 2 * sizeof(Mat4);
    constants.Usage = D3D11_USAGE_DEFAULT;
    constants.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    constants.StructureByteStride = 4;
    const Mat4 identities[2] = {identityMatrix(), identityMatrix()};
    D3D11_SUBRESOURCE_DATA identityData{identities, 0, 0};
    D3D11_BUFFER_DESC instances{};
    instanceCapacity_ = 16384;
    instances.ByteWidth = instanceCapacity_ * kWorldStride;
    instances.Usage = D3D11_USAGE_DYNAMIC;
    instances.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    instances.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (!step(kLineRasterizer, u"CreateRasterizerState", device_->CreateRasterizerState(&raster, &rasterizerState_)) ||
        !step(kLineConstants, u"CreateBuffer", device_->CreateBuffer(&constants, nullptr, &constantBuffer_)) ||
        !step(kLineConstants, u"CreateBuffer", device_->CreateBuffer(&constants, &identityData, &identityBuffer_)) ||
        !step(kLineInstances, u"CreateBuffer", device_->CreateBuffer(&instances, nullptr, &instanceBuffer_)) ||
        !buildMeshes() || !buildWallTexture() || !buildHudLayer()) {
        releaseGraphics();
        return 0;
    }
    hudValid_ = false;
    return 1;
}

bool D3D11Renderer::compileShaders(std::vector<ID3D10Blob*>& blobs) {
    struct Stage {
        const char* entry;
        const char* profile;
        int line;
    };
    const Stage stages[3] = {{"VS", "vs_4_0_level_9_1", kLineVertexShader},
                             {"PSColor", "ps_4_0_level_9_1", kLineColorShader},
                             {"PSTexture", "ps_4_0_level_9_1", kLineTextureShader}};
    // All three first: the input layout is checked against the vertex shader's code.
    for (const Stage& stage : stages) {
        ID3D10Blob* code = nullptr;
        ID3D10Blob* messages = nullptr;
        HRESULT hr = ::D3DCompile(shaderSource, std::strlen(shaderSource), "orlith.hlsl", nullptr, nullptr, stage.entry,
                                  stage.profile, D3DCOMPILE_ENABLE_STRICTNESS, 0, &code, &messages);
        if (messages != nullptr) {
            if (FAILED(hr)) {
                std::fprintf(stderr, "Orlith: %s: %.*s\n", stage.entry, static_cast<int>(messages->GetBufferSize()),
                             static_cast<const char*>(messages->GetBufferPointer()));
            }
            messages->Release();
        }
        blobs.push_back(code);
        if (!step(stage.line, u"D3DCompile", hr)) return false;
    }
    const D3D11_INPUT_ELEMENT_DESC elements[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 12, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 28, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"WORLD", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"WORLD", 1, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 16, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"WORLD", 2, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 32, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"WORLD", 3, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 48, D3D11_INPUT_PER_INSTANCE_DATA, 1},
    };
    ID3D10Blob* vs = blobs[0];
    ID3D10Blob* color = blobs[1];
    ID3D10Blob* texture = blobs[2];
    return step(kLineInputLayout, u"CreateInputLayout",
                device_->CreateInputLayout(elements, 7, vs->GetBufferPointer(), vs->GetBufferSize(), &inputLayout_)) &&
           step(kLineVertexShader, u"CreateVertexShader",
                device_->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, &vertexShader_)) &&
           step(kLineColorShader, u"CreatePixelShader",
                device_->CreatePixelShader(color->GetBufferPointer(), color->GetBufferSize(), nullptr,
                                           &colorPixelShader_)) &&
           step(kLineTextureShader, u"CreatePixelShader",
                device_->CreatePixelShader(texture->GetBufferPointer(), texture->GetBufferSize(), nullptr,
                                           &texturePixelShader_));
}

bool D3D11Renderer::buildMeshes() {
    for (int i = 0; i < kMeshCount; ++i) {
        MeshData mesh = meshData(static_cast<Mesh>(i));
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = static_cast<UINT>(mesh.vertexCount * mesh.stride);
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
        desc.StructureByteStride = 4;
        D3D11_SUBRESOURCE_DATA data{mesh.vertices, 0, 0};
        if (!step(kMeshLines[i], u"CreateBuffer", device_->CreateBuffer(&desc, &data, &meshBuffers_[i]))) return false;
    }
    return true;
}

bool D3D11Renderer::buildWallTexture() {
    // The program's own resource, type "PNG", id 104; its bytes are not copied.
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(104), L"PNG");
    if (!step(kLineFindResource, u"FindResource", found != nullptr ? S_OK : E_FAIL)) return false;
    HGLOBAL loaded = ::LoadResource(nullptr, found);
    if (!step(kLineLoadResource, u"LoadResource", loaded != nullptr ? S_OK : E_FAIL)) return false;
    const void* bytes = ::LockResource(loaded);
    if (!step(kLineLockResource, u"LockResource", bytes != nullptr ? S_OK : E_FAIL)) return false;
    const DWORD size = ::SizeofResource(nullptr, found);
    if (!step(kLineSizeofResource, u"SizeofResource", size != 0 ? S_OK : E_FAIL)) return false;
    return step(kLineWallTexture, u"CreateWICTextureFromMemory",
                CreateWICTextureFromMemory(device_, static_cast<const uint8_t*>(bytes), size, &wallTexture_,
                                           &wallTextureView_));
}

bool D3D11Renderer::buildHudLayer() {
    // The HUD is drawn by Direct2D into a texture of its own only when its text changes (drawing
    // text costs milliseconds a line), and laid over each frame's picture.
    D3D11_TEXTURE2D_DESC layer{};
    layer.Width = static_cast<UINT>(width_);
    layer.Height = static_cast<UINT>(height_);
    layer.MipLevels = 1;
    layer.ArraySize = 1;
    layer.Format = kPictureFormat;
    layer.SampleDesc = {1, 0};
    layer.Usage = D3D11_USAGE_DEFAULT;
    layer.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    if (!step(kLineHudTexture, u"CreateTexture2D", device_->CreateTexture2D(&layer, nullptr, &hudTexture_)) ||
        !step(kLineHudView, u"CreateShaderResourceView",
              device_->CreateShaderResourceView(hudTexture_, nullptr, &hudTextureView_))) {
        return false;
    }
    IDXGISurface* surface = nullptr;
    if (!step(kLineHudSurface, u"QueryInterface",
              hudTexture_->QueryInterface(__uuidof(IDXGISurface), reinterpret_cast<void**>(&surface)))) {
        return false;
    }
    D2D1_RENDER_TARGET_PROPERTIES properties{D2D1_RENDER_TARGET_TYPE_DEFAULT,
                                             {DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_PREMULTIPLIED},
                                             96.0f,
                                             96.0f,
                                             D2D1_RENDER_TARGET_USAGE_NONE,
                                             D2D1_FEATURE_LEVEL_DEFAULT};
    ID2D1RenderTarget* target = nullptr;
    HRESULT hr = d2dFactory_->CreateDxgiSurfaceRenderTarget(surface, &properties, &target);
    surface->Release();
    if (!step(kLineD2dTarget, u"CreateDxgiSurfaceRenderTarget", hr)) return false;
    D3D11_BLEND_DESC blend{};
    // The layer is premultiplied: result = layer + (1 - layer alpha) x picture, in linear light.
    blend.RenderTarget[0].BlendEnable = TRUE;
    blend.RenderTarget[0].SrcBlend = D3D11_BLEND_ONE;
    blend.RenderTarget[0].DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
    blend.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ZERO;
    blend.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_ONE;
    blend.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    blend.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    D3D11_BUFFER_DESC quads{};
    quads.ByteWidth = kHudQuadCapacity * sizeof(TexturedVertex);
    quads.Usage = D3D11_USAGE_DYNAMIC;
    quads.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    quads.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    // The target is the readiness flag of the whole set: it is kept only when everything exists.
    const D2D1_COLOR_F black{0.0f, 0.0f, 0.0f, 1.0f}, veil{1.0f, 1.0f, 1.0f, 0.4f};
    if (!step(kLineBlackBrush, u"CreateSolidColorBrush", target->CreateSolidColorBrush(&black, nullptr, &blackBrush_)) ||
        !step(kLineVeilBrush, u"CreateSolidColorBrush", target->CreateSolidColorBrush(&veil, nullptr, &veilBrush_)) ||
        !step(kLineHudBlend, u"CreateBlendState", device_->CreateBlendState(&blend, &hudBlendState_)) ||
        !step(kLineHudQuads, u"CreateBuffer", device_->CreateBuffer(&quads, nullptr, &hudQuadBuffer_))) {
        target->Release();
        return false;
    }
    d2dRenderTarget_ = target;
    return true;
}

void D3D11Renderer::releaseGraphics() {
    if (context_ != nullptr) context_->ClearState();
    release(pictureCopy_);
    pictureKept_ = false;
    hudValid_ = false;
    hudQuadVertices_ = 0;
    release(veilBrush_);
    release(blackBrush_);
    release(d2dRenderTarget_);
    release(hudQuadBuffer_);
    release(hudBlendState_);
    release(hudTextureView_);
    release(hudTexture_);
    release(wallTextureView_);
    release(wallTexture_);
    for (int i = kMeshCount - 1; i >= 0; --i) release(meshBuffers_[i]);
    release(instanceBuffer_);
    instanceCapacity_ = 0;
    release(identityBuffer_);
    release(constantBuffer_);
    release(rasterizerState_);
    release(texturePixelShader_);
    release(colorPixelShader_);
    release(vertexShader_);
    release(inputLayout_);
    release(depthStencilView_);
    release(depthStencilTexture_);
    release(renderTargetView_);
    release(swapChain_);
    release(dxgiFactory_);
    release(dxgiAdapter_);
    release(dxgiDevice_);
    release(context_);
    release(device_);
}

void D3D11Renderer::bindTargets() {
    // Direct2D shares the device; the frame binds what it relies on rather than trusting it kept.
    context_->OMSetRenderTargets(1, &renderTargetView_, depthStencilView_);
    D3D11_VIEWPORT viewport{0.0f, 0.0f, static_cast<float>(width_), static_cast<float>(height_), 0.0f, 1.0f};
    context_->RSSetViewports(1, &viewport);
    context_->IASetInputLayout(inputLayout_);
}

bool D3D11Renderer::uploadInstances(const FrameData& frame) {
    // The batches' World matrices, then one identity for the HUD layer.
    const auto needed = static_cast<UINT>(frame.worlds.size() + 1);
    if (needed > instanceCapacity_) {
        release(instanceBuffer_);
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = needed * 2 * kWorldStride;
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        if (!step(kLineInstances, u"CreateBuffer", device_->CreateBuffer(&desc, nullptr, &instanceBuffer_))) return false;
        instanceCapacity_ = needed * 2;
    }
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(instanceBuffer_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return false;
    auto* rows = static_cast<Mat4*>(mapped.pData);
    if (!frame.worlds.empty()) std::memcpy(rows, frame.worlds.data(), frame.worlds.size() * sizeof(Mat4));
    rows[frame.worlds.size()] = identityMatrix();
    context_->Unmap(instanceBuffer_, 0);
    return true;
}

void D3D11Renderer::drawFrame(const FrameData& frame) {
    if (!ready()) return;
    bindTargets();
    context_->ClearRenderTargetView(renderTargetView_, frame.clearColor);
    context_->ClearDepthStencilView(depthStencilView_, D3D11_CLEAR_DEPTH, 1.0f, 0);
    context_->VSSetShader(vertexShader_, nullptr, 0);
    context_->HSSetShader(nullptr, nullptr, 0);
    context_->DSSetShader(nullptr, nullptr, 0);
    context_->GSSetShader(nullptr, nullptr, 0);
    context_->RSSetState(rasterizerState_);
    context_->PSSetShaderResources(0, 1, &wallTextureView_);
    context_->CSSetShader(nullptr, nullptr, 0);

    const Mat4 camera[2] = {transposed(frame.view), transposed(frame.projection)};
    context_->UpdateSubresource(constantBuffer_, 0, nullptr, camera, 0, 0);
    context_->VSSetConstantBuffers(0, 1, &constantBuffer_);
    if (!uploadInstances(frame)) return;
    for (const DrawBatch& batch : frame.batches) {
        const MeshData mesh = meshData(batch.mesh);
        ID3D11Buffer* buffers[2] = {meshBuffers_[static_cast<int>(batch.mesh)], instanceBuffer_};
        const UINT strides[2] = {static_cast<UINT>(mesh.stride), kWorldStride};
        const UINT offsets[2] = {0, static_cast<UINT>(batch.firstInstance) * kWorldStride};
        context_->PSSetShader(batch.pixelShader == PixelShader::texture ? texturePixelShader_ : colorPixelShader_,
                              nullptr, 0);
        context_->IASetPrimitiveTopology(batch.topology == Topology::triangleList ? D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST
                                                                                   : D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        context_->IASetVertexBuffers(0, 2, buffers, strides, offsets);
        context_->DrawInstanced(static_cast<UINT>(batch.vertexCount), static_cast<UINT>(batch.instanceCount),
                                static_cast<UINT>(batch.firstVertex), 0);
    }

    if (!drawHud(frame.hud)) {
        // The whole answer to a lost device: drop everything, rebuild at the next frame.
        releaseGraphics();
        return;
    }
    compositeHud(static_cast<UINT>(frame.worlds.size()));
    present();
}

bool D3D11Renderer::drawHud(const HudLayout& hud) {
    if (loseNextFrame) {
        loseNextFrame = false;
        return false;
    }
    if (hudValid_ && sameHud(hud, shownHud_)) return SUCCEEDED(device_->GetDeviceRemovedReason());
    d2dRenderTarget_->BeginDraw();
    const D2D1_COLOR_F clear{0.0f, 0.0f, 0.0f, 0.0f};
    d2dRenderTarget_->Clear(&clear);
    TexturedVertex quads[kHudQuadCapacity];
    UINT quadVertices = 0;
    const float w = static_cast<float>(width_), h = static_cast<float>(height_);
    for (int k = 0; k < hud.count; ++k) {
        const HudOp& op = hud.ops[k];
        const D2D1_RECT_F rect{op.rect.left, op.rect.top, op.rect.right, op.rect.bottom};
        if (op.kind == HudOp::veilBox) {
            d2dRenderTarget_->FillRectangle(&rect, veilBrush_);
            if (quadVertices + 6 > kHudQuadCapacity) continue;
            // Down to the picture's foot: a text wider than its slot wraps, and its lines below
            // may reach past the box.
            const float left = op.rect.left, top = op.rect.top, right = op.rect.right, bottom = h;
            auto corner = [&](float x, float y) {
                return TexturedVertex{{x / w * 2.0f - 1.0f, 1.0f - y / h * 2.0f, 0.0f}, {1, 1, 1, 1}, {x / w, y / h}};
            };
            const TexturedVertex a = corner(left, top), b = corner(right, top), c = corner(left, bottom),
                                 d = corner(right, bottom);
            for (const TexturedVertex& v : {a, b, c, b, d, c}) quads[quadVertices++] = v;
        } else {
            hudFormat_->SetTextAlignment(op.align == HudAlign::leading ? DWRITE_TEXT_ALIGNMENT_LEADING
                                                                       : DWRITE_TEXT_ALIGNMENT_TRAILING);
            const auto* text = reinterpret_cast<const wchar_t*>(op.text);
            d2dRenderTarget_->DrawText(text, static_cast<UINT32>(::lstrlenW(text)), hudFormat_, &rect, blackBrush_,
                                       D2D1_DRAW_TEXT_OPTIONS_NONE, DWRITE_MEASURING_MODE_NATURAL);
        }
    }
    if (FAILED(d2dRenderTarget_->EndDraw())) return false;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (quadVertices > 0) {
        if (FAILED(context_->Map(hudQuadBuffer_, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return false;
        std::memcpy(mapped.pData, quads, quadVertices * sizeof(TexturedVertex));
        context_->Unmap(hudQuadBuffer_, 0);
    }
    hudQuadVertices_ = quadVertices;
    shownHud_ = hud;
    hudValid_ = true;
    ++hudDraws;
    return true;
}

void D3D11Renderer::compositeHud(UINT identityInstance) {
    if (hudQuadVertices_ == 0) return;
    // Over the picture without depth, through the same shaders: identity World, View and
    // Projection pass the quads' clip-space corners through.
    context_->OMSetRenderTargets(1, &renderTargetView_, nullptr);
    context_->OMSetBlendState(hudBlendState_, nullptr, 0xFFFFFFFF);
    context_->VSSetConstantBuffers(0, 1, &identityBuffer_);
    context_->PSSetShader(texturePixelShader_, nullptr, 0);
    context_->PSSetShaderResources(0, 1, &hudTextureView_);
    ID3D11Buffer* buffers[2] = {hudQuadBuffer_, instanceBuffer_};
    const UINT strides[2] = {sizeof(TexturedVertex), kWorldStride};
    const UINT offsets[2] = {0, identityInstance * kWorldStride};
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context_->IASetVertexBuffers(0, 2, buffers, strides, offsets);
    context_->DrawInstanced(hudQuadVertices_, 1, 0, 0);
    // Direct2D draws into the layer again later: it must not stay bound for reading.
    ID3D11ShaderResourceView* none = nullptr;
    context_->PSSetShaderResources(0, 1, &none);
    context_->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
}

void D3D11Renderer::present() {
    if (keepPictures_) {
        // The swap chain discards its buffer at Present: the picture is copied before.
        ID3D11Texture2D* backBuffer = nullptr;
        if (SUCCEEDED(swapChain_->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&backBuffer)))) {
            if (pictureCopy_ == nullptr) {
                D3D11_TEXTURE2D_DESC desc{};
                backBuffer->GetDesc(&desc);
                desc.Usage = D3D11_USAGE_STAGING;
                desc.BindFlags = 0;
                desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
                desc.MiscFlags = 0;
                if (FAILED(device_->CreateTexture2D(&desc, nullptr, &pictureCopy_))) pictureCopy_ = nullptr;
            }
            if (pictureCopy_ != nullptr) {
                context_->CopyResource(pictureCopy_, backBuffer);
                pictureKept_ = true;
            }
            backBuffer->Release();
        }
    }
    swapChain_->Present(0, 0);  // result ignored: a lost device shows at the next 2D drawing
}

bool D3D11Renderer::readPicture(std::vector<uint8_t>& rgba) {
    if (!pictureKept_ || pictureCopy_ == nullptr) return false;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context_->Map(pictureCopy_, 0, D3D11_MAP_READ, 0, &mapped))) return false;
    const size_t row = static_cast<size_t>(width_) * 4;
    rgba.resize(row * static_cast<size_t>(height_));
    for (int y = 0; y < height_; ++y) {
        uint8_t* out = rgba.data() + row * static_cast<size_t>(y);
        std::memcpy(out, static_cast<const uint8_t*>(mapped.pData) + mapped.RowPitch * static_cast<size_t>(y), row);
        // Direct2D leaves its coverage in alpha; a screenshot is opaque.
        for (size_t x = 3; x < row; x += 4) out[x] = 255;
    }
    context_->Unmap(pictureCopy_, 0);
    return true;
}

}  // namespace orlith
