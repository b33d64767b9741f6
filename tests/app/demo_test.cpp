// Demo lines and command-line options.
#include <gtest/gtest.h>

#include "app/demo.h"

namespace orlith {
namespace {

TEST(Demo, LinesRoundTrip) {
    DemoFrame frame;
    frame.input.focus = 1;
    frame.input.keysDown[81] = 1;
    frame.input.keysDown[37] = 1;
    frame.events = {{PointerEvent::down, 10, -20}, {PointerEvent::move, 15, 20}, {PointerEvent::wheel, -120, 0},
                    {PointerEvent::up, 0, 0}};
    std::string line = formatDemoLine(frame);
    EXPECT_EQ(line, "1 37,81 d:10,-20 m:15,20 w:-120 u");
    DemoFrame back;
    std::string error;
    ASSERT_TRUE(parseDemoLine(line, back, error)) << error;
    EXPECT_EQ(formatDemoLine(back), line);
    EXPECT_EQ(formatDemoLine(DemoFrame{}), "0 -");
}

TEST(Demo, BadLinesAreRefused) {
    const char* lines[] = {"",         "2 -",      "1",           "1 81,",      "1 256",      "1 x",
                           "1 - d:1",  "1 - d:1,", "1 - m:a,b",   "1 - w:",     "1 - q",      "1 - w:99999",
                           "1 - d:1,2,3", "1 -1"};
    for (const char* line : lines) {
        DemoFrame frame;
        std::string error;
        EXPECT_FALSE(parseDemoLine(line, frame, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(Options, FlagsAndTheNetFpsSwitch) {
    const char* argv[] = {"orlith", "--play", "a.demo", "--frames", "120", "--screenshot", "s.png",
                          "--screen", "1280x1024", "--no-pacing", "xNetFpsx"};
    Options o;
    std::string error;
    ASSERT_TRUE(parseOptions(11, argv, o, error)) << error;
    EXPECT_EQ(o.playPath, "a.demo");
    EXPECT_EQ(o.frames, 120);
    EXPECT_EQ(o.screenshotPath, "s.png");
    EXPECT_EQ(o.screenWidth, 1280);
    EXPECT_EQ(o.screenHeight, 1024);
    EXPECT_FALSE(o.pacing);
    EXPECT_TRUE(o.netFps);
}

TEST(Options, BadCommandLinesAreRefused) {
    struct Case {
        std::vector<const char*> args;
    } cases[] = {{{"orlith", "--frames"}},           {{"orlith", "--frames", "-1"}},
                 {{"orlith", "--frames", "12x"}},    {{"orlith", "--screen", "1024"}},
                 {{"orlith", "--screen", "0x0"}},    {{"orlith", "--bogus"}},
                 {{"orlith", "--record", "a", "--play", "a"}}};
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(parseOptions(static_cast<int>(c.args.size()), c.args.data(), o, error)) << c.args.back();
        EXPECT_FALSE(error.empty());
    }
    const char* lower[] = {"orlith", "netfps"};
    Options o;
    std::string error;
    ASSERT_TRUE(parseOptions(2, lower, o, error));
    EXPECT_FALSE(o.netFps);
}

}  // namespace
}  // namespace orlith
