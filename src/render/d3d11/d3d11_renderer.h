// The Direct3D 11 backend: owns every graphics object of the window (device and context, the
// swap chain, colour and depth targets, the shaders compiled at start-up, the seven mesh buffers,
// the wall texture, and the Direct2D layer of the HUD with its two brushes), builds them lazily
// in one fixed sequence, rebuilds them after a failed frame, and draws a FrameData as it stands:
// the same batches as the OpenGL backend, instanced, then the HUD. Failures show the error box
// of their step. Called by the Windows entry point, on the main thread only.
#pragma once

#include <d2d1.h>
#include <d3d11.h>
#include <dwrite.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "render/render.h"

namespace orlith {

// The HLSL of the vertex shader and the two pixel shaders, compiled by D3DCompile at start-up.
extern const char* const kShaderSource;

class D3D11Renderer final : public FrameRenderer {
public:
    // The factory and text format belong to the caller (start-up makes them before the graphics);
    // width x height is the client size at creation.
    D3D11Renderer(HWND window, Platform& platform, ID2D1Factory* d2dFactory, IDWriteTextFormat* hudFormat, int width,
                  int height);
    ~D3D11Renderer() override;
    D3D11Renderer(const D3D11Renderer&) = delete;
    D3D11Renderer& operator=(const D3D11Renderer&) = delete;

    // Builds everything unless ready; 1 when every object exists, 0 after a reported failure.
    int initGraphics() override;
    // Releases every object, last made first; safe on a partial set and when called twice.
    void releaseGraphics();
    bool ready() const { return d2dRenderTarget_ != nullptr; }

    // One frame: clear, batches, HUD, present. When the 2D drawing fails (a lost device) every
    // object is released and nothing is presented; the next initGraphics rebuilds them.
    void drawFrame(const FrameData& frame) override;

    // Screenshots: while kept, each presented picture is copied first (a discarded back buffer
    // cannot be read after Present); readPicture gives the last one as opaque RGBA rows.
    void keepPictures(bool keep) override { keepPictures_ = keep; }
    bool readPicture(std::vector<uint8_t>& rgba) override;

    int width() const override { return width_; }
    int height() const override { return height_; }
    ID3D11Device* device() const { return device_; }

    // Test hooks: the step with this number fails as if the system refused it; the next frame's
    // 2D drawing fails as after a lost device; the HLSL compiled; how often the HUD was drawn.
    int failAtLine = 0;
    bool loseNextFrame = false;
    const char* shaderSource = kShaderSource;
    int hudDraws = 0;

private:
    bool step(int line, const char16_t* name, HRESULT result);
    bool compileShaders(std::vector<ID3D10Blob*>& blobs);
    bool buildMeshes();
    bool buildWallTexture();
    bool buildHudLayer();
    bool uploadInstances(const FrameData& frame);
    bool drawHud(const HudLayout& hud);
    void compositeHud(UINT identityInstance);
    void bindTargets();
    void present();

    HWND window_;
    Platform& platform_;
    ID2D1Factory* d2dFactory_;
    IDWriteTextFormat* hudFormat_;
    int width_, height_;

    ID3D11Device* device_ = nullptr;
    ID3D11DeviceContext* context_ = nullptr;
    IDXGIDevice1* dxgiDevice_ = nullptr;
    IDXGIAdapter* dxgiAdapter_ = nullptr;
    IDXGIFactory* dxgiFactory_ = nullptr;
    IDXGISwapChain* swapChain_ = nullptr;
    ID3D11RenderTargetView* renderTargetView_ = nullptr;
    ID3D11Texture2D* depthStencilTexture_ = nullptr;
    ID3D11DepthStencilView* depthStencilView_ = nullptr;
    ID3D11InputLayout* inputLayout_ = nullptr;
    ID3D11VertexShader* vertexShader_ = nullptr;
    ID3D11PixelShader* colorPixelShader_ = nullptr;
    ID3D11PixelShader* texturePixelShader_ = nullptr;
    ID3D11RasterizerState* rasterizerState_ = nullptr;
    ID3D11Buffer* constantBuffer_ = nullptr;      // View and Projection of the frame
    ID3D11Buffer* identityBuffer_ = nullptr;      // identity View and Projection, for the HUD layer
    ID3D11Buffer* instanceBuffer_ = nullptr;      // every batch's World matrices, one row each
    UINT instanceCapacity_ = 0;                   // matrices
    ID3D11Buffer* meshBuffers_[kMeshCount] = {};  // wallCubeBuffer ... playerArrowBuffer
    ID3D11Texture2D* wallTexture_ = nullptr;
    ID3D11ShaderResourceView* wallTextureView_ = nullptr;
    ID3D11Texture2D* hudTexture_ = nullptr;       // the HUD, drawn by Direct2D when it changes
    ID3D11ShaderResourceView* hudTextureView_ = nullptr;
    ID3D11Buffer* hudQuadBuffer_ = nullptr;       // the panels' rectangles, laid over each frame
    ID3D11BlendState* hudBlendState_ = nullptr;   // premultiplied "over"
    ID2D1RenderTarget* d2dRenderTarget_ = nullptr;
    ID2D1SolidColorBrush* blackBrush_ = nullptr;
    ID2D1SolidColorBrush* veilBrush_ = nullptr;
    ID3D11Texture2D* pictureCopy_ = nullptr;      // staging copy of the last kept picture

    HudLayout shownHud_;      // what the HUD layer holds now
    bool hudValid_ = false;
    UINT hudQuadVertices_ = 0;
    bool pictureKept_ = false;
    bool keepPictures_ = false;
};

}  // namespace orlith
