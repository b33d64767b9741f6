// Orlith on Linux: entry point, window, start-up, shut-down, and the SDL events turned into each
// frame's input snapshot for the shared frame loop.
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/frame_loop.h"
#include "app/startup.h"
#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "platform/curl/curl_http.h"
#include "platform/sdl/sdl_gl_context.h"
#include "platform/sdl/sdl_platform.h"
#include "render/gl/gl_renderer.h"
#include "render/gl/hud_font.h"
#include "render/gl/png.h"
#include "render/render.h"
#include "ui/imgui/imgui_dialogs.h"

namespace orlith {
namespace {

// Where the start-up failures are reported: the error box's site numbers and names.
constexpr ErrorSite kInitSite{568, u"SDL_Init"};
constexpr ErrorSite kWindowSite{652, u"SDL_CreateWindow"};
constexpr ErrorSite kCreateWindowSite{652, u"CreateWindow"};
constexpr int kFontSiteNumber = 919;

bool encodeScreenshot(const std::vector<uint8_t>& rgba, int width, int height, std::string& png) {
    std::vector<uint8_t> bytes;
    if (!encodePng(rgba.data(), width, height, true, bytes)) return false;
    png.assign(bytes.begin(), bytes.end());
    return true;
}

// Window pixels to picture pixels (they differ only in full screen, where it is letterboxed).
void toPicture(SDL_Window* window, int width, int height, int wx, int wy, int32_t& px, int32_t& py) {
    int ww = 0, wh = 0;
    SDL_GetWindowSize(window, &ww, &wh);
    if (ww <= 0 || wh <= 0 || (ww == width && wh == height)) {
        px = wx;
        py = wy;
        return;
    }
    double scale = std::min(static_cast<double>(ww) / width, static_cast<double>(wh) / height);
    double ox = (ww - width * scale) / 2, oy = (wh - height * scale) / 2;
    px = static_cast<int32_t>((wx - ox) / scale);
    py = static_cast<int32_t>((wy - oy) / scale);
}

struct App {
    RunSetUp setUp;
    Options& options = setUp.options;
    SdlPlatform platform;
    HudFont font;
    SDL_Window* window = nullptr;
    std::unique_ptr<SdlGlContext> glContext;
    std::unique_ptr<GlRenderer> renderer;
    std::unique_ptr<GameState> state = makeGameState();
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::unique_ptr<ImGuiDialogs> dialogs;
    std::shared_ptr<NetworkMailbox> mailbox;
    std::unique_ptr<FrameLoop> loop;
    std::unique_ptr<NetworkLink> network;  // online only
    bool quit = false;
    InputSnapshot input;  // the devices, as the next frame sees them

    // Handles every pending event; pointer events go into this frame's snapshot.
    void pumpEvents() {
        SDL_Event e;
        while (SDL_PollEvent(&e) != 0) {
            int32_t px = 0, py = 0;
            switch (e.type) {
                case SDL_QUIT: quit = true; break;
                case SDL_KEYDOWN:
                    if (e.key.keysym.scancode == SDL_SCANCODE_RETURN && (e.key.keysym.mod & KMOD_ALT) != 0 &&
                        e.key.repeat == 0) {
                        bool full = (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN_DESKTOP) != 0;
                        SDL_SetWindowFullscreen(window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
                    }
                    break;
                case SDL_MOUSEBUTTONDOWN:
                    if (e.button.button == SDL_BUTTON_LEFT) {
                        SDL_CaptureMouse(SDL_TRUE);  // the drag goes on outside the window
                        toPicture(window, state->windowWidth, state->windowHeight, e.button.x, e.button.y, px, py);
                        input.addPointerEvent({PointerEvent::down, px, py});
                    }
                    break;
                case SDL_MOUSEBUTTONUP:
                    if (e.button.button == SDL_BUTTON_LEFT) {
                        SDL_CaptureMouse(SDL_FALSE);
                        input.addPointerEvent({PointerEvent::up, 0, 0});
                    }
                    break;
                case SDL_MOUSEMOTION:
                    toPicture(window, state->windowWidth, state->windowHeight, e.motion.x, e.motion.y, px, py);
                    input.addPointerEvent({PointerEvent::move, px, py});
                    break;
                case SDL_MOUSEWHEEL: {
                    // 120 per notch; SDL counts away from the player positive, as the game does.
                    float notches = e.wheel.preciseY;
                    if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) notches = -notches;
                    auto delta = static_cast<int32_t>(notches * 120.0f);
                    if (delta != 0) input.addPointerEvent({PointerEvent::wheel, delta, 0});
                    break;
                }
                default: break;
            }
        }
    }

    // Start-up: font, graphics, defaults, settings, level 1, then the offline restore.
    // Returns 0 to go on, else the exit code.
    int startUp() {
        std::string failed, detail;
        if (!font.open(24.0f, failed, detail)) {
            if (!detail.empty()) std::fprintf(stderr, "Orlith: %s\n", detail.c_str());
            std::u16string name = utf8ToUtf16(failed);
            reportError(platform, kFontSiteNumber, name.c_str());
            return 1;
        }
        glContext = std::make_unique<SdlGlContext>(window, platform);
        renderer = std::make_unique<GlRenderer>(*glContext, platform, font, state->windowWidth, state->windowHeight);
        if (renderer->initGraphics() == 0) return 1;
        if (options.netFps) state->netFpsSwitch = 1;
        dialogs = std::make_unique<ImGuiDialogs>(window);
        dialogs->unattended = options.start;
        // Before the first frame there is no picture to show under a dialog.
        dialogs->lastPicture = [this](std::vector<uint8_t>& rgba, int& width, int& height) {
            width = renderer->width();
            height = renderer->height();
            return loop != nullptr && loop->presented() && renderer->readPicture(rgba);
        };
        platform.dialogs = dialogs.get();
        mailbox = std::make_shared<NetworkMailbox>(platform);
        StartUpParts parts{platform, *dialogs, [] { return std::make_shared<CurlHttpClient>(); }, mailbox,
                           [this](int32_t level) { return restoreWithProgress(level); }};
        RegistrationChoices choices{options.nickname, options.pin, options.server, options.port,
                                    !options.nickname.empty() || !options.pin.empty() || !options.server.empty() ||
                                        !options.port.empty(),
                                    options.offline, options.start};
        switch (startUpGame(*state, *work, parts, choices, network)) {
            case StartUpResult::play: return 0;
            case StartUpResult::refused: return 1;
            case StartUpResult::abandoned: return -1;  // the window was closed: a normal end
        }
        return 1;
    }

    // One generation from the level table, or many past its end: show it, and let closing the
    // window end it.
    bool restoreWithProgress(int32_t targetLevel) {
        uint32_t lastDraw = 0;
        return restoreLevel(*state, *work, targetLevel, [&](int64_t done, int64_t total) {
            SDL_Event e;
            while (SDL_PollEvent(&e) != 0) {
                if (e.type == SDL_QUIT) quit = true;
            }
            if (quit) return false;
            uint32_t now = SDL_GetTicks();
            if (now - lastDraw >= 50 && renderer->initGraphics() != 0) {
                char16_t text[32];
                long long loading = targetLevel - total + done + 1;  // the level being generated
                formatText(text, 32, u"Loading level %ld / %ld", loading, static_cast<long long>(targetLevel));
                renderer->drawProgress(total > 0 ? static_cast<float>(done) / static_cast<float>(total) : 1.0f, text);
                lastDraw = now;
            }
            return true;
        });
    }

    int run(int argc, char** argv) {
        if (int status = prepareRun(argc, argv, platform, setUp); status >= 0) return status;
        platform.pacing = options.pacing;
        platform.unattended = options.start;

        SDL_SetHint(SDL_HINT_APP_NAME, "Orlith");
        SDL_setenv("SDL_VIDEO_X11_WMCLASS", "Orlith", 0);
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) != 0) {
            std::fprintf(stderr, "Orlith: %s\n", SDL_GetError());
            reportError(platform, kInitSite);
            return 1;
        }
        int code = runWindow();
        SDL_Quit();
        return code;
    }

    int runWindow() {
        int screenW = options.screenWidth, screenH = options.screenHeight;
        SDL_Rect usable{0, 0, 0, 0};
        SDL_DisplayMode mode;
        if (screenW == 0) {
            if (SDL_GetDesktopDisplayMode(0, &mode) == 0) {
                screenW = mode.w;
                screenH = mode.h;
            } else {
                screenW = 1920, screenH = 1080;  // no display mode to ask: the common screen
            }
        }
        state->windowWidth = 1024;
        state->windowHeight = windowHeightForScreen(screenW, screenH);
        if (state->windowHeight < 1) state->windowHeight = 1;
        if (state->windowHeight > 16384) state->windowHeight = 16384;
        int x = SDL_WINDOWPOS_CENTERED, y = SDL_WINDOWPOS_CENTERED;
        if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0) {
            x = usable.x + (usable.w - state->windowWidth) / 2;
            y = usable.y + (usable.h - state->windowHeight) / 2;
        }
        SdlGlContext::requestCoreProfile();
        window = SDL_CreateWindow("Orlith", x, y, state->windowWidth, state->windowHeight, SDL_WINDOW_OPENGL);
        if (window == nullptr) {
            std::fprintf(stderr, "Orlith: %s\n", SDL_GetError());
            reportError(platform, kWindowSite);
            return 1;
        }
        platform.window = window;
        EmbeddedBytes iconPng = embeddedIconPng();
        DecodedImage icon;
        std::string iconError;
        if (decodePng(iconPng.data, iconPng.size, icon, iconError)) {
            SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(icon.rgba.data(), icon.width, icon.height, 32,
                                                                      icon.width * 4, SDL_PIXELFORMAT_RGBA32);
            if (surface != nullptr) {
                SDL_SetWindowIcon(window, surface);
                SDL_FreeSurface(surface);
            }
        }

        int code = startUp();
        if (code > 0) {
            reportError(platform, kCreateWindowSite);
        } else if (code == 0) {
            code = frameLoop();
        } else {
            code = 0;
        }
        shutDown();
        return code;
    }

    // The shared loop, fed from the devices; it sleeps what each frame leaves of its slot.
    int frameLoop() {
        loop = std::make_unique<FrameLoop>(*state, *work, setUp,
                                           LoopParts{platform, *renderer, encodeScreenshot, mailbox.get(), network.get(),
                                                     dialogs.get()});
        while (!loop->over()) {
            input.clearEvents();
            pumpEvents();
            if (quit) break;
            platform.sampleDevices(input);
            platform.sleepMs(loop->runFrame(input));
        }
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
        if (window != nullptr) SDL_DestroyWindow(window);
        window = nullptr;
        platform.window = nullptr;
        platform.dialogs = nullptr;
        dialogs.reset();
    }
};

}  // namespace
}  // namespace orlith

int main(int argc, char** argv) {
    auto app = std::make_unique<orlith::App>();
    return app->run(argc, argv);
}
