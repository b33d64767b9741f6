// The frame loop every platform runs, one frame at a time.
#include "app/frame_loop.h"

#include <cstdio>

#include "persist/persist.h"

namespace orlith {

// The shared hooks, with drawing through the backend.
class FrameLoop::Hooks final : public GameHooks {
public:
    explicit Hooks(FrameLoop& loop)
        : GameHooks(loop.parts_.platform, loop.parts_.network, loop.parts_.dialogs), loop_(loop) {}
    void renderFrame(GameState& state) override {
        if (loop_.parts_.renderer.initGraphics() == 0) return;
        buildFrame(state, loop_.frame_);
        loop_.parts_.renderer.drawFrame(loop_.frame_);
        loop_.presented_ = true;
    }

private:
    FrameLoop& loop_;
};

int prepareRun(int argc, const char* const* argv, Platform& platform, RunSetUp& setUp) {
    std::string error;
    Options& options = setUp.options;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "orlith: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.writeKeys) {
        KeyMap keys;
        std::string problem;
        if (!readKeyMap(platform, keys, problem)) return std::fprintf(stderr, "orlith: %s\n", problem.c_str()), 1;
        if (!writeKeyMap(keys, platform)) return std::fputs("orlith: cannot write setting.ini\n", stderr), 1;
        std::fputs("orlith: every key that can be moved is in setting.ini's [Keys] section\n", stdout);
        return 0;
    }
    if (!options.playPath.empty() && !readDemoFile(options.playPath, setUp.demo, error)) {
        std::fprintf(stderr, "orlith: %s: %s\n", options.playPath.c_str(), error.c_str());
        return 2;
    }
    // The header now: a demo that cannot be written is refused before anything is played.
    if (!options.recordPath.empty() &&
        platform.replaceFile(options.recordPath, std::string(kDemoHeader) + "\n") != FileFailure::none) {
        std::fprintf(stderr, "orlith: cannot write %s\n", options.recordPath.c_str());
        return 2;
    }
    return -1;
}

FrameLoop::FrameLoop(GameState& state, MazeWork& work, RunSetUp& setUp, LoopParts parts)
    : state_(state), work_(work), setUp_(setUp), parts_(std::move(parts)) {
    parts_.renderer.keepPictures(!setUp_.options.screenshotPath.empty());
    if (!setUp_.options.recordPath.empty()) recorded_ = std::string(kDemoHeader) + "\n";
    over_ = setUp_.options.frames == 0 || (!setUp_.options.playPath.empty() && setUp_.demo.empty());
    hooks_ = std::make_unique<Hooks>(*this);
}

bool FrameLoop::networkEnded() {
    if (parts_.networkHost != nullptr && parts_.networkHost->deliverBeforeFrame()) networkEnded_ = true;
    return networkEnded_;
}

uint32_t FrameLoop::runFrame(const InputSnapshot& devices) {
    if (over_) return 0;
    // A failed exchange: its box first (delivered here where the platform needs that), then the end.
    if (networkEnded()) {
        over_ = true;
        return 0;
    }
    const Options& options = setUp_.options;
    const bool playing = !options.playPath.empty();
    const InputSnapshot& input = playing ? setUp_.demo[demoFrame_++] : devices;
    if (!options.recordPath.empty()) recorded_ += formatDemoLine(input) + "\n";

    // F12 acts once per press, in play and on replay alike; the backend keeps that picture.
    const bool shoot = input.keysDown[vk::f12] != 0 && lastF12_ == 0;
    lastF12_ = input.keysDown[vk::f12];
    if (shoot) parts_.renderer.keepPictures(true);

    beginFrameTiming(state_, parts_.platform.tickCount());
    updateFrame(state_, work_, input, *hooks_);
    ++frames_;
    if (shoot) {
        std::string name = "orlith-" + std::to_string(parts_.platform.unixTime()) + "-" + std::to_string(frames_) + ".png";
        if (screenshot(parts_.platform.pathInCurrentDirectory(name))) std::fprintf(stderr, "Orlith: screenshot %s\n", name.c_str());
        parts_.renderer.keepPictures(!options.screenshotPath.empty());
    }
    const uint32_t now = parts_.platform.tickCount();
    uint32_t wait = endFrameTiming(state_, now);
    if (!options.pacing) wait = 0;
    nextDue_ = now + wait;

    over_ = (options.frames >= 0 && frames_ >= options.frames) || (playing && demoFrame_ >= setUp_.demo.size());
    return wait;
}

bool FrameLoop::writeOutput(const std::string& path, std::string_view bytes, const char* what) {
    if (parts_.platform.replaceFile(path, bytes) == FileFailure::none) return true;
    std::fprintf(stderr, "orlith: cannot write %s %s\n", what, path.c_str());
    return false;
}

bool FrameLoop::screenshot(const std::string& path) {
    std::vector<uint8_t> rgba;
    std::string png;
    FrameRenderer& renderer = parts_.renderer;
    if (!renderer.readPicture(rgba) ||
        !parts_.encodePng(rgba.data(), static_cast<uint32_t>(renderer.width()), static_cast<uint32_t>(renderer.height()), png)) {
        std::fprintf(stderr, "orlith: cannot write screenshot %s\n", path.c_str());
        return false;
    }
    return writeOutput(path, png, "screenshot");
}

int FrameLoop::finish() {
    if (finished_) return status_;
    finished_ = true;
    if (networkEnded()) return status_ = boxedEndStatus(setUp_.options);
    const Options& options = setUp_.options;
    bool ok = true;
    if (!options.screenshotPath.empty()) ok = screenshot(options.screenshotPath) && ok;
    if (!options.reportPath.empty()) ok = writeOutput(options.reportPath, reportText(state_, arrowPositions(frame_)), "report") && ok;
    if (!options.recordPath.empty()) ok = writeOutput(options.recordPath, recorded_, "demo") && ok;
    return status_ = ok ? 0 : 1;
}

}  // namespace orlith
