// Orlith in the browser: the entry point. Opens the storage, makes the canvas, the WebGL 2
// backend with its Canvas 2D HUD and the page's dialogs, runs the shared start-up, then drives
// the shared frame loop from the browser's animation frames: a frame runs only when its slot
// has come, so a faster display still gets the designed 60 frames a second. Built with
// ASYNCIFY, so start-up runs as on the desktop: every wait (a dialog, the server's check, the
// next animation frame) yields to the browser instead of blocking the page.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/frame_loop.h"
#include "app/startup.h"
#include "base/text.h"
#include "maze/maze.h"
#include "platform/web/fetch_http.h"
#include "platform/web/web_gl_context.h"
#include "platform/web/web_platform.h"
#include "render/gl/gl_renderer.h"
#include "render/gl/png.h"
#include "render/web/canvas_hud.h"
#include "ui/web/html_dialogs.h"

namespace orlith {
namespace {

constexpr ErrorSite kCreateWindowSite{652, u"CreateWindow"};
// An animation frame this much before a frame's slot still runs it: a 60 Hz display's frames
// jitter around the slots, and waiting for the next would halve the rate.
constexpr uint32_t kEarlyMs = 4;

bool encodeScreenshot(const std::vector<uint8_t>& rgba, int width, int height, std::string& png) {
    std::vector<uint8_t> bytes;
    if (!encodePng(rgba.data(), width, height, true, bytes)) return false;
    png.assign(bytes.begin(), bytes.end());
    return true;
}

struct App {
    RunSetUp setUp;
    Options& options = setUp.options;
    WebPlatform platform;
    CanvasHudPainter painter;
    HtmlDialogs dialogs;
    std::unique_ptr<WebGlContext> glContext;
    std::unique_ptr<GlRenderer> renderer;
    std::unique_ptr<GameState> state = makeGameState();
    std::unique_ptr<MazeWork> work = makeMazeWork();
    std::shared_ptr<NetworkMailbox> mailbox;
    std::unique_ptr<NetworkLink> network;  // online only
    std::unique_ptr<FrameLoop> loop;

    int run(int argc, char** argv) {
        if (int status = prepareRun(argc, argv, platform, setUp); status >= 0) return status;
        platform.unattended = options.start;
        platform.openStorage();
        int status = boxedEndStatus(options);
        if (startUp(status)) status = playFrames();
        shutDown();
        return status;
    }

    // The canvas and graphics, then the shared start-up (settings, level 1, the registration
    // dialog, the saved game or the server). True to play; else the exit status.
    bool startUp(int& status) {
        int32_t screenWidth = options.screenWidth, screenHeight = options.screenHeight;
        if (screenWidth == 0) platform.viewSize(screenWidth, screenHeight);
        sizeWindow(*state, screenWidth, screenHeight);
        platform.showCanvas(state->windowWidth, state->windowHeight);
        glContext = std::make_unique<WebGlContext>(platform);
        renderer = std::make_unique<GlRenderer>(*glContext, platform, painter, state->windowWidth, state->windowHeight);
        if (renderer->initGraphics() == 0) return reportError(platform, kCreateWindowSite), false;
        state->netFpsSwitch = options.netFps ? 1 : 0;
        platform.dialogs = &dialogs;
        mailbox = std::make_shared<NetworkMailbox>(platform);
        StartUpParts parts{platform, dialogs, [] { return std::make_shared<FetchHttpClient>(); }, mailbox,
                           [this](int32_t level) { return restoreWithProgress(level); }};
        switch (startUpGame(*state, *work, parts, registrationChoices(options), network)) {
            case StartUpResult::play: return true;
            case StartUpResult::abandoned: return status = 0, false;
            case StartUpResult::refused: break;
        }
        return reportError(platform, kCreateWindowSite), false;
    }

    // One generation from the level table, or many past its end: shown, and the page kept alive.
    // Its time goes to the page's signals ("restored", in ms).
    bool restoreWithProgress(int32_t targetLevel) {
        const uint32_t begun = platform.tickCount();
        uint32_t lastDraw = begun;
        const bool restored = restoreLevel(*state, *work, targetLevel, [&](int64_t done, int64_t total) {
            if (platform.tickCount() - lastDraw >= 50 && renderer->initGraphics() != 0) {
                char16_t text[32];
                long long loading = targetLevel - total + done + 1;  // the level being generated
                formatText(text, 32, u"Loading level %ld / %ld", loading, static_cast<long long>(targetLevel));
                renderer->drawProgress(total > 0 ? static_cast<float>(done) / static_cast<float>(total) : 1.0f, text);
                platform.waitAnimationFrame();
                lastDraw = platform.tickCount();
            }
            return true;
        });
        platform.signal("restored", static_cast<int32_t>(platform.tickCount() - begun));
        return restored;
    }

    // The shared loop, one frame at each animation frame that reaches its slot.
    int playFrames() {
        loop = std::make_unique<FrameLoop>(*state, *work, setUp,
                                           LoopParts{platform, *renderer, encodeScreenshot, mailbox.get(), network.get(),
                                                     &dialogs});
        // A failed exchange's box stands over the running game; the game ends when it is
        // answered. The exchange ends inside a frame, so its box waits for the next one.
        mailbox->holdBoxes = true;
        mailbox->showWhilePlaying = [this](std::u16string_view text) {
            std::fprintf(stderr, "Orlith: %s\n", utf16ToUtf8(text).c_str());
            if (options.start) return;  // nobody to answer it
            dialogs.runErrorBoxOverGame(text, [this] {
                InputSnapshot away;  // the box has the keyboard and the mouse
                if (!loop->over() && loop->due(platform.tickCount(), kEarlyMs)) loop->runFrame(away);
            });
        };
        InputSnapshot input;
        int32_t ranked = 0;
        while (!loop->over() && !platform.closeRequested()) {
            platform.waitAnimationFrame();
            if (!loop->due(platform.tickCount(), kEarlyMs)) continue;
            input.clearEvents();
            platform.sampleDevices(input);
            loop->runFrame(input);
            if (loop->frames() == 1) platform.signal("started", 1);
            if (state->rankingCount != ranked) platform.signal("ranking", ranked = state->rankingCount);
        }
        mailbox->showWhilePlaying = nullptr;
        return loop->finish();
    }

    // The last picture stays on the page: the graphics are left to it.
    void shutDown() {
        if (network) network->shutDown();
        loop.reset();
        network.reset();
        platform.dialogs = nullptr;
    }
};

}  // namespace
}  // namespace orlith

int main(int argc, char** argv) {
    static auto app = std::make_unique<orlith::App>();
    const int code = app->run(argc, argv);
    app->platform.signal("ended", code);
    return code;
}
