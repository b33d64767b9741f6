// Images through the Windows Imaging Component: the texture loader of the Direct3D 11 backend
// (any WIC-readable image to a 2D texture with one mip level, in the DXGI format that holds its
// pixels without loss, sRGB when the image says so, scaled down to what the device can hold)
// and the PNG encoder of screenshots. The imaging factory is made once per process, on first use.
// Called by the Direct3D 11 backend and the Windows entry point, on the main thread.
#pragma once

#include <d3d11.h>
#include <wincodec.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orlith {

// The process-wide imaging factory: the newer one, else the first generation; null without WIC.
IWICImagingFactory* getImagingFactory();
// True when the newer factory was made: only then is 96bppRGBFloat read directly.
bool usingImagingFactory2();

// The DXGI format of a WIC pixel format that has one (DXGI_FORMAT_UNKNOWN otherwise).
DXGI_FORMAT wicToDxgiFormat(const GUID& wicFormat);
// The WIC format a pixel format without a DXGI format is converted to (GUID_NULL when none).
GUID wicConversionTarget(const GUID& wicFormat);
// Bits per pixel of a WIC pixel format; 0 when WIC does not know it as a pixel format.
uint32_t wicBitsPerPixel(const GUID& wicFormat);
// The sRGB variant of a DXGI format; the format itself when it has none.
DXGI_FORMAT toSrgbFormat(DXGI_FORMAT format);
// The largest texture side of a feature level.
uint32_t maxTextureSize(D3D_FEATURE_LEVEL level);
// The frame's size, or, when a side exceeds limit, the largest size within it of the same aspect.
void fitTextureSize(uint32_t width, uint32_t height, uint32_t limit, uint32_t& targetWidth, uint32_t& targetHeight);

// Decodes the image and makes the texture and its view (both null on failure). Status codes:
// E_INVALIDARG for a null device or bytes, E_FAIL for no bytes, E_NOINTERFACE without WIC,
// 0x80070032 for a pixel format it cannot take, else the first failing call's.
HRESULT CreateWICTextureFromMemory(ID3D11Device* device, const uint8_t* bytes, size_t size,
                                   ID3D11Texture2D** texture, ID3D11ShaderResourceView** view);

// Whether PNG bytes carry an sRGB chunk before their image data.
bool pngHasSrgbChunk(const uint8_t* bytes, size_t size);

// Fits RGBA rows to the format an encoder answered when asked for RGBA: kept, swapped to BGRA
// (older Windows' PNG encoder and Wine's), or false for any other.
bool matchEncoderFormat(const GUID& answered, std::vector<uint8_t>& pixels);

// PNG bytes of opaque RGBA rows, top to bottom.
bool encodePng(const uint8_t* rgba, uint32_t width, uint32_t height, std::string& png);
// Any WIC-readable image as RGBA rows (for screenshots read back by tests and tools).
bool decodeToRgba(const uint8_t* bytes, size_t size, std::vector<uint8_t>& rgba, uint32_t& width, uint32_t& height);

}  // namespace orlith
