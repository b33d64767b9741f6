// Demos and command-line options of the game, the same on every platform.
//
// A demo is the frames' input snapshots as text (one line per frame, '#' starts a comment line):
//   orlith-demo 1                       first line, the format and its version
//   <focus> <keys> [<event> ...]        one line per frame, in frame order
// focus is 1 when the window had the keyboard focus, else 0. keys is '-' or the virtual-key
// codes held during the frame, comma-separated in decimal (81 = Q, 37..40 = arrows, 115 = F4,
// 123 = F12, which takes a screenshot on replay too).
// "t:l,u,r,d" (only when a stick turns) gives how far an analog stick holds each arrow, in
// thousandths. Events are the pointer events handled before the frame, in order: "d:x,y" left button
// down at picture pixel (x, y), "u" left button up, "m:x,y" pointer moved, "w:n" wheel turned
// by n (120 a notch, towards the player negative). Example: "1 81,39 d:10,20 m:15,20".
// The simulation is deterministic, so feeding the lines back replays the run exactly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "state/input.h"

namespace orlith {

// One frame as a line (no newline), and back. parseDemoLine reports what is wrong.
std::string formatDemoLine(const InputSnapshot& frame);
bool parseDemoLine(const std::string& line, InputSnapshot& frame, std::string& error);

inline constexpr const char* kDemoHeader = "orlith-demo 1";
inline constexpr size_t kMaxDemoBytes = size_t{1} << 30;  // a demo file larger than this is refused

// A whole demo file's text into frames; false with "line N: reason" on bad input.
bool parseDemoText(std::string_view text, std::vector<InputSnapshot>& frames, std::string& error);
// The same from a file.
bool readDemoFile(const std::string& path, std::vector<InputSnapshot>& frames, std::string& error);

struct Options {
    std::string recordPath;      // --record FILE
    std::string playPath;        // --play FILE
    std::string screenshotPath;  // --screenshot FILE, written at exit
    std::string reportPath;      // --report FILE: the end state as text, written at exit
    int64_t frames = -1;         // --frames N, -1 runs until the window closes
    int32_t screenWidth = 0;     // --screen WxH pretends a screen size (0: the real one)
    int32_t screenHeight = 0;
    bool pacing = true;          // --no-pacing runs frames back to back (tests, timing)
    bool help = false;           // --help
    bool netFps = false;         // "NetFps" anywhere in the command line
    // The registration dialog (nothing is stored: it is asked at every start).
    std::u16string nickname, pin, server, port;  // --nickname, --pin, --server, --port: fill a box, tick
    bool offline = false;        // --offline: leave the box unticked
    bool start = false;          // --start: press start unseen; Yes to the new-nickname question;
                                 // every message box goes to stderr and is dismissed at once
    bool writeKeys = false;      // --write-keys: every movable key into setting.ini, then end
};

bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error);
// The exit status of a run that ended after an error box (a refusal or cancel at start-up, a
// platform failure, a failed exchange in play): 0, as for any end the player saw, but 1 for an
// unattended run (--start), whose box nobody saw, so that its script can tell.
inline int boxedEndStatus(const Options& options) { return options.start ? 1 : 0; }
const char* usageText();

}  // namespace orlith
