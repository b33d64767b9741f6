// End to end, headless: a demo that walks level 1 from the start room to the goal, generated
// from the maze (shortest path over cellGrid, steered by a controller that watches the
// simulation), replayed by the real game; and the last pictures of short demos.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "app/demo.h"
#include "game/game.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "ranking/ranking.h"
#include "server/server_process.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"
#include "support/golden_picture.h"
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

    // Offline unless told otherwise, without the registration dialog.
    static int runGame(const std::string& args, const std::string& as = "--offline") {
        std::string command = std::string("\"") + ORLITH_BINARY + "\" " + as + " --start " + args + " > game.log 2>&1";
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

// Each demo of tests/app/pictures is played to its end, and its last picture, at half size,
// matches the golden NAME.png beside it (support/golden_picture.h). A demo with "# online: ARGS"
// plays online with ARGS against a server of its own, after each of its "# server: TARGET"
// requests (other players) has been answered there. windows_game.sh plays them under Wine.
TEST_F(PlayTest, EachPictureDemoEndsOnItsGoldenPicture) {
    const fs::path folder = fs::path(ORLITH_SOURCE_DIR) / "tests/app/pictures";
    std::set<fs::path> demos;  // in name order
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".demo") demos.insert(entry.path());
    }
    ASSERT_GE(demos.size(), 8u);
    for (const fs::path& demo : demos) {
        const std::string name = demo.stem().string();
        SCOPED_TRACE(name);
        std::istringstream text(test::fileBytes(demo.string()));
        std::string online, line;
        std::vector<std::string> requests;
        while (std::getline(text, line)) {
            if (line.rfind("# online: ", 0) == 0) online = line.substr(10);
            if (line.rfind("# server: ", 0) == 0) requests.push_back(line.substr(10));
        }
        server::test::ServerProcess server;  // stopped at the end of the round
        if (!online.empty()) {
            ASSERT_TRUE(server.start({"--db", name + ".db"})) << server.output();
            for (const std::string& target : requests) ASSERT_EQ(server.get(target).status, 200) << target;
            online += " --server 127.0.0.1 --port " + std::to_string(server.port());
        }
        fs::create_directory(name);
        fs::current_path(name);
        const int status = runGame("--play '" + demo.string() + "' --no-pacing --screen 1920x1080 --screenshot " + name +
                                   ".png", online.empty() ? "--offline" : online);
        const DecodedImage picture = test::readPng(name + ".png");
        EXPECT_EQ(status, 0) << test::fileBytes("game.log");
        EXPECT_TRUE(test::matchesGolden(test::shrunk(picture, 2), folder / (name + ".png"), 16, 8));
        fs::current_path("..");
    }
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
    // its handler (bit 15 of the caught-signal mask); wait for that (a minute at most, however
    // loaded the machine), then a second so that the signal most likely falls within the replay.
    std::string command = std::string("\"") + ORLITH_BINARY +
                          "\" --offline --start --no-pacing > game.log 2>&1 & pid=$!; "
                          "for i in $(seq 600); do "
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
