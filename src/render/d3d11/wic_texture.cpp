// WIC decoding into Direct3D 11 textures, and PNG encoding.
#include "render/d3d11/wic_texture.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <mutex>
#include <utility>

namespace orlith {

namespace {

struct DirectFormat {
    const GUID* wic;
    DXGI_FORMAT dxgi;
};
const DirectFormat kDirectFormats[] = {
    {&GUID_WICPixelFormat128bppRGBAFloat, DXGI_FORMAT_R32G32B32A32_FLOAT},
    {&GUID_WICPixelFormat64bppRGBAHalf, DXGI_FORMAT_R16G16B16A16_FLOAT},
    {&GUID_WICPixelFormat64bppRGBA, DXGI_FORMAT_R16G16B16A16_UNORM},
    {&GUID_WICPixelFormat32bppRGBA, DXGI_FORMAT_R8G8B8A8_UNORM},
    {&GUID_WICPixelFormat32bppBGRA, DXGI_FORMAT_B8G8R8A8_UNORM},
    {&GUID_WICPixelFormat32bppBGR, DXGI_FORMAT_B8G8R8X8_UNORM},
    {&GUID_WICPixelFormat32bppRGBA1010102XR, DXGI_FORMAT_R10G10B10_XR_BIAS_A2_UNORM},
    {&GUID_WICPixelFormat32bppRGBA1010102, DXGI_FORMAT_R10G10B10A2_UNORM},
    {&GUID_WICPixelFormat16bppBGRA5551, DXGI_FORMAT_B5G5R5A1_UNORM},
    {&GUID_WICPixelFormat16bppBGR565, DXGI_FORMAT_B5G6R5_UNORM},
    {&GUID_WICPixelFormat32bppGrayFloat, DXGI_FORMAT_R32_FLOAT},
    {&GUID_WICPixelFormat16bppGrayHalf, DXGI_FORMAT_R16_FLOAT},
    {&GUID_WICPixelFormat16bppGray, DXGI_FORMAT_R16_UNORM},
    {&GUID_WICPixelFormat8bppGray, DXGI_FORMAT_R8_UNORM},
    {&GUID_WICPixelFormat8bppAlpha, DXGI_FORMAT_A8_UNORM},
};

struct Conversion {
    const GUID* source;
    const GUID* target;
};
const Conversion kConversions[] = {
    {&GUID_WICPixelFormatBlackWhite, &GUID_WICPixelFormat8bppGray},
    {&GUID_WICPixelFormat2bppGray, &GUID_WICPixelFormat8bppGray},
    {&GUID_WICPixelFormat4bppGray, &GUID_WICPixelFormat8bppGray},
    {&GUID_WICPixelFormat1bppIndexed, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat2bppIndexed, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat4bppIndexed, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat8bppIndexed, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat24bppBGR, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat24bppRGB, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat32bppPBGRA, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat32bppPRGBA, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat32bppCMYK, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat40bppCMYKAlpha, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat32bppRGB, &GUID_WICPixelFormat32bppRGBA},
    {&GUID_WICPixelFormat16bppGrayFixedPoint, &GUID_WICPixelFormat16bppGrayHalf},
    {&GUID_WICPixelFormat32bppGrayFixedPoint, &GUID_WICPixelFormat32bppGrayFloat},
    {&GUID_WICPixelFormat16bppBGR555, &GUID_WICPixelFormat16bppBGRA5551},
    {&GUID_WICPixelFormat32bppBGR101010, &GUID_WICPixelFormat32bppRGBA1010102},
    {&GUID_WICPixelFormat48bppRGB, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat48bppBGR, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat64bppBGRA, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat64bppPRGBA, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat64bppPBGRA, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat64bppCMYK, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat80bppCMYKAlpha, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat64bppRGB, &GUID_WICPixelFormat64bppRGBA},
    {&GUID_WICPixelFormat48bppRGBFixedPoint, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat48bppBGRFixedPoint, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat64bppRGBAFixedPoint, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat64bppBGRAFixedPoint, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat64bppRGBFixedPoint, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat64bppRGBHalf, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat48bppRGBHalf, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat64bppPRGBAHalf, &GUID_WICPixelFormat64bppRGBAHalf},
    {&GUID_WICPixelFormat128bppPRGBAFloat, &GUID_WICPixelFormat128bppRGBAFloat},
    {&GUID_WICPixelFormat128bppRGBFloat, &GUID_WICPixelFormat128bppRGBAFloat},
    {&GUID_WICPixelFormat128bppRGBAFixedPoint, &GUID_WICPixelFormat128bppRGBAFloat},
    {&GUID_WICPixelFormat128bppRGBFixedPoint, &GUID_WICPixelFormat128bppRGBAFloat},
    {&GUID_WICPixelFormat32bppRGBE, &GUID_WICPixelFormat128bppRGBAFloat},
};

constexpr HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);  // 0x80070032

IWICImagingFactory* gFactory = nullptr;
bool gFactory2 = false;

template <typename T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

// Whether the frame's metadata marks it sRGB: the PNG sRGB chunk, or the colour space 1.
bool frameIsSrgb(IWICBitmapFrameDecode* frame, const uint8_t* bytes, size_t size) {
    IWICMetadataQueryReader* reader = nullptr;
    if (FAILED(frame->GetMetadataQueryReader(&reader))) return false;
    GUID container{};
    PROPVARIANT value;
    PropVariantInit(&value);
    bool srgb = false;
    if (SUCCEEDED(reader->GetContainerFormat(&container)) && container == GUID_ContainerFormatPng) {
        HRESULT hr = reader->GetMetadataByName(L"/sRGB/RenderingIntent", &value);
        srgb = SUCCEEDED(hr) && value.vt == VT_UI1;
        // Wine's PNG decoder keeps no sRGB metadata and always answers "not found": the chunk
        // itself then decides.
        if (hr == WINCODEC_ERR_PROPERTYNOTFOUND) srgb = pngHasSrgbChunk(bytes, size);
    } else {
        srgb = SUCCEEDED(reader->GetMetadataByName(L"System.Image.ColorSpace", &value)) && value.vt == VT_UI2 &&
               value.uiVal == 1;
    }
    PropVariantClear(&value);
    reader->Release();
    return srgb;
}

// Converts source to the wanted format with error-diffusion dithering and copies the pixels.
HRESULT convertAndCopy(IWICImagingFactory* wic, IWICBitmapSource* source, const GUID& from, const GUID& to,
                       UINT pitch, std::vector<uint8_t>& pixels) {
    IWICFormatConverter* converter = nullptr;
    HRESULT hr = wic->CreateFormatConverter(&converter);
    BOOL possible = FALSE;
    if (SUCCEEDED(hr)) hr = converter->CanConvert(from, to, &possible);
    if (SUCCEEDED(hr) && !possible) hr = E_UNEXPECTED;
    if (SUCCEEDED(hr))
        hr = converter->Initialize(source, to, WICBitmapDitherTypeErrorDiffusion, nullptr, 0, WICBitmapPaletteTypeCustom);
    if (SUCCEEDED(hr)) hr = converter->CopyPixels(nullptr, pitch, static_cast<UINT>(pixels.size()), pixels.data());
    release(converter);
    return hr;
}

HRESULT createTextureFromFrame(ID3D11Device* device, IWICBitmapFrameDecode* frame, const uint8_t* bytes, size_t size,
                               ID3D11Texture2D** texture, ID3D11ShaderResourceView** view) {
    IWICImagingFactory* wic = getImagingFactory();
    UINT width = 0, height = 0;
    HRESULT hr = frame->GetSize(&width, &height);
    if (FAILED(hr)) return hr;
    uint32_t targetWidth = 0, targetHeight = 0;
    fitTextureSize(width, height, maxTextureSize(device->GetFeatureLevel()), targetWidth, targetHeight);

    WICPixelFormatGUID source{};
    if (FAILED(hr = frame->GetPixelFormat(&source))) return hr;
    GUID wanted = source;
    DXGI_FORMAT format = wicToDxgiFormat(source);
    uint32_t bits = 0;
    if (format != DXGI_FORMAT_UNKNOWN) {
        bits = wicBitsPerPixel(source);
        if (bits == 0) return E_FAIL;
    } else {
        wanted = wicConversionTarget(source);
        if (wanted == GUID_NULL) return kNotSupported;
        format = wicToDxgiFormat(wanted);
        bits = wicBitsPerPixel(wanted);
        if (bits == 0) return E_FAIL;
    }
    if (frameIsSrgb(frame, bytes, size)) format = toSrgbFormat(format);

    UINT support = 0;
    if (FAILED(device->CheckFormatSupport(format, &support)) || (support & D3D11_FORMAT_SUPPORT_TEXTURE2D) == 0) {
        format = DXGI_FORMAT_R8G8B8A8_UNORM;
        wanted = GUID_WICPixelFormat32bppRGBA;
        bits = 32;
    }

    const UINT pitch = (targetWidth * bits + 7) / 8;
    std::vector<uint8_t> pixels;
    try {
        pixels.resize(static_cast<size_t>(pitch) * targetHeight);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (targetWidth == width && targetHeight == height) {
        if (wanted == source) {
            hr = frame->CopyPixels(nullptr, pitch, static_cast<UINT>(pixels.size()), pixels.data());
        } else {
            hr = convertAndCopy(wic, frame, source, wanted, pitch, pixels);
        }
    } else {
        IWICBitmapScaler* scaler = nullptr;
        hr = wic->CreateBitmapScaler(&scaler);
        if (SUCCEEDED(hr)) hr = scaler->Initialize(frame, targetWidth, targetHeight, WICBitmapInterpolationModeFant);
        WICPixelFormatGUID scaled{};
        if (SUCCEEDED(hr)) hr = scaler->GetPixelFormat(&scaled);
        if (SUCCEEDED(hr)) {
            hr = scaled == wanted ? scaler->CopyPixels(nullptr, pitch, static_cast<UINT>(pixels.size()), pixels.data())
                                  : convertAndCopy(wic, scaler, scaled, wanted, pitch, pixels);
        }
        release(scaler);
    }
    if (FAILED(hr)) return hr;

    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = targetWidth;
    desc.Height = targetHeight;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc = {1, 0};
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    D3D11_SUBRESOURCE_DATA initial{pixels.data(), pitch, static_cast<UINT>(pixels.size())};
    ID3D11Texture2D* made = nullptr;
    if (FAILED(hr = device->CreateTexture2D(&desc, &initial, &made))) return hr;
    D3D11_SHADER_RESOURCE_VIEW_DESC viewDesc{};
    viewDesc.Format = format;
    viewDesc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
    viewDesc.Texture2D.MostDetailedMip = 0;
    viewDesc.Texture2D.MipLevels = 1;
    hr = device->CreateShaderResourceView(made, &viewDesc, view);
    if (FAILED(hr)) {
        made->Release();
        return hr;
    }
    *texture = made;
    return hr;
}

HRESULT decodeFrame(const uint8_t* bytes, size_t size, IWICStream** stream, IWICBitmapDecoder** decoder,
                    IWICBitmapFrameDecode** frame) {
    IWICImagingFactory* wic = getImagingFactory();
    if (wic == nullptr) return E_NOINTERFACE;
    HRESULT hr = wic->CreateStream(stream);
    if (SUCCEEDED(hr)) hr = (*stream)->InitializeFromMemory(const_cast<BYTE*>(bytes), static_cast<DWORD>(size));
    if (SUCCEEDED(hr)) hr = wic->CreateDecoderFromStream(*stream, nullptr, WICDecodeMetadataCacheOnDemand, decoder);
    if (SUCCEEDED(hr)) hr = (*decoder)->GetFrame(0, frame);
    return hr;
}

}  // namespace

IWICImagingFactory* getImagingFactory() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (SUCCEEDED(::CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                         __uuidof(IWICImagingFactory), reinterpret_cast<void**>(&gFactory)))) {
            gFactory2 = true;
        } else if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_INPROC_SERVER,
                                             __uuidof(IWICImagingFactory), reinterpret_cast<void**>(&gFactory)))) {
            gFactory = nullptr;
        }
    });
    return gFactory;
}

bool usingImagingFactory2() {
    getImagingFactory();
    return gFactory2;
}

DXGI_FORMAT wicToDxgiFormat(const GUID& wicFormat) {
    for (const DirectFormat& row : kDirectFormats) {
        if (*row.wic == wicFormat) return row.dxgi;
    }
    if (wicFormat == GUID_WICPixelFormat96bppRGBFloat && usingImagingFactory2()) return DXGI_FORMAT_R32G32B32_FLOAT;
    return DXGI_FORMAT_UNKNOWN;
}

GUID wicConversionTarget(const GUID& wicFormat) {
    if (wicFormat == GUID_WICPixelFormat96bppRGBFixedPoint) {
        return usingImagingFactory2() ? GUID_WICPixelFormat96bppRGBFloat : GUID_WICPixelFormat128bppRGBAFloat;
    }
    for (const Conversion& row : kConversions) {
        if (*row.source == wicFormat) return *row.target;
    }
    return GUID_NULL;
}

uint32_t wicBitsPerPixel(const GUID& wicFormat) {
    IWICImagingFactory* wic = getImagingFactory();
    if (wic == nullptr) return 0;
    IWICComponentInfo* info = nullptr;
    if (FAILED(wic->CreateComponentInfo(wicFormat, &info))) return 0;
    WICComponentType type{};
    IWICPixelFormatInfo* pixelInfo = nullptr;
    UINT bits = 0;
    if (SUCCEEDED(info->GetComponentType(&type)) && type == WICPixelFormat &&
        SUCCEEDED(info->QueryInterface(__uuidof(IWICPixelFormatInfo), reinterpret_cast<void**>(&pixelInfo)))) {
        if (FAILED(pixelInfo->GetBitsPerPixel(&bits))) bits = 0;
        pixelInfo->Release();
    }
    info->Release();
    return bits;
}

DXGI_FORMAT toSrgbFormat(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R8G8B8A8_UNORM: return DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
        case DXGI_FORMAT_BC1_UNORM: return DXGI_FORMAT_BC1_UNORM_SRGB;
        case DXGI_FORMAT_BC2_UNORM: return DXGI_FORMAT_BC2_UNORM_SRGB;
        case DXGI_FORMAT_BC3_UNORM: return DXGI_FORMAT_BC3_UNORM_SRGB;
        case DXGI_FORMAT_B8G8R8A8_UNORM: return DXGI_FORMAT_B8G8R8A8_UNORM_SRGB;
        case DXGI_FORMAT_B8G8R8X8_UNORM: return DXGI_FORMAT_B8G8R8X8_UNORM_SRGB;
        case DXGI_FORMAT_BC7_UNORM: return DXGI_FORMAT_BC7_UNORM_SRGB;
        default: return format;
    }
}

uint32_t maxTextureSize(D3D_FEATURE_LEVEL level) {
    switch (level) {
        case D3D_FEATURE_LEVEL_9_1:
        case D3D_FEATURE_LEVEL_9_2: return 2048;
        case D3D_FEATURE_LEVEL_9_3: return 4096;
        case D3D_FEATURE_LEVEL_10_0:
        case D3D_FEATURE_LEVEL_10_1: return 8192;
        default: return 16384;
    }
}

void fitTextureSize(uint32_t width, uint32_t height, uint32_t limit, uint32_t& targetWidth, uint32_t& targetHeight) {
    targetWidth = width;
    targetHeight = height;
    if (width <= limit && height <= limit) return;
    const float ratio = static_cast<float>(height) / static_cast<float>(width);
    if (width > height) {
        targetWidth = limit;
        targetHeight = std::max<uint32_t>(1, static_cast<uint32_t>(static_cast<float>(limit) * ratio));
    } else {
        targetHeight = limit;
        targetWidth = std::max<uint32_t>(1, static_cast<uint32_t>(static_cast<float>(limit) / ratio));
    }
}

HRESULT CreateWICTextureFromMemory(ID3D11Device* device, const uint8_t* bytes, size_t size, ID3D11Texture2D** texture,
                                   ID3D11ShaderResourceView** view) {
    *texture = nullptr;
    *view = nullptr;
    if (device == nullptr || bytes == nullptr) return E_INVALIDARG;
    if (size == 0) return E_FAIL;
    if (getImagingFactory() == nullptr) return E_NOINTERFACE;
    IWICStream* stream = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    HRESULT hr = decodeFrame(bytes, size, &stream, &decoder, &frame);
    if (SUCCEEDED(hr)) hr = createTextureFromFrame(device, frame, bytes, size, texture, view);
    release(frame);
    release(decoder);
    release(stream);
    return hr;
}

bool pngHasSrgbChunk(const uint8_t* bytes, size_t size) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size < 8 || std::memcmp(bytes, kSignature, 8) != 0) return false;
    for (size_t at = 8; at + 8 <= size;) {
        const size_t length = (size_t{bytes[at]} << 24) | (size_t{bytes[at + 1]} << 16) | (size_t{bytes[at + 2]} << 8) |
                              bytes[at + 3];
        if (std::memcmp(bytes + at + 4, "sRGB", 4) == 0) return true;
        if (std::memcmp(bytes + at + 4, "IDAT", 4) == 0) return false;
        if (length > size - at - 8) return false;
        at += 12 + length;
    }
    return false;
}

bool matchEncoderFormat(const GUID& answered, std::vector<uint8_t>& pixels) {
    if (answered == GUID_WICPixelFormat32bppRGBA) return true;
    if (answered != GUID_WICPixelFormat32bppBGRA) return false;
    for (size_t i = 0; i < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);
    return true;
}

bool encodePng(const uint8_t* rgba, uint32_t width, uint32_t height, std::string& png) {
    IWICImagingFactory* wic = getImagingFactory();
    if (wic == nullptr) return false;
    IStream* memory = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppRGBA;
    const UINT pitch = width * 4;
    std::vector<uint8_t> pixels(rgba, rgba + static_cast<size_t>(pitch) * height);
    HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, &memory);
    if (SUCCEEDED(hr)) hr = wic->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(hr)) hr = encoder->Initialize(memory, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, nullptr);
    if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
    if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && !matchEncoderFormat(format, pixels)) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(hr)) hr = frame->WritePixels(height, pitch, static_cast<UINT>(pixels.size()), pixels.data());
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    HGLOBAL global = nullptr;
    if (SUCCEEDED(hr)) hr = ::GetHGlobalFromStream(memory, &global);
    STATSTG stat{};
    if (SUCCEEDED(hr)) hr = memory->Stat(&stat, STATFLAG_NONAME);
    if (SUCCEEDED(hr)) {
        const void* data = ::GlobalLock(global);
        png.assign(static_cast<const char*>(data), static_cast<size_t>(stat.cbSize.QuadPart));
        ::GlobalUnlock(global);
    }
    release(frame);
    release(encoder);
    release(memory);
    return SUCCEEDED(hr);
}

bool decodeToRgba(const uint8_t* bytes, size_t size, std::vector<uint8_t>& rgba, uint32_t& width, uint32_t& height) {
    IWICStream* stream = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    HRESULT hr = decodeFrame(bytes, size, &stream, &decoder, &frame);
    UINT w = 0, h = 0;
    WICPixelFormatGUID source{};
    if (SUCCEEDED(hr)) hr = frame->GetSize(&w, &h);
    if (SUCCEEDED(hr)) hr = frame->GetPixelFormat(&source);
    if (SUCCEEDED(hr)) {
        rgba.assign(static_cast<size_t>(w) * h * 4, 0);
        hr = source == GUID_WICPixelFormat32bppRGBA
                 ? frame->CopyPixels(nullptr, w * 4, static_cast<UINT>(rgba.size()), rgba.data())
                 : convertAndCopy(getImagingFactory(), frame, source, GUID_WICPixelFormat32bppRGBA, w * 4, rgba);
    }
    release(frame);
    release(decoder);
    release(stream);
    width = w;
    height = h;
    return SUCCEEDED(hr);
}

}  // namespace orlith
