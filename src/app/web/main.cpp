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

#include "app/controls.h"
#include "app/frame_loop.h"
#include "app/startup.h"
#include "base/text.h"
#include "maze/maze.h"
#include "persist/persist.h"
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
    KeyMap keys;  // setting.ini's moved keys

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
        if (std::string problem; !readKeyMap(platform, keys, problem)) platform.showMessage(utf8ToUtf16(problem), MessageKind::error);
        mailbox = std::make_shared<NetworkMailbox>(platform);
        // A restore past the level table shows its progress, and the page stays alive.
        StartUpParts parts{platform, dialogs, [] { return std::make_shared<FetchHttpClient>(); }, mailbox,
                           [this](float fraction, const char16_t* text) {
                               if (renderer->initGraphics() != 0) renderer->drawProgress(fraction, text);
                               platform.waitAnimationFrame();
                               return !platform.closeRequested();
                           }};
        // How long the shared start-up took goes to the page's signals ("startup", in ms).
        const uint32_t begun = platform.tickCount();
        const StartUpResult result = startUpGame(*state, *work, parts, registrationChoices(options), network);
        platform.signal("startup", static_cast<int32_t>(platform.tickCount() - begun));
        switch (result) {
            case StartUpResult::play: return true;
            case StartUpResult::abandoned: return status = 0, false;
            case StartUpResult::refused: break;
        }
        return reportError(platform, kCreateWindowSite), false;
    }

    // The shared loop, one frame at each animation frame that reaches its slot.
    int playFrames() {
        loop = std::make_unique<FrameLoop>(*state, *work, setUp,
                                           LoopParts{platform, *renderer, encodePng, mailbox.get(), network.get(),
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
            platform.sampleDevices(input, keys);
            applyPad(platform.readPad(), input);
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
