// Orlith on Windows: wWinMain, the window class and procedure (its messages turned into each
// frame's input snapshot), start-up inside WM_CREATE, the message pump that runs the shared frame
// loop whenever no message waits, shut-down inside WM_DESTROY.
#include <windows.h>
#include <windowsx.h>
#include <commctrl.h>
#include <d2d1.h>
#include <dwrite.h>
#include <intrin.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/frame_loop.h"
#include "app/startup.h"
#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "platform/native_files.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/wininet_http.h"
#include "render/d3d11/d3d11_renderer.h"
#include "render/d3d11/wic_texture.h"
#include "render/render.h"
#include "ui/win32/win32_dialogs.h"

namespace orlith {
namespace {

// The error boxes of the entry point and of start-up.
constexpr ErrorSite kProcessorSite{563, u"XMVerifyCPUSupport\nCPU not Supported."};
constexpr ErrorSite kComSite{568, u"CoInitialize"};
constexpr ErrorSite kCreateWindowSite{652, u"CreateWindow"};
constexpr ErrorSite kD2dFactorySite{898, u"D2D1CreateFactory"};
constexpr ErrorSite kDWriteFactorySite{905, u"DWriteCreateFactory"};
constexpr ErrorSite kTextFormatSite{919, u"CreateTextFormat"};

constexpr wchar_t kClassName[] = L"OrlithWndClass";
constexpr DWORD kWindowStyle = 0x00CA0000;  // caption, system menu, minimise box; no resizing

template <typename T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

bool encodeScreenshot(const std::vector<uint8_t>& rgba, int width, int height, std::string& png) {
    return encodePng(rgba.data(), static_cast<uint32_t>(width), static_cast<uint32_t>(height), png);
}

struct App {
    HINSTANCE instance = nullptr;
    RunSetUp setUp;
    Options& options = setUp.options;
    Win32Platform platform;
    std::shared_ptr<Win32NetworkHost> host = std::make_shared<Win32NetworkHost>(platform);
    std::unique_ptr<GameState> state = makeGameState();
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::unique_ptr<Win32Dialogs> dialogs;
    std::unique_ptr<NetworkLink> network;  // online only
    ID2D1Factory* d2dFactory = nullptr;
    IDWriteFactory* dwriteFactory = nullptr;
    IDWriteTextFormat* hudTextFormat = nullptr;
    std::unique_ptr<D3D11Renderer> renderer;
    std::unique_ptr<FrameLoop> loop;
    InputSnapshot input;  // pointer events since the last frame; keys and focus sampled before it
    StartUpResult startUp = StartUpResult::refused;
    int exitCode = 0;

    bool start(HWND window);
    void stop();
    void frame();
    void finish();
};

App* gApp = nullptr;  // the window procedure's way to the program's state

// Start-up inside WM_CREATE, in order: common controls, the window's place, the HUD's factories
// and text format, the graphics, then the game's own start-up (settings, level 1, the
// registration dialog, the saved game or the server's check, the worker).
bool App::start(HWND window) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&controls);
    platform.mainWindow = window;
    dialogs->owner = window;

    // The client area becomes exactly the picture's size, centred in the work area.
    RECT client{}, outer{}, workArea{};
    ::GetClientRect(window, &client);
    ::GetWindowRect(window, &outer);
    outer.right += state->windowWidth - (client.right - client.left);
    outer.bottom += state->windowHeight - (client.bottom - client.top);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    ::MoveWindow(window, workArea.left + (workArea.right - workArea.left - width) / 2,
                 workArea.top + (workArea.bottom - workArea.top - height) / 2,
                 width, height, FALSE);

    if (FAILED(::D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                   reinterpret_cast<void**>(&d2dFactory)))) {
        reportError(platform, kD2dFactorySite);
        return false;
    }
    if (FAILED(::DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                     reinterpret_cast<IUnknown**>(&dwriteFactory)))) {
        reportError(platform, kDWriteFactorySite);
        return false;
    }
    if (FAILED(dwriteFactory->CreateTextFormat(L"ＭＳ ゴシック", nullptr, DWRITE_FONT_WEIGHT_BOLD, DWRITE_FONT_STYLE_NORMAL,
                                               DWRITE_FONT_STRETCH_NORMAL, 24.0f, L"ja-jp", &hudTextFormat)) ||
        FAILED(hudTextFormat->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_NEAR))) {
        reportError(platform, kTextFormatSite);
        return false;
    }
    renderer = std::make_unique<D3D11Renderer>(window, platform, d2dFactory, hudTextFormat, state->windowWidth,
                                               state->windowHeight);
    renderer->keepPictures(!options.screenshotPath.empty());
    if (renderer->initGraphics() == 0) return false;

    state->netFpsSwitch = options.netFps ? 1 : 0;
    StartUpParts parts{platform, *dialogs, [] { return std::make_shared<WinInetHttpClient>(); }, host,
                       [this](int32_t level) { return restoreLevel(*state, *work, level, nullptr); }};
    RegistrationChoices choices{options.nickname, options.pin, options.server, options.port,
                                !options.nickname.empty() || !options.pin.empty() || !options.server.empty() ||
                                    !options.port.empty(),
                                options.offline, options.start};
    startUp = startUpGame(*state, *work, parts, choices, network);
    if (startUp != StartUpResult::play) return false;
    loop = std::make_unique<FrameLoop>(*state, *work, setUp,
                                       LoopParts{platform, *renderer, encodeScreenshot, host.get(), network.get(),
                                                 dialogs.get()});
    return true;
}

// Shut-down inside WM_DESTROY: the worker first (its exchange cut off, at most 3,000 ms), then
// the Internet handles, the graphics, the text objects.
void App::stop() {
    if (network) network->shutDown();
    loop.reset();
    network.reset();
    if (renderer) renderer->releaseGraphics();
    renderer.reset();
    release(hudTextFormat);
    release(dwriteFactory);
    release(d2dFactory);
}

// One frame of the shared loop on the devices' snapshot; then the rest of its slot asleep.
void App::frame() {
    platform.sampleDevices(input);
    platform.sleepMs(loop->runFrame(input));
    input.clearEvents();
}

// The run is over (frame count, end of the demo, or closed): its outputs, then the window goes.
void App::finish() {
    if (loop != nullptr) exitCode = loop->finish();
    if (platform.mainWindow != nullptr) ::DestroyWindow(platform.mainWindow);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    App& app = *gApp;
    switch (message) {
        case WM_CREATE: return app.start(window) ? 0 : -1;
        case WM_DESTROY:
            app.stop();
            app.platform.mainWindow = nullptr;
            app.dialogs->owner = nullptr;
            ::PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            // Closed by the player: the outputs are kept; closed after a failed exchange: the game
            // ends with a failing status, as its box said (the loop knows which).
            app.finish();
            return 0;
        case WM_MOUSEMOVE:
            app.input.addPointerEvent({PointerEvent::move, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_LBUTTONDOWN:
            ::SetCapture(window);
            app.input.addPointerEvent({PointerEvent::down, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_LBUTTONUP:
            ::ReleaseCapture();
            app.input.addPointerEvent({PointerEvent::up, 0, 0});
            return 0;
        case WM_MOUSEWHEEL:
            app.input.addPointerEvent({PointerEvent::wheel, GET_WHEEL_DELTA_WPARAM(wParam), 0});
            return 0;
        default: return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// The command line as UTF-8 arguments for the shared option parser.
bool commandLineArguments(std::vector<std::string>& args) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return false;
    for (int i = 0; i < count; ++i) args.push_back(narrow(wide[i]));
    ::LocalFree(wide);
    return true;
}

int run(HINSTANCE instance, const wchar_t* commandLine, int show) {
    App app;
    gApp = &app;
    app.instance = instance;
    std::vector<std::string> args;
    if (!commandLineArguments(args)) {
        std::fputs("orlith: cannot read the command line\n", stderr);
        return 2;
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    if (int status = prepareRun(static_cast<int>(argv.size()), argv.data(), app.platform, app.setUp); status >= 0) {
        return status;
    }
    // The switch is looked for in the whole command line, as typed.
    app.options.netFps = hasNetFpsSwitch(reinterpret_cast<const char16_t*>(commandLine));
    app.platform.pacing = app.options.pacing;
    app.platform.unattended = app.options.start;
    app.dialogs = std::make_unique<Win32Dialogs>(instance);
    app.dialogs->unattended = app.options.start;

    int leaf0[4] = {}, leaf1[4] = {};
    __cpuid(leaf0, 0);
    if (leaf0[0] >= 1) __cpuid(leaf1, 1);
    if (!processorSupported(static_cast<uint32_t>(leaf0[0]), static_cast<uint32_t>(leaf1[3]))) {
        reportError(app.platform, kProcessorSite);
        return 1;
    }
    if (FAILED(::CoInitialize(nullptr))) {
        reportError(app.platform, kComSite);
        return 1;
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(101));
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    ::RegisterClassExW(&windowClass);

    int screenWidth = app.options.screenWidth, screenHeight = app.options.screenHeight;
    if (screenWidth == 0) {
        screenWidth = ::GetSystemMetrics(SM_CXSCREEN);
        screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
    }
    app.state->windowWidth = 1024;
    app.state->windowHeight = windowHeightForScreen(screenWidth, screenHeight);
    HWND window = ::CreateWindowExW(0, kClassName, L"Orlith", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                    app.state->windowWidth, app.state->windowHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        // A window closed during a long restore is a normal end; every other refusal is reported.
        const bool abandoned = app.startUp == StartUpResult::abandoned;
        if (!abandoned) reportError(app.platform, kCreateWindowSite);
        ::CoUninitialize();
        return abandoned ? 0 : 1;
    }
    ::ShowWindow(window, show);
    ::UpdateWindow(window);

    MSG message{};
    for (;;) {
        if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) break;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
            continue;
        }
        if (app.platform.mainWindow == nullptr) continue;  // destroyed: the quit message follows
        if (app.loop->over()) {
            app.finish();
            continue;
        }
        app.frame();
    }
    ::CoUninitialize();
    return app.exitCode != 0 ? app.exitCode : static_cast<int>(message.wParam);
}

}  // namespace
}  // namespace orlith

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int show) {
    return orlith::run(instance, commandLine, show);
}
