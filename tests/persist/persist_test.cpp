// setting.ini: reading key by key with its acceptance rules, and writing without losing lines.
// save.dat: round trip, the checksum's exact comparison, bad files and safe replacement.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <tuple>

#include "persist/persist.h"
#include "ranking/ranking.h"
#include "state/game_state.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

using namespace orlith;
using namespace orlith::test;

namespace {
FakePlatform files;  // the settings tests' platform
std::unique_ptr<GameState> readSettings() {
    auto s = makeGameState();
    readSettingsFile(*s, files);
    return s;
}
std::u16string saveText(int32_t level, int32_t steps, float x, float y, float z) {
    float pos[3] = {x, y, z}, zero[3] = {0, 0, 0};
    std::u16string text = u"state=" + formatStateValue(1700000000, u"00000000", level, steps, pos, zero, zero);
    return text + makeChecksumTag(text);
}
}  // namespace

TEST(Settings, EachKeyByItsRuleFromItsLeadingIntegerBadFilesGiveTheDefaultsAndTheDirectoryIsTakenAtEachCall) {
    struct Case { std::string line; int32_t GameState::*field; int32_t start; int32_t expected; };
    const std::vector<Case> cases = {
        {"Movement=2", &GameState::movementMode, 0, 2}, {"Movement=-1", &GameState::movementMode, 1, 1},
        {"Movement=3", &GameState::movementMode, 1, 1}, {"Wall=1x", &GameState::texturedWalls, 0, 1},
        {"Wall=2", &GameState::texturedWalls, 0, 0},    {"Status=1", &GameState::showDistance, 0, 1},
        {"FPS=7", &GameState::showFps, 0, 1},           {"FPS=abc", &GameState::showFps, 1, 0},
        {"Guide=-3", &GameState::guideOn, 0, 1},        {"Horizontal=-1", &GameState::horizontalSign, 1, -1},
        {"Horizontal=0", &GameState::horizontalSign, 1, 1}, {"Horizontal=2", &GameState::horizontalSign, -1, -1},
        {"Vertical= -1 ", &GameState::verticalSign, 1, -1}, {"Progress=+1", &GameState::progressSign, -1, 1},
        {"Rotate=9", &GameState::rotateSpeed, 4, 9},    {"Rotate=0", &GameState::rotateSpeed, 4, 4},
        {"Rotate=10", &GameState::rotateSpeed, 3, 3},   {"rotate=2", &GameState::rotateSpeed, 4, 2},  // keys ignore case
        {"Xotate=2", &GameState::rotateSpeed, 4, 4},           // but every letter counts
        {"Rotate=", &GameState::rotateSpeed, 4, 4},            // empty counts as absent
        {"Rotate=\"5\"", &GameState::rotateSpeed, 4, 5},       // enclosing quotes are dropped
        {"Rotate=99999999999999999999", &GameState::rotateSpeed, 4, 4},  // saturates, out of range
        {"Rotate=" + std::string(31, '0') + "7", &GameState::rotateSpeed, 4, 4},  // cut to 31 characters: 0
        {"Rotate=" + std::string(30, '0') + "7", &GameState::rotateSpeed, 4, 7},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeBytes("setting.ini", "[setting]\r\n" + c.line + "\r\n");
        auto s = makeGameState();
        s.get()->*c.field = c.start;
        readSettingsFile(*s, files);
        EXPECT_EQ(s.get()->*c.field, c.expected) << c.line;
    }
    // Values are read as leading integers, saturated to 32 bits.
    struct Text { std::string text; int32_t value; };
    for (const Text& c : {Text{"12", 12}, Text{"  -4z", -4}, Text{"+7", 7}, Text{"x1", 0}, Text{"", 0}, Text{"-", 0},
                          Text{"2147483647", 2147483647}, Text{"2147483648", 2147483647}, Text{"-2147483648", INT32_MIN},
                          Text{"-99999999999", INT32_MIN}})
        EXPECT_EQ(parseLeadingInt(c.text), c.value) << c.text;
    // Missing or garbage files leave the defaults.
    std::mt19937 rng(7);
    std::string garbage(10 * 1024 * 1024, '\0');
    for (char& ch : garbage) ch = static_cast<char>(rng());
    for (const std::string& content : {std::string(), garbage, std::string("[Other]\nRotate=2\n"),
                                       std::string("Rotate=2\n[Setting]\n"), std::string("\0\0[Setting]\0", 12)}) {
        TempDir dir;
        if (!content.empty()) writeBytes("setting.ini", content);
        auto s = readSettings();
        EXPECT_EQ(std::tuple(s->rotateSpeed, s->movementMode, s->horizontalSign), std::tuple(4, 0, 1));
    }
    // The directory is taken at each call.
    TempDir first;
    std::filesystem::create_directory("later");
    auto s = makeGameState();
    s->rotateSpeed = 6;
    writeSettingsFile(*s, files);
    std::filesystem::current_path("later");
    s->rotateSpeed = 2;
    writeSettingsFile(*s, files);
    EXPECT_EQ(readSettings()->rotateSpeed, 2);
    std::filesystem::current_path("..");
    EXPECT_EQ(readSettings()->rotateSpeed, 6);
}

// Writing creates the file, or rewrites ours in place: every other line, section and key kept, in
// the file's own encoding and line ends.
TEST(Settings, WritingKeepsEveryOtherLineSectionAndKeyInTheFilesEncoding) {
    auto utf16 = [](std::u16string_view text, bool little) {
        std::string bytes = utf16le(text);
        for (size_t i = 0; !little && i < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
        return (little ? "\xFF\xFE" : "\xFE\xFF") + bytes;
    };
    const std::u16string_view memo = u"; メモ\r\n[Setting]\r\nRotate=7\r\n";
    const std::u16string_view memoAfter = u"; メモ\r\n[Setting]\r\nRotate=9\r\nMovement=2\r\nWall=0\r\nStatus=0\r\nFPS=1\r\n"
                                          u"Guide=0\r\nHorizontal=-1\r\nVertical=1\r\nProgress=1\r\n";
    struct Case { const char* what; std::string before; std::pair<int32_t, int32_t> fpsAndRotate; std::string after; };
    const Case cases[] = {
        {"no file", "", {0, 4},
         "[Setting]\r\nMovement=2\r\nWall=0\r\nStatus=0\r\nFPS=1\r\nGuide=0\r\nHorizontal=-1\r\nVertical=1\r\n"
         "Progress=1\r\nRotate=9\r\n"},
        {"other sections, lines and keys; a later section's key is not ours",
         "; my notes\n[Window]\nx=5\n\n[SETTING]\nfps = 7\nColor=blue\n\n[Later]\nRotate=1\n", {1, 4},
         "; my notes\n[Window]\nx=5\n\n[SETTING]\nFPS=1\nColor=blue\nMovement=2\nWall=0\nStatus=0\nGuide=0\n"
         "Horizontal=-1\nVertical=1\nProgress=1\nRotate=9\n\n[Later]\nRotate=1\n"},
        {"UTF-16LE", utf16(memo, true), {0, 7}, utf16(memoAfter, true)},
        {"UTF-16BE", utf16(memo, false), {0, 7}, utf16(memoAfter, false)},
        {"UTF-8 with its mark", "\xEF\xBB\xBF[Setting]\nRotate=8\n", {0, 8},
         "\xEF\xBB\xBF[Setting]\nRotate=9\nMovement=2\nWall=0\nStatus=0\nFPS=1\nGuide=0\nHorizontal=-1\nVertical=1\n"
         "Progress=1\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (!c.before.empty()) writeBytes("setting.ini", c.before);
        auto s = readSettings();
        EXPECT_EQ(std::pair(s->showFps, s->rotateSpeed), c.fpsAndRotate) << c.what;
        s->movementMode = 2, s->showFps = 1, s->horizontalSign = -1, s->rotateSpeed = 9;
        writeSettingsFile(*s, files);
        EXPECT_EQ(fileBytes("setting.ini"), c.after) << c.what;
    }
}

TEST(SaveFile, WrittenFileLoadsBackAFailedWriteKeepsThePreviousSaveAndEachFailedStepShowsItsError) {
    TempDir dir;
    FakePlatform p;
    RankingRecord r{};
    EXPECT_EQ(readSaveFile(r, p), 0);  // no file yet
    auto s = makeGameState();
    s->level = 5, s->stepCount = 1234, s->cameraEye = {2.25f, 3.5f, -1.0f, 0}, s->cameraFocus = {2.25f, 3.5f, -2.0f, 0};
    s->cameraUp = {0, 1, 0, 0}, s->pinHash[0] = u'a';  // the PIN is never written to the file
    ASSERT_EQ(writeSaveFile(*s, p), 1);
    s->level = 6;  // a second save replaces the first
    ASSERT_EQ(std::pair(writeSaveFile(*s, p), p.messages.size()), std::pair(1, size_t{0}));
    // The bytes: UTF-16LE "state=", the state value with the time, no PIN, and its checksum.
    float pos[3] = {2.25f, 3.5f, -1.0f}, view[3] = {0, 0, -1}, up[3] = {0, 1, 0};
    std::u16string text = u"state=" + formatStateValue(p.now, u"00000000", 6, 1234, pos, view, up);
    EXPECT_EQ(fileBytes("save.dat"), utf16le(text + makeChecksumTag(text)));
    ASSERT_EQ(readSaveFile(r, p), 1);
    EXPECT_EQ(std::tuple(r.level, r.stepCount, r.position[0], r.position[2], r.viewDirection[2], r.name[0]),
              std::tuple(6, 1234, 2.25f, -1.0f, -1.0f, u'\0'));

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
    EXPECT_EQ(r.level, 6);
    // Each failed step shows its error with the system's code.
    struct Case { FileFailure failure; const char16_t* text; };
    for (Case c : {Case{FileFailure::create, u"line 3630 : error in CreateFile\ncode = 28"},
                   Case{FileFailure::write, u"line 3643 : error in WriteFile\ncode = 28"},
                   Case{FileFailure::replace, u"line 3650 : error in MoveFileEx\ncode = 28"}}) {
        TempDir fresh;
        FakePlatform failing;
        failing.failReplace = c.failure;
        EXPECT_EQ(writeSaveFile(*makeGameState(), failing), 0);
        EXPECT_EQ(failing.messages, std::vector<std::u16string>{c.text});
    }
}

TEST(SaveFile, BadFilesAreRefusedSilently) {
    std::u16string good = saveText(3, 10, 1, 2, 3);
    size_t amp = good.find(u'&');
    std::u16string tampered = good;
    tampered[23] = tampered[23] == u'3' ? u'4' : u'3';  // a digit of the level
    std::u16string foreign = u"XXXXXX" + good.substr(6, amp - 6);  // another key with its own checksum
    struct Case { const char* what; std::string bytes; int result; int32_t level = 3; };
    const std::vector<Case> cases = {
        {"valid", utf16le(good), 1},
        {"level -7", utf16le(saveText(-7, 10, 1, 2, 3)), 1, -7},  // a saved level of 1 or less still keeps the rest
        {"tampered level", utf16le(tampered), 0},
        {"leading zero", utf16le(good.substr(0, amp + 5) + u"0" + good.substr(amp + 5)), 0},
        {"line end", utf16le(good + u"\r\n"), 0},
        {"no ampersand", utf16le(good.substr(0, amp)), 0},
        {"truncated", utf16le(good).substr(0, 150), 0},
        {"odd byte count", utf16le(good) + "7", 0},
        {"empty", std::string(), 0},
        {"not state= but matching", utf16le(foreign + makeChecksumTag(foreign)), 1},
        {"garbage", std::string(3000, '\x26'), 0},
        {"over 2048 bytes", utf16le(good) + std::string(4000, 'x'), 0},
        {"padded beyond 2,048 bytes with zeros: the text ends at the first", utf16le(good) + std::string(5000, '\0'), 1},
    };
    FakePlatform clock;
    for (const Case& c : cases) {
        RankingRecord r{};
        EXPECT_EQ(parseSaveBytes(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), r, clock), c.result) << c.what;
        if (c.result == 1) EXPECT_EQ(std::tuple(r.level, r.stepCount, r.position[2]), std::tuple(c.level, 10, 3.0f)) << c.what;
    }
}

