// The system's own files and calendar: whole replacement or nothing, the system's error codes,
// and local time over the whole unsigned range.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <tuple>

#include "platform/native_files.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using namespace orlith;

namespace {

using orlith::test::fileBytes;

size_t entriesIn(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(NativeFiles, ReplacementIsWholeAndLeavesNothingBehind) {
    test::TempDir dir;
    int code = 0;
    std::string big(300000, 'x');
    for (const std::string& content : {std::string("first"), std::string("\0second\r\n", 9), big, std::string()}) {
        ASSERT_EQ(native::replaceFile("target.bin", content, code), FileFailure::none);
        EXPECT_EQ(fileBytes("target.bin"), content);
        EXPECT_EQ(entriesIn("."), 1u);  // no temporary file stays
    }
    std::string read;
    ASSERT_EQ(native::replaceFile("target.bin", "0123456789", code), FileFailure::none);
    for (auto [limit, want] : {std::pair{4u, "0123"}, {10u, "0123456789"}, {100u, "0123456789"}}) {
        ASSERT_TRUE(native::readFile("target.bin", limit, read, code));
        EXPECT_EQ(read, want);
    }
}

TEST(NativeFiles, FailuresNameTheStepAndCarryTheSystemsCode) {
    test::TempDir dir;
    int code = 0;
    std::string read = "stale";
    EXPECT_FALSE(native::readFile("missing.bin", 10, read, code));
    EXPECT_EQ(std::tuple(code != 0, read), std::tuple(true, ""));
    code = 0;  // a directory opens, but its read fails
    EXPECT_FALSE(native::readFile(".", 10, read, code));
    EXPECT_NE(code, 0);

    code = 0;
    EXPECT_EQ(native::replaceFile((fs::path("no") / "such" / "dir.bin").string(), "x", code), FileFailure::create);
    EXPECT_NE(code, 0);

    // A directory with content holds the target's name: the new file cannot take its place,
    // and the directory and its content stay as they were.
    fs::create_directories(fs::path("taken") / "inside");
    code = 0;
    EXPECT_EQ(native::replaceFile("taken", "x", code), FileFailure::replace);
    EXPECT_NE(code, 0);
    EXPECT_TRUE(fs::is_directory(fs::path("taken") / "inside"));
    EXPECT_EQ(entriesIn("."), 1u);
}

TEST(NativeFiles, PathsFollowTheCurrentDirectoryAtEachCall) {
    test::TempDir dir;
    fs::create_directory("later");
    EXPECT_EQ(fs::path(native::pathInCurrentDirectory("setting.ini")), fs::current_path() / "setting.ini");
    fs::current_path("later");
    EXPECT_EQ(fs::path(native::pathInCurrentDirectory("setting.ini")), fs::current_path() / "setting.ini");
    fs::current_path("..");
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
    for (uint32_t seconds : {0u, 951782400u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        LocalDateTime system, expected;
        ASSERT_TRUE(native::localTime(seconds, system)) << seconds;
        ASSERT_TRUE(utc.localTime(seconds, expected));
        EXPECT_EQ(std::tie(system.year, system.month, system.day, system.hour, system.minute),
                  std::tie(expected.year, expected.month, expected.day, expected.hour, expected.minute))
            << seconds;
    }
    LocalDateTime last;
    utc.localTime(0xFFFFFFFFu, last);
    EXPECT_EQ(std::tie(last.year, last.month, last.day, last.hour, last.minute), std::make_tuple(2106, 2, 7, 6, 28));
    EXPECT_GT(native::unixTime(), 1700000000u);
}
