// Demo lines and command-line options.
#include <gtest/gtest.h>

#include <tuple>

#include "app/demo.h"

namespace orlith {
namespace {

TEST(Demo, LinesRoundTripAndBadLinesAreRefused) {
    InputSnapshot frame;
    frame.focus = 1;
    frame.keysDown[81] = frame.keysDown[37] = 1;
    for (PointerEvent e : {PointerEvent{PointerEvent::down, 10, -20}, PointerEvent{PointerEvent::move, 15, 20},
                           PointerEvent{PointerEvent::wheel, -120, 0}, PointerEvent{PointerEvent::up, 0, 0}}) {
        frame.addPointerEvent(e);
    }
    std::string line = formatDemoLine(frame), error;
    EXPECT_EQ(line, "1 37,81 d:10,-20 m:15,20 w:-120 u");
    InputSnapshot back;
    ASSERT_TRUE(parseDemoLine(line, back, error)) << error;
    EXPECT_EQ(formatDemoLine(back), line);
    EXPECT_EQ(formatDemoLine(InputSnapshot{}), "0 -");
    // Moves after moves and wheel turns after turns are one event, as the game would see them
    // one by one; a button change past the room still lands.
    ASSERT_TRUE(parseDemoLine("1 - m:1,1 m:2,2 w:120 w:-60 w:32000 w:32000 d:3,3 u d:4,4 u d:5,5 u d:6,6 u d:7,7 u d:8,8 u d:9,9 u", back, error));
    EXPECT_EQ(formatDemoLine(back), "1 - m:2,2 w:32060 w:32000 d:3,3 u d:4,4 u d:5,5 u d:6,6 u d:7,7 u d:8,8 u u");
    EXPECT_EQ(back.eventCount, InputSnapshot::kMaxEvents);
    for (const char* bad : {"", "2 -", "1", "1 81,", "1 256", "1 x", "1 - d:1", "1 - d:1,", "1 - m:a,b", "1 - w:", "1 - q",
                            "1 - w:99999", "1 - d:1,2,3", "1 -1"}) {
        error.clear();
        EXPECT_FALSE(parseDemoLine(bad, back, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(Options, FlagsAreReadAndBadCommandLinesRefused) {
    const char* argv[] = {"orlith", "--play", "a.demo", "--frames", "120", "--screenshot", "s.png",
                          "--screen", "1280x1024", "--no-pacing", "xNetFpsx"};
    Options o;
    std::string error;
    ASSERT_TRUE(parseOptions(11, argv, o, error)) << error;
    EXPECT_EQ(std::tuple(o.playPath, o.frames, o.screenshotPath, o.screenWidth, o.screenHeight, o.pacing, o.netFps),
              std::tuple("a.demo", 120, "s.png", 1280, 1024, false, true));
    const char* lower[] = {"orlith", "netfps"};
    ASSERT_TRUE(parseOptions(2, lower, o = Options{}, error));
    EXPECT_FALSE(o.netFps);
    for (std::vector<const char*> args : {std::vector<const char*>{"--frames"}, {"--frames", "-1"}, {"--frames", "12x"},
                                          {"--screen", "1024"}, {"--screen", "0x0"}, {"--bogus"}, {"--record", "a", "--play", "a"}}) {
        args.insert(args.begin(), "orlith");
        error.clear();
        EXPECT_FALSE(parseOptions(static_cast<int>(args.size()), args.data(), o, error)) << args.back();
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace orlith
