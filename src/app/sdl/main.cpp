// Orlith on Linux: the entry point. Makes the SDL window, the OpenGL backend and the ImGui
// dialogs, runs the shared start-up, then feeds the shared frame loop a snapshot of the devices
// each frame and sleeps what the frame leaves of its slot; shut-down in reverse.
#include <SDL.h>

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
#include "platform/curl/curl_http.h"
#include "platform/sdl/sdl_gl_context.h"
#include "platform/sdl/sdl_platform.h"
#include "platform/sdl/sdl_window.h"
#include "render/gl/gl_renderer.h"
#include "render/gl/hud_font.h"
#include "render/gl/png.h"
#include "ui/imgui/imgui_dialogs.h"

namespace orlith {
namespace {

// Where the start-up failures are reported: the error box's site numbers and names.
constexpr ErrorSite kInitSite{568, u"SDL_Init"};
constexpr ErrorSite kWindowSite{652, u"SDL_CreateWindow"};
constexpr ErrorSite kCreateWindowSite{652, u"CreateWindow"};
constexpr int kFontSiteNumber = 919;

struct App {
    RunSetUp setUp;
    Options& options = setUp.options;
    SdlPlatform platform;
    HudFont font;
    FontHudPainter painter{font};
    SdlWindow window;
    std::unique_ptr<SdlGlContext> glContext;
    std::unique_ptr<GlRenderer> renderer;
    std::unique_ptr<GameState> state = makeGameState();
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::unique_ptr<ImGuiDialogs> dialogs;
    std::shared_ptr<NetworkMailbox> mailbox;
    std::unique_ptr<NetworkLink> network;  // online only
    std::unique_ptr<FrameLoop> loop;
    KeyMap keys;  // setting.ini's moved keys

    int run(int argc, char** argv) {
        if (int status = prepareRun(argc, argv, platform, setUp); status >= 0) return status;
        platform.unattended = options.start;
        SDL_SetHint(SDL_HINT_APP_NAME, "Orlith");
        SDL_setenv("SDL_VIDEO_X11_WMCLASS", "Orlith", 0);
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER | SDL_INIT_GAMECONTROLLER) != 0) {
            std::fprintf(stderr, "Orlith: %s\n", SDL_GetError());
            reportError(platform, kInitSite);
            return 1;  // no video at all: the box could only go to stderr
        }
        int status = 1;  // without a window the box could only go to stderr
        if (openWindow()) {
            status = boxedEndStatus(options);
            if (startUp(status)) status = playFrames();
        }
        shutDown();
        SDL_Quit();
        return status;
    }

    bool openWindow() {
        int32_t screenWidth = options.screenWidth, screenHeight = options.screenHeight;
        // No display mode to ask: size for the common screen.
        if (screenWidth == 0 && !SdlWindow::desktopSize(screenWidth, screenHeight)) screenWidth = 1920, screenHeight = 1080;
        sizeWindow(*state, screenWidth, screenHeight);
        if (!window.create(state->windowWidth, state->windowHeight)) {
            std::fprintf(stderr, "Orlith: %s\n", SDL_GetError());
            reportError(platform, kWindowSite);
            return false;
        }
        platform.window = window.handle();
        EmbeddedBytes iconPng = embeddedIconPng();
        DecodedImage icon;
        std::string error;
        if (decodePng(iconPng.data, iconPng.size, icon, error)) window.setIcon(icon.rgba.data(), icon.width, icon.height);
        return true;
    }

    // Start-up: font, graphics, dialogs, then the shared start-up (settings, level 1, the
    // registration dialog, the saved game or the server). True to play; else the exit status.
    bool startUp(int& status) {
        std::string failed, detail;
        if (!font.open(24.0f, failed, detail)) {
            if (!detail.empty()) std::fprintf(stderr, "Orlith: %s\n", detail.c_str());
            reportError(platform, kFontSiteNumber, utf8ToUtf16(failed).c_str());
            return reportError(platform, kCreateWindowSite), false;
        }
        glContext = std::make_unique<SdlGlContext>(window.handle(), platform);
        renderer = std::make_unique<GlRenderer>(*glContext, platform, painter, state->windowWidth, state->windowHeight);
        if (renderer->initGraphics() == 0) return reportError(platform, kCreateWindowSite), false;
        state->netFpsSwitch = options.netFps ? 1 : 0;
        dialogs = std::make_unique<ImGuiDialogs>(window.handle());
        dialogs->unattended = options.start;
        // Before the first frame there is no picture to show under a dialog.
        dialogs->lastPicture = [this](std::vector<uint8_t>& rgba, int& width, int& height) {
            width = renderer->width(), height = renderer->height();
            return loop != nullptr && loop->presented() && renderer->readPicture(rgba);
        };
        platform.dialogs = dialogs.get();
        if (std::string problem; !readKeyMap(platform, keys, problem)) platform.showMessage(utf8ToUtf16(problem), MessageKind::error);
        mailbox = std::make_shared<NetworkMailbox>(platform);
        // A restore past the level table shows its progress; closing the window abandons it.
        StartUpParts parts{platform, *dialogs, [] { return std::make_shared<CurlHttpClient>(); }, mailbox,
                           [this](float fraction, const char16_t* text) {
                               InputSnapshot ignored;
                               if (!window.pumpEvents(ignored)) return false;
                               if (renderer->initGraphics() != 0) renderer->drawProgress(fraction, text);
                               return true;
                           }};
        switch (startUpGame(*state, *work, parts, registrationChoices(options), network)) {
            case StartUpResult::play: return true;
            case StartUpResult::abandoned: return status = 0, false;  // closed during the restore: a normal end
            case StartUpResult::refused: break;
        }
        return reportError(platform, kCreateWindowSite), false;
    }

    // The shared loop on the devices' snapshot; each frame then sleeps the rest of its slot.
    int playFrames() {
        loop = std::make_unique<FrameLoop>(*state, *work, setUp,
                                           LoopParts{platform, *renderer, encodePng, mailbox.get(), network.get(),
                                                     dialogs.get()});
        // A failed exchange's box stands over the running game, as a box of the worker's thread
        // does on Windows; the game ends when it is answered.
        mailbox->showWhilePlaying = [this](std::u16string_view text) {
            std::fprintf(stderr, "Orlith: %s\n", utf16ToUtf8(text).c_str());
            if (options.start || !dialogs->canShow()) return;  // nobody to answer it
            dialogs->runErrorBoxOverGame(text, [this] {
                InputSnapshot away;  // the box has the keyboard and the mouse
                renderer->presentFrames = false;
                const uint32_t wait = loop->over() ? 16 : loop->runFrame(away);
                renderer->presentFrames = true;
                return wait;
            });
        };
        InputSnapshot input;
        while (!loop->over()) {
            input.clearEvents();
            if (!window.pumpEvents(input)) break;
            platform.sampleDevices(input, keys);
            applyPad(window.readPad(), input);
            platform.sleepMs(loop->runFrame(input));
        }
        mailbox->showWhilePlaying = nullptr;
        return loop->finish();
    }

    void shutDown() {
        // The worker is stopped first, before anything it could reach goes away.
        if (network) network->shutDown();
        loop.reset();
        network.reset();
        if (renderer) renderer->releaseGraphics();
        renderer.reset();
        glContext.reset();
        platform.window = nullptr;
        platform.dialogs = nullptr;
        dialogs.reset();
        window.destroy();
    }
};

}  // namespace
}  // namespace orlith

int main(int argc, char** argv) {
    auto app = std::make_unique<orlith::App>();
    return app->run(argc, argv);
}
