// Orlith on Linux: entry point, window, start-up, the paced frame loop and shut-down.
#include <SDL.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/demo.h"
#include "app/shell.h"
#include "app/startup.h"
#include "base/error_report.h"
#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "platform/curl/curl_http.h"
#include "platform/sdl/sdl_gl_context.h"
#include "platform/sdl/sdl_platform.h"
#include "render/gl_renderer.h"
#include "render/hud_font.h"
#include "render/png.h"
#include "render/render.h"
#include "ui/imgui_dialogs.h"

namespace orlith {
namespace {

// Where the start-up failures are reported: the error box's site numbers and names.
constexpr ErrorSite kInitSite{568, u"SDL_Init"};
constexpr ErrorSite kWindowSite{652, u"SDL_CreateWindow"};
constexpr ErrorSite kCreateWindowSite{652, u"CreateWindow"};
constexpr int kFontSiteNumber = 919;

// The frame's hooks on Linux: the shared ones, and drawing with OpenGL.
class RenderHooks final : public GameHooks {
public:
    RenderHooks(Platform& platform, GlRenderer& renderer, NetworkLink* network, Dialogs* dialogs, bool& presented)
        : GameHooks(platform, network, dialogs), renderer_(renderer), presented_(presented) {}
    void renderFrame(GameState& state) override {
        if (renderer_.initGraphics() == 0) return;
        buildFrame(state, frame_);
        renderer_.drawFrame(frame_);
        presented_ = true;
    }
    const FrameData& frame() const { return frame_; }

private:
    GlRenderer& renderer_;
    bool& presented_;
    FrameData frame_;
};

bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool writeText(const std::string& path, const std::string& text) {
    return writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool saveScreenshot(GlRenderer& renderer, const std::string& path) {
    std::vector<uint8_t> rgba, png;
    if (!renderer.readPicture(rgba) || !encodePng(rgba.data(), renderer.width(), renderer.height(), true, png) ||
        !writeBytes(path, png)) {
        std::fprintf(stderr, "Orlith: cannot write screenshot %s\n", path.c_str());
        return false;
    }
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
    Options options;
    SdlPlatform platform;
    HudFont font;
    SDL_Window* window = nullptr;
    std::unique_ptr<SdlGlContext> glContext;
    std::unique_ptr<GlRenderer> renderer;
    std::shared_ptr<GameState> state = makeGameState();  // shared with the network worker
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::unique_ptr<ImGuiDialogs> dialogs;
    std::shared_ptr<NetworkMailbox> mailbox;
    bool presented = false;  // a game picture exists to show under the dialogs
    std::unique_ptr<NetworkLink> network;  // online only
    bool quit = false;
    bool screenshotKey = false;
    std::vector<PointerEvent> events;

    // Handles every pending event; pointer events are collected for this frame.
    void pumpEvents() {
        SDL_Event e;
        while (SDL_PollEvent(&e) != 0) {
            int32_t px = 0, py = 0;
            switch (e.type) {
                case SDL_QUIT: quit = true; break;
                case SDL_KEYDOWN:
                    if (e.key.keysym.scancode == SDL_SCANCODE_F12 && e.key.repeat == 0) screenshotKey = true;
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
                        events.push_back({PointerEvent::down, px, py});
                    }
                    break;
                case SDL_MOUSEBUTTONUP:
                    if (e.button.button == SDL_BUTTON_LEFT) {
                        SDL_CaptureMouse(SDL_FALSE);
                        events.push_back({PointerEvent::up, 0, 0});
                    }
                    break;
                case SDL_MOUSEMOTION:
                    toPicture(window, state->windowWidth, state->windowHeight, e.motion.x, e.motion.y, px, py);
                    events.push_back({PointerEvent::move, px, py});
                    break;
                case SDL_MOUSEWHEEL: {
                    // 120 per notch; SDL counts away from the player positive, as the game does.
                    float notches = e.wheel.preciseY;
                    if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) notches = -notches;
                    auto delta = static_cast<int32_t>(notches * 120.0f);
                    if (delta != 0) events.push_back({PointerEvent::wheel, delta, 0});
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
            return presented && renderer->readPicture(rgba);
        };
        platform.dialogs = dialogs.get();
        mailbox = std::make_shared<NetworkMailbox>(platform);
        StartUpParts parts{platform, *dialogs, [] { return std::make_shared<CurlHttpClient>(); }, mailbox,
                           [this](int32_t level) { return restoreWithProgress(level); }};
        RegistrationChoices choices{options.nickname, options.pin, options.server, options.port,
                                    !options.nickname.empty() || !options.pin.empty() || !options.server.empty() ||
                                        !options.port.empty(),
                                    options.offline, options.start};
        switch (startUpGame(state, *work, parts, choices, network)) {
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
        std::string error;
        if (!parseOptions(argc, argv, options, error)) {
            std::fprintf(stderr, "orlith: %s\n%s", error.c_str(), usageText());
            return 2;
        }
        if (options.help) {
            std::fputs(usageText(), stdout);
            return 0;
        }
        std::vector<DemoFrame> demo;
        if (!options.playPath.empty() && !readDemoFile(options.playPath, demo, error)) {
            std::fprintf(stderr, "orlith: %s: %s\n", options.playPath.c_str(), error.c_str());
            return 2;
        }
        std::ofstream record;
        if (!options.recordPath.empty()) {
            record.open(options.recordPath, std::ios::binary | std::ios::trunc);
            if (!record) {
                std::fprintf(stderr, "orlith: cannot write %s\n", options.recordPath.c_str());
                return 2;
            }
            record << kDemoHeader << "\n";
        }
        platform.pacing = options.pacing;
        platform.unattended = options.start;

        SDL_SetHint(SDL_HINT_APP_NAME, "Orlith");
        SDL_setenv("SDL_VIDEO_X11_WMCLASS", "Orlith", 0);
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) != 0) {
            std::fprintf(stderr, "Orlith: %s\n", SDL_GetError());
            reportError(platform, kInitSite);
            return 1;
        }
        int code = runWindow(demo, record);
        SDL_Quit();
        return code;
    }

    int runWindow(const std::vector<DemoFrame>& demo, std::ofstream& record) {
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
            code = frameLoop(demo, record);
        } else {
            code = 0;
        }
        shutDown();
        return code;
    }

    int frameLoop(const std::vector<DemoFrame>& demo, std::ofstream& record) {
        RenderHooks hooks(platform, *renderer, network.get(), dialogs.get(), presented);
        const bool playing = !options.playPath.empty();
        size_t demoFrame = 0;
        int64_t frames = 0;
        events.reserve(256);
        while (options.frames < 0 || frames < options.frames) {
            events.clear();
            pumpEvents();
            if (quit) break;
            // A failed exchange: its box first, then the game ends, with a failing status.
            if (mailbox->deliver()) return 1;
            if (playing) {
                if (demoFrame >= demo.size()) break;
                platform.input = demo[demoFrame].input;
                events = demo[demoFrame].events;
                ++demoFrame;
            } else {
                platform.sampleDevices();
            }
            if (record.is_open()) {
                DemoFrame frame{platform.input, events};
                record << formatDemoLine(frame) << "\n";
            }
            applyPointerEvents(*state, events);
            beginFrameTiming(*state, platform);
            updateFrame(*state, *work, platform, hooks);
            endFrameTiming(*state, platform);
            ++frames;
            if (screenshotKey) {
                screenshotKey = false;
                std::string name = "orlith-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(frames) + ".png";
                if (saveScreenshot(*renderer, name)) std::fprintf(stderr, "Orlith: screenshot %s\n", name.c_str());
            }
        }
        if (!options.screenshotPath.empty() && !saveScreenshot(*renderer, options.screenshotPath)) return 1;
        if (!options.reportPath.empty() && !writeText(options.reportPath, reportText(*state, arrowPositions(hooks.frame())))) {
            std::fprintf(stderr, "orlith: cannot write %s\n", options.reportPath.c_str());
            return 1;
        }
        if (record.is_open()) {
            record.flush();
            if (!record) {
                std::fprintf(stderr, "orlith: cannot write %s\n", options.recordPath.c_str());
                return 1;
            }
        }
        return 0;
    }

    void shutDown() {
        // The worker is stopped first, before anything it could reach goes away.
        if (network) network->shutDown();
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
