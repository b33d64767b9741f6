// The portable shell's rules: controls beside the keyboard (a game controller into the snapshot,
// keys moved in setting.ini), demo lines (a controller's part deflection among them)
// and the command line, the registration dialog's rules and the information dialog's rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "app/controls.h"
#include "app/demo.h"
#include "app/dialog_models.h"
#include "app/frame_loop.h"
#include "base/text.h"
#include "game/game.h"
#include "persist/persist.h"
#include "ranking/ranking.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

namespace orlith {
namespace {

// The snapshot's keys as text, then its four arrow amounts.
std::string heldOf(const InputSnapshot& in) {
    std::string keys;
    for (int k = 0; k < 256; ++k) {
        if (in.keysDown[k] != 0) keys += keyNameOf(k) + " ";
    }
    return keys + std::to_string(in.arrowAmount[0]) + "," + std::to_string(in.arrowAmount[1]) + "," +
           std::to_string(in.arrowAmount[2]) + "," + std::to_string(in.arrowAmount[3]);
}

std::u16string hashOf(std::u16string_view nickname, std::u16string_view pin) {
    char16_t hash[9];
    makePinHash(nickname, pin, hash);
    return hash;
}

TEST(Controller, FillsTheSnapshotPastItsDeadZoneAndTurnsInProportion) {
    struct Case { const char* what; PadState pad; std::string held; };
    const Case cases[] = {
        {"inside the dead zone", {.connected = true, .leftY = -0.24f, .rightX = 0.25f}, "0,0,0,0"},
        {"forward and back", {.connected = true, .leftY = -0.26f}, "Q 0,0,0,0"},
        {"back", {.connected = true, .leftY = 1}, "A 0,0,0,0"},
        {"half way past the dead zone turns half", {.connected = true, .rightX = 0.625f, .rightY = -1}, "0,1000,500,0"},
        {"left and down", {.connected = true, .rightX = -1, .rightY = 0.4375f}, "1000,0,0,250"},
        {"shoulders, faces, d-pad, back", {.connected = true, .buttons = {true, true, true, true, true, true, true, true, true, true, true, true}},
         "D F G I M N S W X Z F4 0,0,0,0"},
        {"pulled out: nothing held", PadState{false, 0, -1, 1, 0, {true, true}}, "0,0,0,0"},
    };
    for (const Case& c : cases) {
        InputSnapshot in;
        applyPad(c.pad, in);
        EXPECT_EQ(heldOf(in), c.held) << c.what;
    }
    // Beside the keyboard: a held key stays held, an arrow key turns fully.
    InputSnapshot in = test::held({vk::w, vk::right});
    in.arrowAmount[2] = 1000;
    applyPad({.connected = true, .rightX = 0.625f}, in);
    EXPECT_EQ(heldOf(in), "Right W 0,0,1000,0");
}

TEST(KeyMap, MovedKeysAreReadWrittenAndRefused) {
    for (int k = 1; k < 256; ++k)
        if (!keyNameOf(k).empty()) EXPECT_EQ(keyCodeOfName(keyNameOf(k)), k) << k;
    for (const char* name : {"", "F0", "F13", "F01", "Numpad10", "LeftArrow", "é"}) EXPECT_EQ(keyCodeOfName(name), 0) << name;

    test::TempDir dir;
    test::FakePlatform p;
    auto read = [&](const std::string& file, std::string& problem) {
        test::writeBytes("setting.ini", file);
        KeyMap map;
        return std::pair(readKeyMap(p, map, problem), map);
    };
    std::string problem;
    // A file of a build without [Keys]: the standard keys.
    auto [old, standard] = read("[Setting]\r\nRotate=5\r\n", problem);
    EXPECT_TRUE(old && problem.empty());
    for (int k = 0; k < 256; ++k) ASSERT_EQ(standard.physical[k], k);
    // Forward and Walls swapped, the arrows on the numeric pad (names in any case): read, written back the same.
    const std::string moved = "[Keys]\r\nForward=W\r\nWalls=q\r\nTurnLeft=Numpad4\r\nTurnRight=numpad6\r\n";
    auto [ok, map] = read(moved, problem);
    EXPECT_TRUE(ok) << problem;
    EXPECT_EQ(std::tuple(map.physical[vk::q], map.physical[vk::w], map.physical[vk::left], map.physical[vk::right], map.physical[vk::a]),
              std::tuple('W', 'Q', 100, 102, 'A'));
    // orlith --write-keys writes them back the same.
    const char* writeKeys[] = {"orlith", "--write-keys"};
    RunSetUp setUp;
    ASSERT_EQ(prepareRun(2, writeKeys, p, setUp), 0);
    const std::string written = test::fileBytes("setting.ini");
    EXPECT_NE(written.find("Forward=W\r\nWalls=Q\r\nTurnLeft=Numpad4\r\nTurnRight=Numpad6\r\nBackward=A\r\n"), std::string::npos)
        << written;
    auto [reread, again] = read(written, problem);
    EXPECT_TRUE(reread && std::equal(std::begin(again.physical), std::end(again.physical), std::begin(map.physical)));
    // Refused, with words a player can act on; the standard keys stay.
    struct Bad { std::string file, problem; };
    for (const Bad& b : {Bad{"[Keys]\r\nForward=W\r\n", "W stands for both Forward and Walls"},
                         Bad{"[Keys]\r\nSave=F4\r\nScreenshot=f4\r\n", "F4 stands for both Save and Screenshot"},
                         Bad{"[Keys]\r\nMode=Flurb\r\n", "Mode=Flurb names no key"}}) {
        auto [accepted, kept] = read(b.file, problem);
        EXPECT_FALSE(accepted) << b.file;
        EXPECT_NE(problem.find(b.problem), std::string::npos) << problem;
        EXPECT_EQ(std::tuple(kept.physical[vk::q], kept.physical[vk::f4], kept.physical[vk::m]), std::tuple(vk::q, vk::f4, vk::m));
        EXPECT_TRUE(prepareRun(2, writeKeys, p, setUp) == 1 && test::fileBytes("setting.ini") == b.file) << "--write-keys keeps it";
    }
}

TEST(RegistrationDialog, OpensOfflineWithTheBoxesDisabledAndTicksBothWays) {
    auto s = makeGameState();
    s->networkEnabled = 1;
    RegistrationModel dialog(*s);
    EXPECT_EQ(std::tuple(s->networkEnabled, dialog.ticked(), dialog.controlsEnabled()), std::tuple(0, false, false));
    EXPECT_EQ(dialog.text(RegistrationBox::server) + u":" + dialog.text(RegistrationBox::port), u"localhost:80");
    dialog.setTicked(true);
    EXPECT_EQ(std::tuple(s->networkEnabled, dialog.controlsEnabled()), std::tuple(1, true));
    dialog.edit(RegistrationBox::nickname, u"ann"), dialog.setTicked(false);  // ticked, then cleared: offline again
    EXPECT_FALSE(dialog.controlsEnabled());
    EXPECT_TRUE(dialog.pressStart());
    EXPECT_EQ(std::tuple(s->networkEnabled, s->nickname[0]), std::tuple(0, u'\0'));
}

TEST(RegistrationDialog, StartIsRefusedSilentlyUntilEveryBoxHoldsTextAndThePortANumber) {
    struct Case { const char* what; bool tick; std::u16string nickname, pin, server, port; bool ends; };
    const Case cases[] = {
        {"box cleared: offline, whatever the boxes hold", false, u"", u"", u"", u"0", true},
        {"empty nickname", true, u"", u"1", u"h", u"80", false},
        {"empty PIN", true, u"ann", u"", u"h", u"80", false},
        {"empty server", true, u"ann", u"1", u"", u"80", false},
        {"empty port", true, u"ann", u"1", u"h", u"", false},
        {"port 0", true, u"ann", u"1", u"h", u"0", false},
        {"port of letters", true, u"ann", u"1", u"h", u"http", false},
        {"port 8 and a letter reads as 8", true, u"ann", u"1", u"h", u"8x", true},
        {"port 65535", true, u"ann", u"1", u"h", u"65535", true},
        {"port 65536 would reach port 0", true, u"ann", u"1", u"h", u"65536", false},
        {"port 99999 would reach port 34463", true, u"ann", u"1", u"h", u"99999", false},
        {"a negative port", true, u"ann", u"1", u"h", u"-80", false},
        {"complete", true, u"日本", u"0042", u"example.org", u"8080", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto s = makeGameState();
        RegistrationModel dialog(*s);
        dialog.setTicked(c.tick);
        for (auto [box, text] : {std::pair{RegistrationBox::nickname, &c.nickname}, {RegistrationBox::pin, &c.pin},
                                 {RegistrationBox::server, &c.server}, {RegistrationBox::port, &c.port}})
            dialog.edit(box, *text);
        EXPECT_EQ(dialog.pressStart(), c.ends);
        EXPECT_EQ(s->networkEnabled, c.tick ? 1 : 0);
        // The PIN itself is never kept: only its hash, once start is accepted.
        const bool online = c.ends && c.tick;
        EXPECT_EQ(std::u16string(s->nickname) + u"|" + s->serverName + u"|" + s->serverPort + u"|" + s->pinHash,
                  online ? c.nickname + u"|" + c.server + u"|" + c.port + u"|" + hashOf(c.nickname, c.pin) : u"|||");
    }
    EXPECT_NE(hashOf(u"ann", u"0042"), hashOf(u"ann", u"42"));  // the text is hashed, not the number
    EXPECT_NE(hashOf(u"ann", u"42"), hashOf(u"bob", u"42"));
    EXPECT_EQ(portNumber(u" -12x"), -12);
}

TEST(RegistrationDialog, BoxesKeepTheirLimitInCharactersAndThePinOnlyDigits) {
    auto s = makeGameState();
    RegistrationModel dialog(*s);
    struct Case { RegistrationBox box; std::u16string typed, kept; };
    const Case cases[] = {
        {RegistrationBox::nickname, u"日本語のニックネーム長い", u"日本語のニックネーム"},
        {RegistrationBox::nickname, u"123456789\U0001F600", u"123456789"},  // never half a character
        {RegistrationBox::nickname, u"a\tb", u"ab"},
        {RegistrationBox::pin, u"12a3-4", u"1234"},
        {RegistrationBox::pin, u"12345678901234567", u"1234567890123456"},
        {RegistrationBox::server, u"ranking.example.org", u"ranking.example."},
        {RegistrationBox::port, u"123456", u"12345"},
    };
    for (const Case& c : cases) {
        dialog.edit(c.box, c.typed);
        EXPECT_EQ(dialog.text(c.box), c.kept) << utf16ToUtf8(c.typed);
    }
    EXPECT_EQ(std::tuple(dialog.takesCharacter(RegistrationBox::pin, U'x'), dialog.takesCharacter(RegistrationBox::nickname, U'日'),
                         dialog.limit(RegistrationBox::server)), std::tuple(false, true, 16));
}

TEST(InformationDialog, RowsFollowTheRankingListUnderItsSixColumns) {
    auto s = makeGameState();
    auto table = std::make_unique<InformationTable>();
    buildInformationTable(*s, *table);
    EXPECT_EQ(table->rowCount, 0);
    const std::pair<std::u16string, int32_t> columns[] = {{u"順位", 50}, {u"ニックネーム", 130}, {u"レベル", 65},
                                                          {u"ゴール距離", 65}, {u"移動累積", 65}, {u"日時", 110}};
    for (int c = 0; c < InformationTable::kColumns; ++c) EXPECT_EQ(std::pair(std::u16string(table->headings[c]), table->widths[c]), columns[c]);
    s->rankingCount = kMaxRankingRecords;
    for (int k = 0; k < kMaxRankingRecords; ++k) {
        RankingRecord& r = s->rankingList[k];
        formatText(r.name, 32, u"p%d", k);
        r.level = 300 - k, r.goalDistance = k % 7, r.stepCount = 10 * k;
        copyText(r.dateText, 32, u"2026/01/02 03:04");
    }
    buildInformationTable(*s, *table);
    ASSERT_EQ(table->rowCount, 256);
    const std::u16string first[] = {u"1", u"p0", u"300", u"0", u"0", u"2026/01/02 03:04"};
    const std::u16string last[] = {u"256", u"p255", u"45", u"3", u"2550", u"2026/01/02 03:04"};
    for (int c = 0; c < InformationTable::kColumns; ++c)
        EXPECT_EQ(std::u16string(table->cells[0][c]) + u"|" + table->cells[255][c], first[c] + u"|" + last[c]);
}

TEST(Demo, LinesRoundTripAndBadLinesAreRefused) {
    InputSnapshot frame = test::held({81, 37});
    for (PointerEvent e : {PointerEvent{PointerEvent::down, 10, -20}, PointerEvent{PointerEvent::move, 15, 20},
                           PointerEvent{PointerEvent::wheel, -120, 0}, PointerEvent{PointerEvent::up, 0, 0}})
        frame.addPointerEvent(e);
    std::string line = formatDemoLine(frame), error;
    EXPECT_EQ(line, "1 37,81 d:10,-20 m:15,20 w:-120 u");
    InputSnapshot back;
    ASSERT_TRUE(parseDemoLine(line, back, error)) << error;
    EXPECT_EQ(formatDemoLine(back), line);
    EXPECT_EQ(formatDemoLine(InputSnapshot{}), "0 -");
    // A controller's part deflection: its arrow amounts, written when any is not zero.
    for (auto [turn, text] : {std::pair{std::array<int16_t, 4>{1000, 0, 500, 250}, "0 - t:1000,0,500,250"}, {{0, 0, 0, 7}, "0 - t:0,0,0,7"}}) {
        std::copy(turn.begin(), turn.end(), frame.arrowAmount);
        frame.focus = 0, frame.eventCount = 0, frame.keysDown[81] = frame.keysDown[37] = 0;
        ASSERT_EQ(formatDemoLine(frame), text);
        ASSERT_TRUE(parseDemoLine(text, back, error)) << error;
        EXPECT_TRUE(std::equal(turn.begin(), turn.end(), back.arrowAmount)) << text;
    }
    // Moves after moves and wheel turns after turns are one event, as the game would see them
    // one by one; a button change past the room still lands.
    ASSERT_TRUE(parseDemoLine("1 - m:1,1 m:2,2 w:120 w:-60 w:32000 w:32000 d:3,3 u d:4,4 u d:5,5 u d:6,6 u d:7,7 u d:8,8 u d:9,9 u", back, error));
    EXPECT_EQ(formatDemoLine(back), "1 - m:2,2 w:32060 w:32000 d:3,3 u d:4,4 u d:5,5 u d:6,6 u d:7,7 u d:8,8 u u");
    EXPECT_EQ(back.eventCount, InputSnapshot::kMaxEvents);
    for (const char* bad : {"", "2 -", "1", "1 81,", "1 256", "1 x", "1 - d:1", "1 - d:1,", "1 - m:a,b", "1 - w:", "1 - q",
                            "1 - w:99999", "1 - d:1,2,3", "1 -1", "1 - t:1,2,3", "1 - t:1,2,3,1001", "1 - t:-1,0,0,0"}) {
        error.clear();
        EXPECT_FALSE(parseDemoLine(bad, back, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    std::vector<InputSnapshot> frames;  // a demo text must open with its header
    EXPECT_FALSE(parseDemoText("# a note\n1 -\n", frames, error));
    EXPECT_EQ(error, "line 2: expected 'orlith-demo 1'");
}

// The command line: the game's flags, and the registration boxes filled only with what they would keep.
TEST(CommandLine, FlagsAreReadAndBadCommandLinesRefused) {
    std::string error;
    auto parse = [&error](std::vector<const char*> args, Options& o) {
        args.insert(args.begin(), "orlith");
        error.clear();
        return parseOptions(static_cast<int>(args.size()), args.data(), o, error);
    };
    Options o;
    ASSERT_TRUE(parse({"--play", "a.demo", "--frames", "120", "--screenshot", "s.png", "--screen", "1280x1024", "--no-pacing",
                       "xNetFpsx"}, o)) << error;
    EXPECT_EQ(std::tuple(o.playPath, o.frames, o.screenshotPath, o.screenWidth, o.screenHeight, o.pacing, o.netFps),
              std::tuple("a.demo", 120, "s.png", 1280, 1024, false, true));
    ASSERT_TRUE(parse({"netfps", "--nickname", "日本", "--pin", "0042", "--port", "8080", "--offline", "--start"}, o = Options{}));
    EXPECT_EQ(o.nickname + u"|" + o.pin + u"|" + o.server + u"|" + o.port + (o.offline && o.start ? u"|both" : u""),
              u"日本|0042||8080|both");
    EXPECT_FALSE(o.netFps);
    for (std::vector<const char*> bad : {std::vector<const char*>{"--frames"}, {"--frames", "-1"}, {"--frames", "12x"},
                                         {"--screen", "1024"}, {"--screen", "0x0"}, {"--bogus"}, {"--record", "a", "--play", "a"},
                                         {"--pin", "12a"}, {"--nickname", "elevenchars"}, {"--port", "123456"},
                                         {"--server", ""}, {"--nickname"}}) {
        EXPECT_FALSE(parse(bad, o)) << bad[0];
        EXPECT_FALSE(error.empty()) << bad[0];
    }
}

}  // namespace
}  // namespace orlith
