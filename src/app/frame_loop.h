// The one frame loop of every platform, as "run one frame" plus the run's end: pacing and the
// frame meter, the demo played or recorded, the game's update with the shared hooks (drawing
// through the platform's backend), F12 screenshots, and the outputs the command line asked for.
// Owns: the demo being recorded, the frame count, the frame data. Reads: the platform's clock
// and files, the input snapshot of each frame. Writes: GameState (through the update), the
// output files. Called by: each platform's entry point, which only makes its window, turns its
// events into a snapshot and calls runFrame, from its own loop (desktop: it then sleeps what
// runFrame returns) or from its host's frame callback (the browser).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/demo.h"
#include "app/shell.h"
#include "maze/maze.h"
#include "platform/dialogs.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "ranking/network.h"
#include "render/render.h"
#include "state/game_state.h"
#include "state/input.h"

namespace orlith {

// PNG bytes of an RGBA picture (rows top to bottom), by the platform's image codec.
using PngEncoder = bool (*)(const uint8_t* rgba, uint32_t width, uint32_t height, std::string& png);

struct LoopParts {
    Platform& platform;               // clock, files
    FrameRenderer& renderer;          // the backend
    PngEncoder encodePng;             // screenshots
    NetworkHost* networkHost = nullptr;  // asked before each frame whether the network ended the game
    NetworkLink* network = nullptr;   // online only
    Dialogs* dialogs = nullptr;       // the information dialog; may be null
};

// What a platform's entry point does first, the same everywhere: the options, --help, the demo
// to play and the demo file to record (started at once, so a bad path is refused before any
// window). Returns -1 to go on; otherwise the exit status, after printing why.
struct RunSetUp {
    Options options;
    std::vector<InputSnapshot> demo;  // --play
};
int prepareRun(int argc, const char* const* argv, Platform& platform, RunSetUp& setUp);

class FrameLoop {
public:
    FrameLoop(GameState& state, MazeWork& work, RunSetUp& setUp, LoopParts parts);

    // One frame with the devices' snapshot (a played demo's frame stands in for it). Returns the
    // milliseconds left to the next frame's slot: a desktop driver sleeps them, a browser
    // driver lets that many animation frames pass (nextFrameDue). 0 when late or unpaced.
    uint32_t runFrame(const InputSnapshot& devices);
    // True once the run is over: its frame count reached, its demo ended, or the network asked
    // the game to end (checked at the start of each frame).
    bool over() const { return over_; }
    // The end of the run: unless the network ended it, the screenshot, report and demo the
    // command line asked for. The exit status: 1 when an output could not be written; after a
    // failed exchange boxedEndStatus. Once.
    int finish();

    // The tick at which the next frame's slot begins (after runFrame).
    uint32_t nextFrameDue() const { return nextDue_; }
    // Whether the next frame is due at now: its slot has begun, or begins within earlyMs (a
    // driver called at the display's rate runs a frame at the call nearest its slot).
    bool due(uint32_t now, uint32_t earlyMs) const {
        return static_cast<int32_t>(nextDue_ - now) <= static_cast<int32_t>(earlyMs);
    }
    int64_t frames() const { return frames_; }
    // Whether a game picture has been presented (dialogs show it under them).
    bool presented() const { return presented_; }
    const FrameData& frame() const { return frame_; }

private:
    class Hooks;
    bool writeOutput(const std::string& path, std::string_view bytes, const char* what);
    bool screenshot(const std::string& path);
    bool networkEnded();

    GameState& state_;
    MazeWork& work_;
    RunSetUp& setUp_;
    LoopParts parts_;
    FrameData frame_;
    std::unique_ptr<GameHooks> hooks_;
    std::string recorded_;      // the demo being recorded, written at the end
    size_t demoFrame_ = 0;
    int64_t frames_ = 0;
    uint8_t lastF12_ = 0;       // F12 in the previous snapshot: a screenshot on each press
    bool presented_ = false;
    bool over_ = false;
    bool networkEnded_ = false;
    bool finished_ = false;
    int status_ = 0;
    uint32_t nextDue_ = 0;
};

}  // namespace orlith
