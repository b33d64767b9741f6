// End to end, headless: a demo that walks level 1 from the start room to the goal, generated
// from the maze (shortest path over cellGrid, steered by a controller that watches the
// simulation), replayed by the real game; and the first frame's screenshot.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/demo.h"
#include "game/game.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "ranking/ranking.h"
#include "render/gl/png.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"
#include "support/steer.h"

namespace orlith {
namespace {

namespace fs = std::filesystem;

struct Walk { std::vector<InputSnapshot> frames; int moves = 0; };

// Plays level 1 in the simulation while writing down every frame's input.
Walk generateLevelOneWalk() {
    auto s = test::levelState(1);
    std::vector<MazeCell> path = shortestPath(s->cellGrid, s->sizeX);
    Walk walk;
    if (path.size() < 2) return walk;
    walk.moves = static_cast<int>(path.size()) - 1;
    FrameHooks hooks;
    size_t next = 1;
    while (s->level == 1 && walk.frames.size() < 20000) {
        const MazeCell& t = path[next];
        const float error = std::max({std::fabs(static_cast<float>(t.x) - s->playerPos[0]), std::fabs(static_cast<float>(t.y) - s->playerPos[1]),
                                      std::fabs(static_cast<float>(t.z) - s->playerPos[2])});
        if (error < 0.026f && next + 1 < path.size()) ++next;
        InputSnapshot f = test::steer(*s, path[next - 1], path[next]);
        updateFrame(*s, test::sharedWork(), f, hooks);
        walk.frames.push_back(f);
    }
    // Save the level reached with F4, then a frame with F12.
    InputSnapshot save, quiet;
    save.focus = quiet.focus = save.keysDown[vk::f4] = quiet.keysDown[vk::f12] = 1;
    walk.frames.insert(walk.frames.end(), {save, quiet});
    return walk;
}

class PlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::path dir = fs::path(ORLITH_TEST_DIR) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        previous_ = fs::current_path();
        fs::current_path(dir);
    }
    void TearDown() override { fs::current_path(previous_); }

    // Offline, without the registration dialog.
    static int runGame(const std::string& args) {
        std::string command = std::string("\"") + ORLITH_BINARY + "\" --offline --start " + args + " > game.log 2>&1";
        return std::system(command.c_str());
    }
    fs::path previous_;
};

TEST_F(PlayTest, DemoWalkingLevelOneEndsInLevelTwoWithTheShortestStepCount) {
    Walk walk = generateLevelOneWalk();
    ASSERT_GT(walk.moves, 0);
    ASSERT_LT(walk.frames.size(), 20000u);
    // The simulation wrote files of its own (the save); the game starts from a clean directory.
    fs::remove("save.dat");
    fs::remove("setting.ini");
    {
        std::ofstream out("walk.demo");
        out << kDemoHeader << "\n# level 1, start room to goal, then F4\n";
        for (const InputSnapshot& f : walk.frames) out << formatDemoLine(f) << "\n";
    }
    ASSERT_EQ(runGame("--play walk.demo --no-pacing --screen 1920x1080 --record again.demo"), 0);
    RankingRecord record{};
    test::FakePlatform files;
    ASSERT_EQ(readSaveFile(record, files), 1) << "no save.dat written by F4";
    EXPECT_EQ(std::pair(record.level, record.stepCount), std::pair(2, walk.moves));
    // F12 in the demo takes its screenshot on replay too, named by the frame it was pressed in.
    const std::string suffix = "-" + std::to_string(walk.frames.size()) + ".png";
    int shots = 0;
    for (const auto& entry : fs::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        shots += name.rfind("orlith-", 0) == 0 && name.ends_with(suffix) && entry.file_size() > 1000 ? 1 : 0;
    }
    EXPECT_EQ(shots, 1);
    // Recording while playing writes the same input back.
    std::vector<InputSnapshot> again;
    std::string error;
    ASSERT_TRUE(readDemoFile("again.demo", again, error)) << error;
    ASSERT_EQ(again.size(), walk.frames.size());
    for (size_t i = 0; i < again.size(); ++i) ASSERT_EQ(formatDemoLine(again[i]), formatDemoLine(walk.frames[i])) << i;
}

struct Rgb { int r, g, b; };

Rgb pixel(const DecodedImage& image, int x, int y) {
    const uint8_t* p = &image.rgba[(static_cast<size_t>(y) * image.width + x) * 4];
    return {p[0], p[1], p[2]};
}

float toLinear(int v) {
    float c = static_cast<float>(v) / 255.0f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

TEST_F(PlayTest, FirstFrameScreenshotHasTheHudBoxAndTheWalls) {
    ASSERT_EQ(runGame("--frames 1 --no-pacing --screen 1920x1080 --screenshot first.png"), 0);
    std::string bytes = test::fileBytes("first.png");
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(decodePng(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), image, error)) << error;
    ASSERT_EQ(std::pair(image.width, image.height), std::pair(1024, 576));
    // Looking along -z from the start room: a green face ahead, magenta above, blue below.
    struct Face { int y; bool r, g, b; };
    for (Face f : {Face{288, false, true, false}, Face{4, true, false, true}, Face{571, false, false, true}}) {
        Rgb c = pixel(image, 512, f.y);
        for (auto [value, lit] : {std::pair{c.r, f.r}, {c.g, f.g}, {c.b, f.b}}) EXPECT_TRUE(lit ? value > 120 : value < 10) << f.y;
    }
    // The veil: white at 40 % over the wall, blended in linear light; just outside, the wall.
    for (int y : {35, 120, 225}) {
        Rgb inside = pixel(image, 227, y), outside = pixel(image, 233, y);
        int in3[3] = {inside.r, inside.g, inside.b}, out3[3] = {outside.r, outside.g, outside.b};
        for (int c = 0; c < 3; ++c) {
            float expected = 0.4f + 0.6f * toLinear(out3[c]);
            EXPECT_NEAR(toLinear(in3[c]), expected, 0.03f) << "y " << y << " channel " << c;
        }
    }
    // Black text inside the first label's rectangle, none below the box's last line.
    int dark = 0;
    for (int y = 40; y < 64; ++y) {
        for (int x = 40; x < 120; ++x) dark += pixel(image, x, y).r < 60 && pixel(image, x, y).g < 60 ? 1 : 0;
    }
    EXPECT_GT(dark, 20);
}

TEST_F(PlayTest, BadDemoFileIsAClearErrorAndNoCrash) {
    test::writeBytes("bad.demo", std::string(kDemoHeader) + "\n1 81\n1 q\n");
    EXPECT_NE(runGame("--play bad.demo --no-pacing"), 0);
    std::string text = test::fileBytes("game.log");
    EXPECT_NE(text.find("line 3"), std::string::npos) << text;
}

TEST_F(PlayTest, NoDisplayIsOneClearMessageAndAFailingExit) {
    // A video driver that does not exist stands for a machine without a display.
    int status = std::system((std::string("SDL_VIDEODRIVER=none-such \"") + ORLITH_BINARY + "\" --frames 1 > game.log 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    std::string text = test::fileBytes("game.log");
    EXPECT_TRUE(WEXITSTATUS(status) != 0 && !fs::exists("setting.ini"));
    EXPECT_TRUE(text.find("line ") != std::string::npos && text.find("error in") != std::string::npos) << text;
}

TEST_F(PlayTest, ARestoreOfAHugeLevelCanBeAbandonedByClosingTheWindow) {
    // A valid save at a level that would take days to replay.
    float pos[3] = {3, 3, 3}, zero[3] = {0, 0, 0};
    std::u16string text = u"state=" + formatStateValue(0, u"00000000", 2000000000, 7, pos, zero, zero);
    text += makeChecksumTag(text);
    test::writeBytes("save.dat", test::utf16le(text));
    // SDL turns SIGTERM into the same quit event as closing the window, once it has installed
    // its handler (bit 15 of the caught-signal mask); wait for that, then for the replay to run.
    std::string command = std::string("\"") + ORLITH_BINARY +
                          "\" --offline --start --no-pacing > game.log 2>&1 & pid=$!; "
                          "for i in $(seq 100); do "
                          "  mask=$(awk '/^SigCgt/ {print $2}' /proc/$pid/status 2>/dev/null); "
                          "  [ -n \"$mask\" ] && [ $(( 0x$mask & 0x4000 )) -ne 0 ] && break; sleep 0.1; "
                          "done; sleep 1; kill -TERM $pid; wait $pid; echo $? > code";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(test::fileBytes("code"), "0\n");
    std::string output = test::fileBytes("game.log");
    EXPECT_EQ(output.find("error"), std::string::npos) << output;
}

}  // namespace
}  // namespace orlith
