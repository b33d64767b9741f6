// The system's own files and calendar: whole replacement or nothing, the system's error codes,
// and local time over the whole unsigned range.
// And the browser platform's own rules, without a browser: which virtual key a key event stands for
// (the layout's letters, the positions of the rest), held keys that go up as they went down and
// all at once when the page loses the focus, setting.ini's moved keys, wheel turns in the desktop's units, and flushes of
// the saved files to IndexedDB one at a time with the last write always flushed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <tuple>

#include "platform/native_files.h"
#include "platform/web/input_rules.h"
#include "platform/web/storage_flush.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using namespace orlith;

TEST(NativeFiles, ReplacementIsWholeAndLeavesNothingBehindAndFailuresCarryTheSystemsCode) {
    test::TempDir dir;
    int code = 0;
    for (const std::string& content : {std::string("first"), std::string("\0second\r\n", 9), std::string(300000, 'x'), std::string()}) {
        ASSERT_EQ(native::replaceFile("target.bin", content, code), FileFailure::none);
        EXPECT_EQ(test::fileBytes("target.bin"), content);
        EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);  // no temporary file stays
    }
    std::string read;
    ASSERT_EQ(native::replaceFile("target.bin", "0123456789", code), FileFailure::none);
    for (auto [limit, want] : {std::pair{4u, "0123"}, {10u, "0123456789"}, {100u, "0123456789"}}) {
        ASSERT_TRUE(native::readFile("target.bin", limit, read, code));
        EXPECT_EQ(read, want);
    }
    // Failures name the step and carry the system's code.
    for (const char* path : {"missing.bin", "."}) {  // a directory opens, but its read fails
        code = 0, read = "stale";
        EXPECT_FALSE(native::readFile(path, 10, read, code));
        EXPECT_EQ(std::tuple(code != 0, read), std::tuple(true, "")) << path;
    }

    code = 0;
    EXPECT_EQ(native::replaceFile((fs::path("no") / "such" / "dir.bin").string(), "x", code), FileFailure::create);
    EXPECT_NE(code, 0);
    // A directory with content in the target's place: persist's save test.
}

TEST(NativeCalendar, LocalTimeCoversTheWholeUnsignedRangeAndAgreesWithTheTestClock) {
#ifdef _WIN32
    _putenv_s("TZ", "UTC");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
    test::FakePlatform utc;
    for (auto [seconds, when] : {std::pair{0u, std::tuple(1970, 1, 1, 0, 0)}, {951782400u, {2000, 2, 29, 0, 0}},
                                 {0x7FFFFFFFu, {2038, 1, 19, 3, 14}}, {0x80000000u, {2038, 1, 19, 3, 14}},
                                 {0xFFFFFFFFu, {2106, 2, 7, 6, 28}}}) {
        LocalDateTime system, fake;
        ASSERT_TRUE(native::localTime(seconds, system) && utc.localTime(seconds, fake)) << seconds;
        for (const LocalDateTime& t : {system, fake})
            EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute), when) << seconds;
    }
    EXPECT_GT(native::unixTime(), 1700000000u);
}

namespace orlith::web {
namespace {

TEST(WebKeys, LettersFollowTheLayoutAndTheOtherKeysTheirPlace) {
    struct Case { const char* key; const char* code; int virtualKey; };
    const Case cases[] = {
        {"q", "KeyQ", 'Q'}, {"Q", "KeyQ", 'Q'}, {"a", "KeyQ", 'A'}, {"q", "KeyA", 'Q'},  // QWERTY, AZERTY
        {"\xD0\xB9", "KeyQ", 'Q'}, {"Dead", "KeyQ", 'Q'},  // no Latin letter there: the US position
        {"1", "Digit1", '1'}, {"!", "Digit1", '1'}, {"&", "Digit1", '1'},
        {"ArrowLeft", "ArrowLeft", vk::left}, {"ArrowDown", "ArrowDown", vk::down}, {"a", "ArrowUp", vk::up},
        {"F1", "F1", 112}, {"F4", "F4", vk::f4}, {"F12", "F12", vk::f12}, {"F13", "F13", 0}, {"F0", "F0", 0},
        {"Enter", "NumpadEnter", 13}, {"Escape", "Escape", 27}, {" ", "Space", 32}, {"Tab", "Tab", 9},
        {"Shift", "ShiftRight", 16}, {"Control", "ControlLeft", 17}, {"Home", "Home", 36}, {"Delete", "Delete", 46},
        {"7", "Numpad7", 103}, {"Home", "Numpad7", 103}, {"Alt", "AltLeft", 0}, {"", "", 0}, {"Unidentified", "", 0},
        {"F", "Fx", 'F'},
    };
    for (const Case& c : cases) EXPECT_EQ(virtualKeyFor(c.key, c.code), c.virtualKey) << c.key << " / " << c.code;
}

TEST(WebKeys, AKeyGoesUpAsItWentDownAndLosingTheFocusReleasesAll) {
    KeyTracker keys;
    InputSnapshot input;
    keys.setFocus(true);
    EXPECT_EQ(keys.down("q", "KeyQ"), 'Q');
    EXPECT_EQ(keys.down("ArrowLeft", "ArrowLeft"), vk::left);
    EXPECT_EQ(keys.down("Q", "KeyQ"), 'Q');  // repeated with Shift: the same key
    keys.fill(input, KeyMap{});
    EXPECT_EQ(std::tuple(input.keysDown['Q'], input.keysDown[vk::left], input.focus), std::tuple(1, 1, 1));
    EXPECT_EQ(keys.up("KeyQ"), 'Q');  // whatever the key says now
    EXPECT_EQ(keys.up("KeyQ"), 0);
    keys.fill(input, KeyMap{});
    EXPECT_EQ(std::tuple(input.keysDown['Q'], input.keysDown[vk::left]), std::tuple(0, 1));
    keys.setFocus(false);
    keys.fill(input, KeyMap{});
    EXPECT_EQ(std::tuple(input.keysDown[vk::left], input.focus), std::tuple(0, 0));
    // More keys than hands hold: the ones beyond are not held, the first ones still are.
    keys.setFocus(true);
    for (int k = 0; k < 40; ++k) keys.down("a", "Key" + std::string(1, static_cast<char>('A' + k % 26)) + std::to_string(k));
    keys.down("z", "KeyZ");
    keys.fill(input, KeyMap{});
    EXPECT_EQ(std::tuple(input.keysDown['A'], input.keysDown['Z']), std::tuple(1, 0));
    // setting.ini moves Forward to Space: Space walks, Q no longer does.
    KeyTracker moved;
    KeyMap map;
    map.physical['Q'] = 32;
    moved.down(" ", "Space");
    moved.fill(input, map);
    EXPECT_EQ(std::tuple(input.keysDown['Q'], input.keysDown[32]), std::tuple(1, 1));
    moved.up("Space");
    moved.down("q", "KeyQ");
    moved.fill(input, map);
    EXPECT_EQ(input.keysDown['Q'], 0);
}

TEST(WebWheel, ANotchIs120AwayFromThePlayerWhateverTheBrowserCounts) {
    struct Turn { double deltaY; int mode; double wheelDeltaY; int32_t units; };
    const Turn turns[] = {
        {-100, 0, 120, 120}, {100, 0, -120, -120},  // Chromium's own notch
        {-3, 1, 0, 120}, {3, 1, 0, -120},           // three lines
        {-1, 2, 0, 120},                            // a page
        {100, 0, 0, -120},                          // a hundred pixels
        {std::numeric_limits<double>::quiet_NaN(), 0, 0, 0}, {1e12, 0, 0, -32768}, {-1e12, 0, 0, 32767},
    };
    for (const Turn& t : turns)
        EXPECT_EQ(WheelConverter().turn(t.deltaY, t.mode, t.wheelDeltaY), t.units) << t.deltaY << " " << t.mode;
    // A touchpad's small steps add up to whole notches, nothing lost on the way.
    WheelConverter wheel;
    int32_t sum = 0;
    for (int k = 0; k < 30; ++k) sum += wheel.turn(-3.3333333333, 0, 0);
    EXPECT_EQ(sum, 119);  // 30 x 4.0, less the fraction still held
}

TEST(WebStorage, OneFlushAtATimeAndTheLastWriteIsAlwaysFlushed) {
    FlushSchedule flushes;
    EXPECT_TRUE(flushes.written());    // the first write flushes at once
    EXPECT_FALSE(flushes.written());   // two more while it runs: one more flush, later
    EXPECT_FALSE(flushes.written());
    EXPECT_FALSE(flushes.idle());
    EXPECT_TRUE(flushes.flushed(true));   // it ends: the next starts
    EXPECT_FALSE(flushes.flushed(false)); // that one fails, and nothing waits
    EXPECT_TRUE(flushes.idle());
    EXPECT_TRUE(flushes.written());    // the next write tries again
    EXPECT_FALSE(flushes.flushed(true));
    EXPECT_EQ(std::tuple(flushes.stored(), flushes.failed(), flushes.idle()), std::tuple(2, 1, true));
}

}  // namespace
}  // namespace orlith::web
