// setting.ini: reading key by key with its acceptance rules, and writing without losing lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <tuple>

#include "state/game_state.h"
#include "persist/persist.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

using namespace orlith;
using orlith::test::FakePlatform;
using orlith::test::TempDir;

namespace {
FakePlatform p;
std::unique_ptr<GameState> readSettings() {
    auto s = makeGameState();
    readSettingsFile(*s, p);
    return s;
}
using orlith::test::fileBytes;
const auto& writeFile = orlith::test::writeBytes;
}  // namespace

TEST(Settings, EachKeyIsAcceptedOrIgnoredByItsRule) {
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
        {"Rotate=10", &GameState::rotateSpeed, 3, 3},
        {"rotate=2", &GameState::rotateSpeed, 4, 2},           // keys ignore case
        {"Rotate=", &GameState::rotateSpeed, 4, 4},            // empty counts as absent
        {"Rotate=\"5\"", &GameState::rotateSpeed, 4, 5},       // enclosing quotes are dropped
        {"Rotate=99999999999999999999", &GameState::rotateSpeed, 4, 4},  // saturates, out of range
        {"Rotate=" + std::string(31, '0') + "7", &GameState::rotateSpeed, 4, 4},  // cut to 31 characters: 0
        {"Rotate=" + std::string(30, '0') + "7", &GameState::rotateSpeed, 4, 7},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile("setting.ini", "[setting]\r\n" + c.line + "\r\n");
        auto s = makeGameState();
        s.get()->*c.field = c.start;
        readSettingsFile(*s, p);
        EXPECT_EQ(s.get()->*c.field, c.expected) << c.line;
    }
}

TEST(Settings, MissingOrGarbageFilesLeaveTheDefaults) {
    std::mt19937 rng(7);
    std::string garbage(10 * 1024 * 1024, '\0');
    for (char& ch : garbage) ch = static_cast<char>(rng());
    for (const std::string& content : {std::string(), garbage, std::string("[Other]\nRotate=2\n"),
                                       std::string("Rotate=2\n[Setting]\n"), std::string("\0\0[Setting]\0", 12)}) {
        TempDir dir;
        if (!content.empty()) writeFile("setting.ini", content);
        auto s = readSettings();
        EXPECT_EQ(std::tuple(s->rotateSpeed, s->movementMode, s->horizontalSign), std::tuple(4, 0, 1));
    }
}

TEST(Settings, WriteCreatesTheFile) {
    TempDir dir;
    auto s = makeGameState();
    s->movementMode = 2, s->showFps = 1, s->horizontalSign = -1, s->rotateSpeed = 9;
    writeSettingsFile(*s, p);
    EXPECT_EQ(fileBytes("setting.ini"),
              "[Setting]\r\nMovement=2\r\nWall=0\r\nStatus=0\r\nFPS=1\r\nGuide=0\r\nHorizontal=-1\r\nVertical=1\r\n"
              "Progress=1\r\nRotate=9\r\n");
}

TEST(Settings, WriteKeepsEveryOtherLineSectionAndKey) {
    TempDir dir;
    writeFile("setting.ini", "; my notes\n[Window]\nx=5\n\n[SETTING]\nfps = 7\nColor=blue\n\n[Later]\nRotate=1\n");
    auto s = readSettings();
    EXPECT_EQ(std::tuple(s->showFps, s->rotateSpeed), std::tuple(1, 4));  // a later section's key is not ours
    writeSettingsFile(*s, p);
    EXPECT_EQ(fileBytes("setting.ini"),
              "; my notes\n[Window]\nx=5\n\n[SETTING]\nFPS=1\nColor=blue\nMovement=0\nWall=0\nStatus=0\nGuide=0\n"
              "Horizontal=1\nVertical=1\nProgress=1\nRotate=4\n\n[Later]\nRotate=1\n");
}

TEST(Settings, TheDirectoryIsTakenAtEachCall) {
    TempDir first;
    std::filesystem::create_directory("later");
    auto s = makeGameState();
    s->rotateSpeed = 6;
    writeSettingsFile(*s, p);
    std::filesystem::current_path("later");
    s->rotateSpeed = 2;
    writeSettingsFile(*s, p);
    EXPECT_EQ(readSettings()->rotateSpeed, 2);
    std::filesystem::current_path("..");
    EXPECT_EQ(readSettings()->rotateSpeed, 6);
}

TEST(Settings, UnicodeFilesAreReadAndWrittenBackInTheirEncoding) {
    auto encode = [](std::u16string_view text, bool little) {
        std::string bytes = test::utf16le(text);
        for (size_t i = 0; !little && i < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
        return (little ? "\xFF\xFE" : "\xFE\xFF") + bytes;
    };
    for (bool little : {true, false}) {
        TempDir dir;
        writeFile("setting.ini", encode(u"; メモ\r\n[Setting]\r\nRotate=7\r\n", little));
        auto s = readSettings();
        EXPECT_EQ(s->rotateSpeed, 7);
        s->rotateSpeed = 2;
        writeSettingsFile(*s, p);
        EXPECT_EQ(fileBytes("setting.ini"),
                  encode(u"; メモ\r\n[Setting]\r\nRotate=2\r\nMovement=0\r\nWall=0\r\nStatus=0\r\nFPS=0\r\nGuide=0\r\n"
                         u"Horizontal=1\r\nVertical=1\r\nProgress=1\r\n",
                         little));
    }
    TempDir dir;
    writeFile("setting.ini", "\xEF\xBB\xBF[Setting]\nRotate=8\n");
    auto s = readSettings();
    EXPECT_EQ(s->rotateSpeed, 8);
    writeSettingsFile(*s, p);
    EXPECT_EQ(fileBytes("setting.ini").substr(0, 13), "\xEF\xBB\xBF[Setting]\n");
}

TEST(Settings, LeadingIntegerParsing) {
    struct Case { std::string text; int32_t value; };
    for (const Case& c : {Case{"12", 12}, Case{"  -4z", -4}, Case{"+7", 7}, Case{"x1", 0}, Case{"", 0}, Case{"-", 0},
                          Case{"2147483647", 2147483647}, Case{"2147483648", 2147483647}, Case{"-2147483648", INT32_MIN},
                          Case{"-99999999999", INT32_MIN}})
        EXPECT_EQ(parseLeadingInt(c.text), c.value) << c.text;
}
