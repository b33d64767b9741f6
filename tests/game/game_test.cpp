// The per-frame update: order of work, counters and timers, keys, focus, frame pacing and the
// pointer bookkeeping.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/shell.h"
#include "game/game.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "support/fake_platform.h"

using namespace orlith;
using orlith::test::FakePlatform;
using orlith::test::TempDir;

namespace {

// Records the order of the hook calls and what the state looked like at each.
class RecordingHooks : public FrameHooks {
public:
    std::vector<std::string> calls;
    int levelAtRender = 0;
    void takeRankingUpdate(GameState&) override { calls.push_back("ranking"); }
    void writeSettings(GameState&) override { calls.push_back("settings"); }
    int writeSave(GameState&) override {
        calls.push_back("save");
        return 1;
    }
    void renderFrame(GameState& s) override {
        calls.push_back("render");
        levelAtRender = s.level;
    }
    void sendRankingRequest(GameState&) override { calls.push_back("send"); }
    void openInformationDialog(GameState&) override { calls.push_back("dialog"); }
    long count(const char* call) const { return std::count(calls.begin(), calls.end(), call); }
};

MazeWork& work() {
    static std::unique_ptr<MazeWork> w = makeMazeWork();
    return *w;
}

std::unique_ptr<GameState> level1() {
    auto s = makeGameState();
    newLevel(*s, work());
    return s;
}

// Runs one frame with exactly these keys held.
void frame(GameState& s, FakePlatform& p, FrameHooks& h, std::initializer_list<int> keys = {}) {
    p.down = keys;
    updateFrame(s, work(), p, h);
}

}  // namespace

TEST(UpdateFrame, CountersAdvanceAndWrap) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    RecordingHooks h;
    std::vector<int> cycleAngles;
    for (int f = 1; f <= 1800 * 5 + 1; ++f) {
        frame(*s, p, h);
        if (f == 1) {
            EXPECT_EQ(s->spinAngle, 2);
            EXPECT_EQ(s->frameCounter, 1);
            EXPECT_EQ(s->cycleFrame, 1);
        }
        if (f == 60) EXPECT_EQ(s->frameCounter, 0);
        if (f == 180) EXPECT_EQ(s->spinAngle, 0);
        if (f == 1800) EXPECT_EQ(s->cycleFrame, 1800);
        if (s->cycleFrame == 1) cycleAngles.push_back(s->cycleAngle);
    }
    EXPECT_EQ(cycleAngles, (std::vector<int>{0, 250, 140, 30, 280, 170}));
}

TEST(UpdateFrame, ANoticeLastsExactly180Frames) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    RecordingHooks h;
    frame(*s, p, h, {vk::g});  // raised in frame k
    int visible = 1;
    while (s->guideNoticeTimer != 0) {
        frame(*s, p, h);
        if (s->guideNoticeTimer != 0) ++visible;
    }
    EXPECT_EQ(visible, 180);  // frames k .. k+179 show it
    EXPECT_EQ(s->guideNoticeTimer, 0);
}

TEST(UpdateFrame, OrderIsRenderThenGoalThenOnlineTail) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    RecordingHooks h;
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 1.0f;  // standing on the goal
    frame(*s, p, h);
    EXPECT_EQ(h.levelAtRender, 1);  // the goal frame is drawn in the old maze
    EXPECT_EQ(s->level, 2);
    EXPECT_EQ(h.calls, std::vector<std::string>{"render"});
    // ...but whatever reads the state afterwards sees the new level's start pose.
    EXPECT_EQ(s->cameraEye.x, 5.0f);

    s->networkEnabled = 1;
    h.calls.clear();
    frame(*s, p, h, {vk::i, vk::g});
    EXPECT_EQ(h.calls, (std::vector<std::string>{"ranking", "settings", "render", "send", "dialog"}));
    h.calls.clear();
    frame(*s, p, h, {vk::i});  // held: no second dialog
    EXPECT_EQ(h.calls, (std::vector<std::string>{"ranking", "render", "send"}));
}

TEST(UpdateFrame, ASaveInTheFrameAfterTheGoalHoldsTheNewLevelsPosition) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    GameHooks hooks(p);
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 1.0f;
    frame(*s, p, hooks);
    ASSERT_EQ(s->level, 2);
    frame(*s, p, hooks, {vk::f4});
    RankingRecord saved{};
    ASSERT_EQ(readSaveFile(saved, p), 1);
    EXPECT_EQ(saved.level, 2);
    for (float c : saved.position) EXPECT_EQ(c, 5.0f);  // level 2's start room, not level 1's goal
}

TEST(UpdateFrame, UnfocusedWindowIgnoresInputButRunsTimersAndTheGoal) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    RecordingHooks h;
    s->rotateNoticeTimer = 5;
    p.focus = false;
    float before[3] = {s->playerPos[0], s->playerPos[1], s->playerPos[2]};
    frame(*s, p, h, {vk::q, vk::right, vk::w, vk::r});
    EXPECT_EQ(s->playerPos[2], before[2]);
    EXPECT_EQ(s->yaw, 180.0f);
    EXPECT_EQ(s->texturedWalls, 0);
    EXPECT_EQ(s->rotateNoticeTimer, 4);
    EXPECT_EQ(h.count("settings"), 0);
    s->playerPos[0] = s->playerPos[1] = s->playerPos[2] = 1.02f;
    frame(*s, p, h);
    EXPECT_EQ(s->level, 2);
}

TEST(Keys, PressedKeysActOnceAndCycle) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    RecordingHooks h;
    for (int f = 0; f < 10; ++f) frame(*s, p, h, {vk::w});  // held W toggles once
    EXPECT_EQ(s->texturedWalls, 1);

    std::vector<int> rotates;
    for (int k = 0; k < 9; ++k) {
        frame(*s, p, h, {vk::r});
        frame(*s, p, h);
        rotates.push_back(s->rotateSpeed);
    }
    EXPECT_EQ(rotates, (std::vector<int>{5, 6, 7, 8, 9, 1, 2, 3, 4}));

    for (int k = 0; k < 4; ++k) {
        frame(*s, p, h, {vk::d});
        frame(*s, p, h);
    }
    EXPECT_EQ(s->hudMode, 3);

    struct Toggle { int key; int32_t GameState::*field; int32_t after; int32_t GameState::*timer; };
    for (Toggle t : {Toggle{vk::s, &GameState::showDistance, 1, nullptr}, Toggle{vk::f, &GameState::showFps, 1, nullptr},
                     Toggle{vk::g, &GameState::guideOn, 1, &GameState::guideNoticeTimer},
                     Toggle{vk::h, &GameState::horizontalSign, -1, &GameState::horizontalNoticeTimer},
                     Toggle{vk::v, &GameState::verticalSign, -1, &GameState::verticalNoticeTimer},
                     Toggle{vk::p, &GameState::progressSign, -1, &GameState::progressNoticeTimer}}) {
        frame(*s, p, h, {t.key});
        EXPECT_EQ(s.get()->*t.field, t.after) << "key " << t.key;
        if (t.timer) EXPECT_EQ(s.get()->*t.timer, 180) << "key " << t.key;
        frame(*s, p, h);
    }
}

TEST(Keys, SettingsAreWrittenWhenASettingKeyActedButNotForD) {
    TempDir dir;
    auto s = level1();
    FakePlatform p;
    GameHooks hooks(p);
    frame(*s, p, hooks, {vk::d});
    EXPECT_FALSE(std::filesystem::exists("setting.ini"));
    frame(*s, p, hooks);
    frame(*s, p, hooks, {vk::v});
    ASSERT_TRUE(std::filesystem::exists("setting.ini"));
    auto reread = makeGameState();
    readSettingsFile(*reread, p);
    EXPECT_EQ(reread->verticalSign, -1);
}

TEST(Keys, NightmareAndModeKeys) {
    TempDir dir;
    FakePlatform p;
    RecordingHooks h;
    {
        auto s = level1();
        frame(*s, p, h, {vk::n, vk::m});  // N and M together in Walk: Fly 1, not Fly 2
        EXPECT_EQ(s->movementMode, 1);
        EXPECT_EQ(s->nightmareTimer, 180);
        EXPECT_EQ(s->texturedWalls, 1);
        EXPECT_EQ(s->showDistance, 1);
        EXPECT_EQ(s->guideOn, 0);
    }
    {
        auto s = level1();
        s->movementMode = 2;
        frame(*s, p, h, {vk::n});
        EXPECT_EQ(s->movementMode, 2);
        EXPECT_EQ(s->movementNoticeTimer, 180);
    }
    {
        auto s = level1();
        pointerButtonDown(*s, 10, 10);  // while dragging N and M are lost
        frame(*s, p, h, {vk::n, vk::m, vk::w});
        EXPECT_EQ(s->movementMode, 0);
        EXPECT_EQ(s->nightmareTimer, 0);
        EXPECT_EQ(s->texturedWalls, 1);
        pointerButtonUp(*s);
        frame(*s, p, h, {vk::n, vk::m});  // still held: no new press
        EXPECT_EQ(s->movementMode, 0);
    }
}

TEST(Keys, SaveKeyOnlyOfflineAndInformationKeyOnlyOnline) {
    TempDir dir;
    FakePlatform p;
    RecordingHooks h;
    auto s = level1();
    s->networkEnabled = 1;
    frame(*s, p, h, {vk::f4});
    EXPECT_EQ(h.count("save"), 0);
    s->networkEnabled = 0;
    frame(*s, p, h);
    frame(*s, p, h, {vk::f4, vk::i});
    EXPECT_EQ(h.count("save"), 1);
    EXPECT_EQ(s->saveNoticeTimer, 180);
    EXPECT_EQ(h.count("dialog"), 0);
}

TEST(Keys, AKeyHeldWhileDraggingOpensTheDialogAfterRelease) {
    TempDir dir;
    FakePlatform p;
    RecordingHooks h;
    auto s = level1();
    s->networkEnabled = 1;
    pointerButtonDown(*s, 0, 0);
    frame(*s, p, h, {vk::i});
    EXPECT_EQ(std::count(h.calls.begin(), h.calls.end(), "dialog"), 0);
    pointerButtonUp(*s);
    frame(*s, p, h, {vk::i});
    EXPECT_EQ(std::count(h.calls.begin(), h.calls.end(), "dialog"), 1);
}

TEST(FramePacing, SleepsToTheGroupScheduleAndMeasuresTheRate) {
    struct Case { uint32_t startTick, perFrameMs; double fps; };
    for (Case c : {Case{1000, 0, 60.0}, Case{4294967000u, 0, 60.0}, Case{0, 20, 50.0}}) {
        auto s = makeGameState();
        FakePlatform p;
        p.tick = c.startTick;
        for (int k = 1; k <= 60; ++k) {
            beginFrameTiming(*s, p);
            EXPECT_EQ(s->measuredFps, 0.0);
            p.tick += c.perFrameMs;  // the frame's work
            endFrameTiming(*s, p);
            uint32_t target = static_cast<uint32_t>(k * 1000 / 60);
            uint32_t elapsed = p.tick - c.startTick;
            EXPECT_GE(elapsed, target);
            if (c.perFrameMs == 0) EXPECT_EQ(elapsed, target);
        }
        beginFrameTiming(*s, p);
        EXPECT_NEAR(s->measuredFps, c.fps, 0.01) << "start " << c.startTick;
        EXPECT_EQ(s->groupFrameCount, 0);
    }
}

TEST(FramePacing, ALateFrameIsNotMadeUp) {
    auto s = makeGameState();
    FakePlatform p;
    beginFrameTiming(*s, p);
    p.tick += 40;  // first frame takes 40 ms: past the 16 and 33 ms marks
    endFrameTiming(*s, p);
    EXPECT_TRUE(p.sleeps.empty());
    beginFrameTiming(*s, p);
    endFrameTiming(*s, p);  // frame 2's target is 33 ms: still late
    EXPECT_TRUE(p.sleeps.empty());
    beginFrameTiming(*s, p);
    endFrameTiming(*s, p);  // frame 3's target is 50 ms
    EXPECT_EQ(p.sleeps, std::vector<uint32_t>{10});
}

TEST(FramePacing, SixtyFramesInNoTimeDoNotCrash) {
    auto s = makeGameState();
    FakePlatform p;
    s->groupFrameCount = 60;
    beginFrameTiming(*s, p);
    EXPECT_TRUE(std::isfinite(s->measuredFps));
}

TEST(Pointer, DragWheelAndPacking) {
    auto s = makeGameState();
    pointerMove(*s, 50, 60);
    EXPECT_EQ(s->dragCurrentPoint, 0);  // no drag, nothing kept
    s->yaw = 33;
    s->pitch = -4;
    pointerButtonDown(*s, -5, 700);
    EXPECT_EQ(pointX(s->dragStartPoint), -5);
    EXPECT_EQ(pointY(s->dragStartPoint), 700);
    EXPECT_EQ(s->dragStartYaw, 33.0f);
    EXPECT_EQ(s->dragStartPitch, -4.0f);
    pointerMove(*s, -32768, 32767);
    EXPECT_EQ(pointX(s->dragCurrentPoint), -32768);
    EXPECT_EQ(pointY(s->dragCurrentPoint), 32767);
    pointerButtonUp(*s);
    EXPECT_EQ(s->dragging, 0);

    pointerWheel(*s, -120);
    pointerWheel(*s, 59);
    EXPECT_EQ(s->wheelAccum, -61);
    s->movementMode = 2;
    pointerWheel(*s, 120);
    EXPECT_EQ(s->wheelAccum, -61);
}

TEST(Shell, CommandLineSwitchAndWindowHeight) {
    EXPECT_TRUE(hasNetFpsSwitch(u"orlith --x NetFps --y"));
    EXPECT_TRUE(hasNetFpsSwitch(u"xNetFpsy"));
    EXPECT_FALSE(hasNetFpsSwitch(u"orlith netfps NETFPS"));
    EXPECT_EQ(windowHeightForScreen(1920, 1080), 576);
    EXPECT_EQ(windowHeightForScreen(1280, 1024), 819);
    EXPECT_EQ(windowHeightForScreen(1024, 768), 768);
    EXPECT_EQ(windowHeightForScreen(1680, 1050), 640);
    EXPECT_EQ(windowHeightForScreen(0, 1080), 0);
}
