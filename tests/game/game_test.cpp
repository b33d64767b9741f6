// The per-frame update: order of work, counters and timers, keys, focus, frame pacing and the
// pointer bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "app/shell.h"
#include "game/game.h"
#include "persist/persist.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"

using namespace orlith;
using orlith::test::FakePlatform;

namespace {

// Records the order of the hook calls and the level the frame was drawn in.
class RecordingHooks : public FrameHooks {
public:
    std::vector<std::string> calls;
    int levelAtRender = 0;
    void takeRankingUpdate(GameState&) override { calls.push_back("ranking"); }
    void writeSettings(GameState&) override { calls.push_back("settings"); }
    int writeSave(GameState&) override { return calls.push_back("save"), 1; }
    void renderFrame(GameState& s) override { calls.push_back("render"), levelAtRender = s.level; }
    void sendRankingRequest(GameState&) override { calls.push_back("send"); }
    void openInformationDialog(GameState&) override { calls.push_back("dialog"); }
    long count(const char* call) const { return std::count(calls.begin(), calls.end(), call); }
};

// Level 1, a temporary directory, and frames run with exactly the given keys held.
struct Play {
    test::TempDir dir;
    std::unique_ptr<GameState> s = test::levelState(1);
    FakePlatform p;
    RecordingHooks h;
    bool focus = true;
    void frame(std::initializer_list<int> keys = {}, FrameHooks* hooks = nullptr) {
        updateFrame(*s, test::sharedWork(), test::held(keys, focus), hooks != nullptr ? *hooks : h);
    }
    void press(int key) { frame({key}), frame(); }
};

}  // namespace

TEST(UpdateFrame, CountersAdvanceAndWrapAndANoticeLasts180Frames) {
    Play g;
    std::vector<int> cycleAngles;
    for (int f = 1; f <= 1800 * 5 + 1; ++f) {
        g.frame();
        if (f == 1) EXPECT_EQ(std::tuple(g.s->spinAngle, g.s->frameCounter, g.s->cycleFrame), std::tuple(2, 1, 1));
        if (f == 60) EXPECT_EQ(g.s->frameCounter, 0);
        if (f == 180) EXPECT_EQ(g.s->spinAngle, 0);
        if (f == 1800) EXPECT_EQ(g.s->cycleFrame, 1800);
        if (g.s->cycleFrame == 1) cycleAngles.push_back(g.s->cycleAngle);
    }
    EXPECT_EQ(cycleAngles, (std::vector<int>{0, 250, 140, 30, 280, 170}));
    g.frame({vk::g});  // raised in frame k, shown in frames k .. k+179, gone in frame k+180
    int after = 0;
    for (; g.s->guideNoticeTimer != 0 && after < 1000; ++after) g.frame();
    EXPECT_EQ(after, 180);
}

TEST(UpdateFrame, AnUnfocusedWindowIgnoresInputButRunsTimersAndTheGoalAndOrderIsRenderThenGoalThenOnlineTail) {
    Play g;
    g.s->rotateNoticeTimer = 5;
    g.focus = false;
    g.frame({vk::q, vk::right, vk::w, vk::r});
    EXPECT_EQ(std::tuple(g.s->playerPos[2], g.s->yaw, g.s->texturedWalls, g.s->rotateNoticeTimer, g.h.count("settings")),
              std::tuple(3.0f, 180.0f, 0, 4, 0));
    g.h.calls.clear();
    test::place(*g.s, 1.02f, 1.02f, 1.02f), g.frame();  // within the goal sphere
    // The goal frame is drawn in the old maze, but what reads the state afterwards sees the new start pose.
    EXPECT_EQ(std::tuple(g.h.levelAtRender, g.s->level, g.s->cameraEye.x), std::tuple(1, 2, 5.0f));
    EXPECT_EQ(g.h.calls, std::vector<std::string>{"render"});
    g.focus = true, g.s->networkEnabled = 1;
    g.h.calls.clear(), g.frame({vk::i, vk::g});
    EXPECT_EQ(g.h.calls, (std::vector<std::string>{"ranking", "settings", "render", "send", "dialog"}));
    g.h.calls.clear(), g.frame({vk::i});  // held: no second dialog
    EXPECT_EQ(g.h.calls, (std::vector<std::string>{"ranking", "render", "send"}));
}

TEST(Keys, ASaveAfterTheGoalHoldsTheNewLevelsPositionSettingsAreWrittenButNotForDAndNightmareSetsItsOptions) {
    Play g;
    GameHooks hooks(g.p);
    g.frame({vk::d}, &hooks);
    EXPECT_FALSE(std::filesystem::exists("setting.ini"));
    test::place(*g.s, 1, 1, 1);
    g.frame({}, &hooks), g.frame({vk::f4}, &hooks);
    RankingRecord saved{};
    ASSERT_EQ(readSaveFile(saved, g.p), 1);
    EXPECT_EQ(saved.level, 2);
    for (float c : saved.position) EXPECT_EQ(c, 5.0f);  // level 2's start room, not level 1's goal
    g.frame({vk::v}, &hooks);
    EXPECT_NE(test::fileBytes("setting.ini").find("\nVertical=-1\r\n"), std::string::npos);
    g.frame({vk::n, vk::m}, &hooks);  // N and M together in Walk: Fly 1, not Fly 2
    EXPECT_EQ(std::tuple(g.s->movementMode, g.s->nightmareTimer, g.s->texturedWalls, g.s->showDistance, g.s->guideOn),
              std::tuple(1, 180, 1, 1, 0));
    g.s->movementMode = 2;
    g.frame({}, &hooks), g.frame({vk::n}, &hooks);
    EXPECT_EQ(std::tuple(g.s->movementMode, g.s->movementNoticeTimer), std::tuple(2, 180));
}

TEST(Keys, PressedKeysActOnceAndCycle) {
    Play g;
    for (int f = 0; f < 10; ++f) g.frame({vk::w});  // held W toggles once
    EXPECT_EQ(g.s->texturedWalls, 1);
    std::vector<int> rotates;
    for (int k = 0; k < 9; ++k) g.press(vk::r), rotates.push_back(g.s->rotateSpeed);
    EXPECT_EQ(rotates, (std::vector<int>{5, 6, 7, 8, 9, 1, 2, 3, 4}));
    for (int k = 0; k < 4; ++k) g.press(vk::d);
    EXPECT_EQ(g.s->hudMode, 3);
    struct Toggle { int key; int32_t GameState::*field; int32_t after; int32_t GameState::*timer; };
    for (Toggle t : {Toggle{vk::s, &GameState::showDistance, 1, nullptr}, Toggle{vk::f, &GameState::showFps, 1, nullptr},
                     Toggle{vk::g, &GameState::guideOn, 1, &GameState::guideNoticeTimer},
                     Toggle{vk::h, &GameState::horizontalSign, -1, &GameState::horizontalNoticeTimer},
                     Toggle{vk::v, &GameState::verticalSign, -1, &GameState::verticalNoticeTimer},
                     Toggle{vk::p, &GameState::progressSign, -1, &GameState::progressNoticeTimer}}) {
        g.frame({t.key});
        EXPECT_EQ(std::pair(g.s.get()->*t.field, t.timer ? g.s.get()->*t.timer : 180), std::pair(t.after, 180)) << "key " << t.key;
        g.frame();
    }
}

TEST(Keys, DraggingLosesNightmareModeAndInformationAndOnlineThereIsNoSave) {
    Play g;
    g.s->networkEnabled = 1;
    pointerButtonDown(*g.s, 10, 10);  // while dragging N, M and I are lost
    g.frame({vk::n, vk::m, vk::w, vk::i});
    EXPECT_EQ(std::tuple(g.s->movementMode, g.s->nightmareTimer, g.s->texturedWalls), std::tuple(0, 0, 1));
    pointerButtonUp(*g.s);
    g.frame({vk::n, vk::m, vk::i});  // N and M still held: no new press; I held opens now
    EXPECT_EQ(std::tuple(g.s->movementMode, g.h.count("dialog")), std::tuple(0, 1));
    g.frame({vk::f4});  // online: no save
    g.s->networkEnabled = 0, g.frame();
    g.frame({vk::f4, vk::i});  // offline: a save, no dialog
    EXPECT_EQ(std::tuple(g.h.count("save"), g.s->saveNoticeTimer, g.h.count("dialog")), std::tuple(1, 180, 1));
}

TEST(FramePacing, SleepsToTheGroupScheduleAndMeasuresTheRate) {
    struct Case { uint32_t startTick, perFrameMs; double fps; };
    auto s = makeGameState();
    FakePlatform p;
    for (Case c : {Case{1000, 0, 60.0}, Case{4294967000u, 0, 60.0}, Case{0, 20, 50.0}}) {
        s = makeGameState(), p.tick = c.startTick;
        for (int k = 1; k <= 60; ++k) {
            beginFrameTiming(*s, p.tick);
            EXPECT_EQ(s->measuredFps, 0.0);
            p.tick += c.perFrameMs;  // the frame's work
            p.sleepMs(endFrameTiming(*s, p.tick));
            uint32_t target = static_cast<uint32_t>(k * 1000 / 60), elapsed = p.tick - c.startTick;
            EXPECT_GE(elapsed, target);
            if (c.perFrameMs == 0) EXPECT_EQ(elapsed, target);
        }
        beginFrameTiming(*s, p.tick);
        EXPECT_NEAR(s->measuredFps, c.fps, 0.01) << "start " << c.startTick;
        EXPECT_EQ(s->groupFrameCount, 0);
    }
    // A late frame is not made up: 40 ms passes the 16 and 33 ms marks, frame 3's is 50 ms.
    s = makeGameState(), p.tick = 0;
    std::vector<uint32_t> waits;
    for (uint32_t work : {40u, 0u, 0u}) beginFrameTiming(*s, p.tick), p.tick += work, waits.push_back(endFrameTiming(*s, p.tick));
    EXPECT_EQ(waits, (std::vector<uint32_t>{0, 0, 10}));
    s->groupFrameCount = 60;  // sixty frames in no time
    beginFrameTiming(*s, p.tick);
    EXPECT_TRUE(std::isfinite(s->measuredFps));
}

TEST(Pointer, DragWheelAndPacking) {
    auto s = makeGameState();
    pointerMove(*s, 50, 60);
    EXPECT_EQ(s->dragCurrentPoint, 0);  // no drag, nothing kept
    s->yaw = 33, s->pitch = -4;
    pointerButtonDown(*s, -5, 700);
    EXPECT_EQ(std::tuple(pointX(s->dragStartPoint), pointY(s->dragStartPoint), s->dragStartYaw, s->dragStartPitch),
              std::tuple(-5, 700, 33.0f, -4.0f));
    pointerMove(*s, -32768, 32767);
    EXPECT_EQ(std::tuple(pointX(s->dragCurrentPoint), pointY(s->dragCurrentPoint)), std::tuple(-32768, 32767));
    pointerButtonUp(*s);
    pointerWheel(*s, -120), pointerWheel(*s, 59);
    const int32_t walking = s->wheelAccum;
    s->movementMode = 2;
    pointerWheel(*s, 120);  // Fly 2 keeps no wheel
    EXPECT_EQ(std::tuple(s->dragging, walking, s->wheelAccum), std::tuple(0, -61, -61));
    // Cleared as the platform clears them each frame, an event stays in its slot unread.
    InputSnapshot stale = test::held();
    stale.addPointerEvent({PointerEvent::down, 5, 5});
    stale.clearEvents();
    FrameHooks none;
    updateFrame(*s, test::sharedWork(), stale, none);
    EXPECT_EQ(s->dragging, 0);
}

TEST(Shell, CommandLineSwitchAndWindowHeight) {
    EXPECT_TRUE(hasNetFpsSwitch(u"orlith --x NetFps --y") && hasNetFpsSwitch(u"xNetFpsy"));
    EXPECT_FALSE(hasNetFpsSwitch(u"orlith netfps NETFPS"));
    struct Case { int32_t w, h, height; };
    for (Case c : {Case{1920, 1080, 576}, Case{1280, 1024, 819}, Case{1024, 768, 768}, Case{1680, 1050, 640}, Case{0, 1080, 0}})
        EXPECT_EQ(windowHeightForScreen(c.w, c.h), c.height) << c.w << "x" << c.h;
}
