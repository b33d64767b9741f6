// Orlith on Windows: wWinMain and the window procedure. Start-up runs inside WM_CREATE and
// shut-down inside WM_DESTROY; the message pump runs the shared frame loop whenever no message
// waits, on a snapshot of the keys and the mouse messages since the last frame.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/frame_loop.h"
#include "app/startup.h"
#include "base/text.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "platform/win32/win32_pads.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_window.h"
#include "platform/win32/wininet_http.h"
#include "render/d3d11/d3d11_renderer.h"
#include "render/d3d11/hud_text.h"
#include "render/d3d11/wic_texture.h"
#include "ui/win32/win32_dialogs.h"

namespace orlith {
namespace {

// The error boxes of the entry point.
constexpr ErrorSite kProcessorSite{563, u"XMVerifyCPUSupport\nCPU not Supported."};
constexpr ErrorSite kComSite{568, u"CoInitialize"};
constexpr ErrorSite kCreateWindowSite{652, u"CreateWindow"};

struct App {
    RunSetUp setUp;
    Options& options = setUp.options;
    Win32Platform platform;
    std::shared_ptr<Win32NetworkHost> host = std::make_shared<Win32NetworkHost>(platform);
    std::unique_ptr<GameState> state = makeGameState();
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::unique_ptr<Win32Dialogs> dialogs;
    std::unique_ptr<NetworkLink> network;  // online only
    HudText hudText;
    std::unique_ptr<D3D11Renderer> renderer;
    std::unique_ptr<FrameLoop> loop;
    InputSnapshot input;  // mouse messages since the last frame; keys and focus sampled before it
    KeyMap keys;          // setting.ini's moved keys
    XInputPads pads;
    StartUpResult startUp = StartUpResult::refused;
    int exitCode = 0;

    // Inside WM_CREATE, in order: common controls, the window's place, the HUD's text objects,
    // the graphics, then the shared start-up (settings, level 1, the registration dialog, the
    // saved game or the server's check, the worker).
    bool start(HWND window) {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
        ::InitCommonControlsEx(&controls);
        platform.mainWindow = window;
        dialogs->owner = window;
        placeClientArea(window, state->windowWidth, state->windowHeight);
        if (!hudText.create(platform)) return false;
        renderer = std::make_unique<D3D11Renderer>(window, platform, hudText.d2dFactory, hudText.format,
                                                   state->windowWidth, state->windowHeight);
        if (renderer->initGraphics() == 0) return false;
        state->netFpsSwitch = options.netFps ? 1 : 0;
        if (std::string problem; !readKeyMap(platform, keys, problem)) platform.showMessage(utf8ToUtf16(problem), MessageKind::error);
        StartUpParts parts{platform, *dialogs, [] { return std::make_shared<WinInetHttpClient>(); }, host, nullptr};
        startUp = startUpGame(*state, *work, parts, registrationChoices(options), network);
        if (startUp != StartUpResult::play) return false;
        loop = std::make_unique<FrameLoop>(*state, *work, setUp,
                                           LoopParts{platform, *renderer, encodePng, host.get(), network.get(),
                                                     dialogs.get()});
        return true;
    }

    // Inside WM_DESTROY: the worker first (its exchange cut off, at most 3,000 ms), then the
    // Internet handles, the graphics, the text objects.
    void stop() {
        if (network) network->shutDown();
        loop.reset();
        network.reset();
        if (renderer) renderer->releaseGraphics();
        renderer.reset();
        hudText.release();
        platform.mainWindow = nullptr;
        dialogs->owner = nullptr;
    }

    // One frame of the shared loop on the devices' snapshot; then the rest of its slot asleep.
    void frame() {
        platform.sampleDevices(input, keys);
        applyPad(pads.read(), input);
        platform.sleepMs(loop->runFrame(input));
        input.clearEvents();
    }

    // The run is over (its frame count, its demo, or closed by the player or after a failed
    // exchange): the loop writes its outputs and says the status, then the window goes.
    void finish() {
        if (loop != nullptr) exitCode = loop->finish();
        if (platform.mainWindow != nullptr) ::DestroyWindow(platform.mainWindow);
    }
};

App* gApp = nullptr;  // the window procedure's way to the program's state

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    App& app = *gApp;
    if (pointerMessage(window, message, wParam, lParam, app.input)) return 0;
    switch (message) {
        case WM_CREATE: return app.start(window) ? 0 : -1;
        case WM_DESTROY: app.stop(), ::PostQuitMessage(0); return 0;
        case WM_CLOSE: app.finish(); return 0;
        default: return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

int run(HINSTANCE instance, const wchar_t* commandLine, int show) {
    App app;
    gApp = &app;
    std::vector<std::string> args;
    if (!commandLineArguments(args)) return std::fputs("orlith: cannot read the command line\n", stderr), 2;
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    if (int status = prepareRun(static_cast<int>(argv.size()), argv.data(), app.platform, app.setUp); status >= 0) {
        return status;
    }
    // The switch is looked for in the whole command line, as typed.
    app.options.netFps = hasNetFpsSwitch(reinterpret_cast<const char16_t*>(commandLine));
    app.platform.unattended = app.options.start;
    app.dialogs = std::make_unique<Win32Dialogs>(instance);
    app.dialogs->unattended = app.options.start;
    app.dialogs->padStartPressed = [&app] { return app.pads.startPressed(); };

    uint32_t highestLeaf = 0, leaf1Edx = 0;
    processorIdentification(highestLeaf, leaf1Edx);
    if (!processorSupported(highestLeaf, leaf1Edx)) return reportError(app.platform, kProcessorSite), boxedEndStatus(app.options);
    if (FAILED(::CoInitialize(nullptr))) return reportError(app.platform, kComSite), boxedEndStatus(app.options);
    registerWindowClass(instance, windowProcedure);

    int screenWidth = app.options.screenWidth, screenHeight = app.options.screenHeight;
    if (screenWidth == 0) screenWidth = ::GetSystemMetrics(SM_CXSCREEN), screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
    sizeWindow(*app.state, screenWidth, screenHeight);
    HWND window = ::CreateWindowExW(0, kWindowClassName, L"Orlith", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                    app.state->windowWidth, app.state->windowHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        // A window closed during a long restore is a normal end; every other refusal is reported.
        const bool abandoned = app.startUp == StartUpResult::abandoned;
        if (!abandoned) reportError(app.platform, kCreateWindowSite);
        ::CoUninitialize();
        return abandoned ? 0 : boxedEndStatus(app.options);
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
        } else {
            app.frame();
        }
    }
    ::CoUninitialize();
    return app.exitCode != 0 ? app.exitCode : static_cast<int>(message.wParam);
}

}  // namespace
}  // namespace orlith

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int show) {
    const int status = orlith::run(instance, commandLine, show);
    // Everything the run owns is released and its files are closed. What is left is the
    // system DLLs' and the graphics driver's own clean-up, which can outlast a loaded machine's
    // patience (Wine kills a process that is slow to end, and its status is lost): end here.
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    return status;
}
