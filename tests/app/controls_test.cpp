// Controls beside the keyboard: a game controller into the snapshot, keys moved in setting.ini,
// and a demo recorded with a controller replayed without one.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/controls.h"
#include "app/demo.h"
#include "game/game.h"
#include "persist/persist.h"
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

TEST(Controller, FillsTheSnapshotPastItsDeadZoneAndTurnsInProportion) {
    auto pad = [](auto change) {
        PadState p;
        p.connected = true;
        change(p);
        return p;
    };
    struct Case { const char* what; PadState pad; std::string held; };
    const Case cases[] = {
        {"inside the dead zone", pad([](PadState& p) { p.leftY = -0.24f, p.rightX = 0.25f; }), "0,0,0,0"},
        {"forward and back", pad([](PadState& p) { p.leftY = -0.26f; }), "Q 0,0,0,0"},
        {"back", pad([](PadState& p) { p.leftY = 1; }), "A 0,0,0,0"},
        {"half way past the dead zone turns half", pad([](PadState& p) { p.rightX = 0.625f, p.rightY = -1; }), "0,1000,500,0"},
        {"left and down", pad([](PadState& p) { p.rightX = -1, p.rightY = 0.4375f; }), "1000,0,0,250"},
        {"shoulders, faces, d-pad, back", pad([](PadState& p) { std::fill_n(p.buttons, PadState::buttonCount, true); }),
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
    applyPad(pad([](PadState& p) { p.rightX = 0.625f; }), in);
    EXPECT_EQ(heldOf(in), "Right W 0,0,1000,0");
}

TEST(KeyMap, MovedKeysAreReadWrittenAndRefused) {
    for (int k = 1; k < 256; ++k) {
        if (!keyNameOf(k).empty()) EXPECT_EQ(keyCodeOfName(keyNameOf(k)), k) << k;
    }
    for (const char* name : {"", "F0", "F13", "F01", "Numpad10", "LeftArrow", "é"}) EXPECT_EQ(keyCodeOfName(name), 0) << name;
    EXPECT_EQ(std::tuple(keyCodeOfName("pageup"), keyCodeOfName("f4"), keyCodeOfName("numpad0")), std::tuple(33, 115, 96));

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
    // Forward and Walls swapped, the arrows on the numeric pad: read, written back the same.
    const std::string moved = "[Keys]\r\nForward=W\r\nWalls=q\r\nTurnLeft=Numpad4\r\nTurnRight=numpad6\r\n";
    auto [ok, map] = read(moved, problem);
    EXPECT_TRUE(ok) << problem;
    EXPECT_EQ(std::tuple(map.physical[vk::q], map.physical[vk::w], map.physical[vk::left], map.physical[vk::right], map.physical[vk::a]),
              std::tuple('W', 'Q', 100, 102, 'A'));
    ASSERT_TRUE(writeKeyMap(map, p));
    const std::string written = test::fileBytes("setting.ini");
    EXPECT_NE(written.find("Forward=W\r\nWalls=Q\r\nTurnLeft=Numpad4\r\nTurnRight=Numpad6\r\nBackward=A\r\n"), std::string::npos)
        << written;
    KeyMap again;
    EXPECT_TRUE(readKeyMap(p, again, problem));
    EXPECT_TRUE(std::equal(std::begin(again.physical), std::end(again.physical), std::begin(map.physical)));
    // Refused, with words a player can act on; the standard keys stay.
    struct Bad { std::string file, problem; };
    for (const Bad& b : {Bad{"[Keys]\r\nForward=W\r\n", "W stands for both Forward and Walls"},
                         Bad{"[Keys]\r\nSave=F4\r\nScreenshot=f4\r\n", "F4 stands for both Save and Screenshot"},
                         Bad{"[Keys]\r\nMode=Flurb\r\n", "Mode=Flurb names no key"}}) {
        auto [accepted, kept] = read(b.file, problem);
        EXPECT_FALSE(accepted) << b.file;
        EXPECT_NE(problem.find(b.problem), std::string::npos) << problem;
        EXPECT_EQ(std::tuple(kept.physical[vk::q], kept.physical[vk::f4], kept.physical[vk::m]), std::tuple(vk::q, vk::f4, vk::m));
    }
}

TEST(Controller, ADemoRecordedWithAControllerReplaysWithoutOne) {
    // Walk and turn at part deflection with the stick, through the demo's text and back.
    auto played = test::levelState(1), replayed = test::levelState(1);
    FrameHooks hooks;
    std::string demo;
    for (int f = 0; f < 240; ++f) {
        PadState pad;
        pad.connected = true;
        pad.leftY = f % 60 < 40 ? -1.0f : 0.0f;
        pad.rightX = 0.3f + 0.003f * static_cast<float>(f % 100);
        pad.rightY = f > 200 ? -0.9f : 0.0f;
        InputSnapshot in = test::held();
        applyPad(pad, in);
        updateFrame(*played, test::sharedWork(), in, hooks);
        demo += formatDemoLine(in) + "\n";
    }
    std::vector<InputSnapshot> frames;
    std::string error;
    ASSERT_TRUE(parseDemoText(std::string(kDemoHeader) + "\n" + demo, frames, error)) << error;
    for (const InputSnapshot& in : frames) updateFrame(*replayed, test::sharedWork(), in, hooks);
    EXPECT_NE(played->yaw, 180.0f);
    EXPECT_EQ(std::tuple(replayed->yaw, replayed->pitch, replayed->playerPos[0], replayed->playerPos[2], replayed->stepCount),
              std::tuple(played->yaw, played->pitch, played->playerPos[0], played->playerPos[2], played->stepCount));
    std::string bad;
    EXPECT_FALSE(parseDemoLine("1 - t:1,2,3", frames[0], bad));
    EXPECT_FALSE(parseDemoLine("1 - t:1,2,3,1001", frames[0], bad));
}

}  // namespace
}  // namespace orlith
