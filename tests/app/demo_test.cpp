// Demo lines and command-line options.
#include <gtest/gtest.h>

#include <tuple>

#include "app/demo.h"

namespace orlith {
namespace {

TEST(Demo, LinesRoundTripAndBadLinesAreRefused) {
    DemoFrame frame;
    frame.input.focus = 1;
    frame.input.keysDown[81] = frame.input.keysDown[37] = 1;
    frame.events = {{PointerEvent::down, 10, -20}, {PointerEvent::move, 15, 20}, {PointerEvent::wheel, -120, 0},
                    {PointerEvent::up, 0, 0}};
    std::string line = formatDemoLine(frame), error;
    EXPECT_EQ(line, "1 37,81 d:10,-20 m:15,20 w:-120 u");
    DemoFrame back;
    ASSERT_TRUE(parseDemoLine(line, back, error)) << error;
    EXPECT_EQ(formatDemoLine(back), line);
    EXPECT_EQ(formatDemoLine(DemoFrame{}), "0 -");
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
