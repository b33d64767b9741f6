// save.dat: round trip, the checksum's exact comparison, bad files and safe replacement.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "base/text.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "ranking/ranking.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

using namespace orlith;
using orlith::test::FakePlatform;
using orlith::test::TempDir;

namespace {

using orlith::test::utf16le;

std::u16string saveText(int32_t level, int32_t steps, float x, float y, float z) {
    float pos[3] = {x, y, z}, zero[3] = {0, 0, 0};
    std::u16string text = u"state=" + formatStateValue(1700000000, u"00000000", level, steps, pos, zero, zero);
    return text + makeChecksumTag(text);
}

int parse(const std::string& bytes, RankingRecord& r) {
    FakePlatform clock;
    return parseSaveBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), r, clock);
}

}  // namespace

TEST(SaveFile, WrittenFileLoadsBackLevelStepsAndPosition) {
    TempDir dir;
    FakePlatform p;
    auto s = makeGameState();
    s->level = 5, s->stepCount = 1234, s->cameraEye = {2.25f, 3.5f, -1.0f, 0}, s->cameraFocus = {2.25f, 3.5f, -2.0f, 0};
    s->cameraUp = {0, 1, 0, 0}, s->pinHash[0] = u'a';  // the PIN is never written to the file
    ASSERT_EQ(writeSaveFile(*s, p), 1);
    s->level = 6;  // a second save replaces the first
    ASSERT_EQ(std::pair(writeSaveFile(*s, p), p.messages.size()), std::pair(1, size_t{0}));
    // The bytes: UTF-16LE "state=", the state value with the time, no PIN, and its checksum.
    float pos[3] = {2.25f, 3.5f, -1.0f}, view[3] = {0, 0, -1}, up[3] = {0, 1, 0};
    std::u16string text = u"state=" + formatStateValue(p.now, u"00000000", 6, 1234, pos, view, up);
    EXPECT_EQ(test::fileBytes("save.dat"), utf16le(text + makeChecksumTag(text)));
    RankingRecord r{};
    ASSERT_EQ(readSaveFile(r, p), 1);
    EXPECT_EQ(std::tuple(r.level, r.stepCount, r.position[0], r.position[2], r.viewDirection[2], r.name[0]),
              std::tuple(6, 1234, 2.25f, -1.0f, -1.0f, u'\0'));
}

TEST(SaveFile, BadFilesAreRefusedSilently) {
    std::u16string good = saveText(3, 10, 1, 2, 3);
    size_t amp = good.find(u'&');
    std::u16string tampered = good;
    tampered[23] = tampered[23] == u'3' ? u'4' : u'3';  // a digit of the level
    std::u16string digits = good.substr(amp + 5);
    struct Case { const char* what; std::string bytes; int result; };
    const std::vector<Case> cases = {
        {"valid", utf16le(good), 1},
        {"tampered level", utf16le(tampered), 0},
        {"leading zero", utf16le(good.substr(0, amp + 5) + u"0" + digits), 0},
        {"line end", utf16le(good + u"\r\n"), 0},
        {"no ampersand", utf16le(good.substr(0, amp)), 0},
        {"truncated", utf16le(good).substr(0, 150), 0},
        {"odd byte count", utf16le(good) + "7", 0},
        {"empty", std::string(), 0},
        {"not state= but matching", utf16le([] {
             std::u16string t = saveText(3, 10, 1, 2, 3);
             std::u16string body = u"XXXXXX" + t.substr(6, t.find(u'&') - 6);
             return body + makeChecksumTag(body);
         }()), 1},
        {"garbage", std::string(3000, '\x26'), 0},
        {"over 2048 bytes", utf16le(good) + std::string(4000, 'x'), 0},
        {"padded beyond 2,048 bytes with zeros: the text ends at the first", utf16le(good) + std::string(5000, '\0'), 1},
    };
    for (const Case& c : cases) {
        RankingRecord r{};
        EXPECT_EQ(parse(c.bytes, r), c.result) << c.what;
        if (c.result == 1) EXPECT_EQ(r.level, 3) << c.what;
    }
}

TEST(SaveFile, SavedLevelOfOneOrLessStillKeepsStepsAndPosition) {
    for (int32_t level : {1, 0, -7}) {
        RankingRecord r{};
        ASSERT_EQ(parse(utf16le(saveText(level, 42, 3, 3, 2.5f)), r), 1);
        EXPECT_EQ(std::tuple(r.level, r.stepCount, r.position[2]), std::tuple(level, 42, 2.5f));
    }
}

TEST(SaveFile, EachFailedStepShowsItsErrorWithTheSystemsCode) {
    struct Case { FileFailure failure; const char16_t* text; };
    for (Case c : {Case{FileFailure::create, u"line 3630 : error in CreateFile\ncode = 28"},
                   Case{FileFailure::write, u"line 3643 : error in WriteFile\ncode = 28"},
                   Case{FileFailure::replace, u"line 3650 : error in MoveFileEx\ncode = 28"}}) {
        TempDir dir;
        FakePlatform p;
        p.failReplace = c.failure;
        EXPECT_EQ(writeSaveFile(*makeGameState(), p), 0);
        EXPECT_EQ(p.messages, std::vector<std::u16string>{c.text});
    }
}

TEST(SaveFile, AFailedWriteKeepsThePreviousSaveAndAMissingFileGivesZero) {
    TempDir dir;
    FakePlatform p;
    RankingRecord r{};
    EXPECT_EQ(readSaveFile(r, p), 0);
    auto s = makeGameState();
    s->level = 4;
    ASSERT_EQ(writeSaveFile(*s, p), 1);
    // The real file system refuses: the target's place is taken by a directory with content.
    std::filesystem::create_directories("blocked/save.dat/x");
    std::filesystem::current_path("blocked");
    s->level = 9;
    EXPECT_EQ(writeSaveFile(*s, p), 0);
    ASSERT_EQ(p.messages.size(), 1u);
    EXPECT_NE(p.messages[0].find(u"MoveFileEx"), std::u16string::npos);
    EXPECT_NE(p.errorCode, 0);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), std::filesystem::directory_iterator()), 1);
    std::filesystem::current_path("..");
    ASSERT_EQ(readSaveFile(r, p), 1);
    EXPECT_EQ(r.level, 4);
}
