// End to end, headless: the shortest walk of level 1 replayed by the real game; the last pictures
// of short demos; and online on loopback, the real orlith-server and game processes with --start:
// two players see each other in their rankings and as arrows, a registered nickname with another
// PIN is refused, a returning player resumes at the server's level and position.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>

#include "app/demo.h"
#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "ranking/ranking.h"
#include "server/server_process.h"
#include "server/server_test_util.h"
#include "support/fake_platform.h"
#include "support/fixtures.h"
#include "support/golden_picture.h"

namespace orlith {
namespace {

namespace fs = std::filesystem;

using Position = std::array<float, 3>;

struct Report {
    int level = 0, steps = -1;
    Position position{};
    std::vector<std::string> players;  // names, in ranking order
    std::vector<Position> arrows;
};

Report readReport(const fs::path& path) {
    Report r;
    std::ifstream in(path);
    int level, distance, steps;
    Position p;
    for (std::string line; std::getline(in, line);) {
        char name[64] = "";
        std::sscanf(line.c_str(), "level %d", &r.level);
        std::sscanf(line.c_str(), "steps %d", &r.steps);
        std::sscanf(line.c_str(), "position %f %f %f", &r.position[0], &r.position[1], &r.position[2]);
        if (std::sscanf(line.c_str(), "player %d %d %d %63s", &level, &distance, &steps, name) >= 3) r.players.push_back(name);
        if (std::sscanf(line.c_str(), "arrow %f %f %f", &p[0], &p[1], &p[2]) == 3) r.arrows.push_back(p);
    }
    return r;
}

bool hasArrowAt(const Report& r, const Position& p) {
    return std::any_of(r.arrows.begin(), r.arrows.end(), [&](const Position& a) {
        return std::fabs(a[0] - p[0]) < 1e-3f && std::fabs(a[1] - p[1]) < 1e-3f && std::fabs(a[2] - p[2]) < 1e-3f;
    });
}

void writeDemo(const std::string& path, const std::vector<InputSnapshot>& frames) {
    std::ofstream out(path);
    out << kDemoHeader << "\n";
    for (const InputSnapshot& f : frames) out << formatDemoLine(f) << "\n";
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

    // The game with args, its output in NAME.log; its exit status (-1 when it did not exit).
    static int runGame(const std::string& args, const std::string& name = "game", const std::string& environment = "") {
        const int status = std::system((environment + "\"" + ORLITH_BINARY + "\" " + args + " > " + name + ".log 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    fs::path previous_;
};

// The web test's demo: the shortest walk of level 1, F4 at the start of level 2, a little more;
// then F12.
TEST_F(PlayTest, TheShortestWalkOfLevelOneEndsInLevelTwoWithItsStepCount) {
    std::vector<InputSnapshot> frames;
    std::string error;
    ASSERT_TRUE(readDemoFile(ORLITH_SOURCE_DIR "/tests/app/web/levels.demo", frames, error)) << error;
    frames.push_back(test::held({vk::f12})), writeDemo("walk.demo", frames);
    ASSERT_EQ(runGame("--offline --start --play walk.demo --no-pacing --screen 1920x1080 --record again.demo"), 0);
    RankingRecord record{};
    test::FakePlatform files;
    ASSERT_EQ(readSaveFile(record, files), 1) << "no save.dat written by F4";
    EXPECT_EQ(std::pair(record.level, record.stepCount), std::pair(2, shortestPathLength(test::levelState(1)->cellGrid, 5)));
    // F12 in the demo takes its screenshot on replay too, named by the frame it was pressed in.
    const std::string suffix = "-" + std::to_string(frames.size()) + ".png";
    EXPECT_EQ(std::count_if(fs::directory_iterator("."), fs::directory_iterator(), [&](const fs::directory_entry& entry) {
                  const std::string name = entry.path().filename().string();
                  return name.starts_with("orlith-") && name.ends_with(suffix) && entry.file_size() > 1000;
              }), 1);
    // Recording while playing writes the same input back.
    std::vector<InputSnapshot> again;
    ASSERT_TRUE(readDemoFile("again.demo", again, error)) << error;
    ASSERT_EQ(again.size(), frames.size());
    for (size_t i = 0; i < again.size(); ++i) ASSERT_EQ(formatDemoLine(again[i]), formatDemoLine(frames[i])) << i;
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
        fs::create_directory(name), fs::current_path(name);
        const int status = runGame((online.empty() ? "--offline" : online) + " --start --play '" + demo.string() +
                                   "' --no-pacing --screen 1920x1080 --screenshot " + name + ".png");
        const DecodedImage picture = test::readPng(name + ".png");
        EXPECT_EQ(status, 0) << test::fileBytes("game.log");
        EXPECT_TRUE(test::matchesGolden(test::shrunk(picture, 2), folder / (name + ".png"), 16, 8));
        fs::current_path("..");
    }
}

// A bad demo file names its line; a video driver that does not exist stands for a machine
// without a display: one clear message, a failing exit, nothing written.
TEST_F(PlayTest, BadDemoFileOrNoDisplayIsAClearErrorAndNoCrash) {
    test::writeBytes("bad.demo", std::string(kDemoHeader) + "\n1 81\n1 q\n");
    struct Case { const char *environment, *arguments, *said; };
    for (Case c : {Case{"", "--offline --start --play bad.demo --no-pacing", "line 3"},
                   Case{"SDL_VIDEODRIVER=none-such ", "--frames 1", "error in"}}) {
        const int status = runGame(c.arguments, "game", c.environment);
        std::string text = test::fileBytes("game.log");
        EXPECT_TRUE(status > 0 && !fs::exists("setting.ini")) << c.arguments;
        EXPECT_TRUE(text.find(c.said) != std::string::npos && text.find("line ") != std::string::npos) << text;
    }
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

TEST_F(PlayTest, OnlineTwoPlayersSeeEachOtherAnotherPinIsRefusedAndAReturningPlayerResumes) {
    server::test::ServerProcess server;
    ASSERT_TRUE(server.start({"--db", "ranking.db"})) << server.output();
    const std::string online = "--start --server 127.0.0.1 --port " + std::to_string(server.port()) + " --screen 1920x1080 ";
    auto log = [](const std::string& player) { return test::fileBytes(player + ".log"); };
    // Alice walks up to the wall ahead and waits; Bob waits in the start room. Paced, they overlap.
    std::vector<InputSnapshot> walking(190, test::held()), waiting(190, test::held());
    std::fill_n(walking.begin(), 40, test::held({vk::q}));
    writeDemo("alice.demo", walking);
    writeDemo("bob.demo", waiting);
    auto alice = std::async(std::launch::async,
                            [&] { return runGame(online + "--nickname alice --pin 80613 --play alice.demo --report alice.txt", "alice"); });
    ASSERT_EQ(runGame(online + "--nickname bob --pin 80624 --play bob.demo --report bob.txt", "bob"), 0) << log("bob");
    ASSERT_EQ(alice.get(), 0) << log("alice");
    Report a = readReport("alice.txt"), b = readReport("bob.txt");
    for (Report* r : {&a, &b}) {  // each in the other's ranking, and no one else
        std::sort(r->players.begin(), r->players.end());
        EXPECT_EQ(r->players, (std::vector<std::string>{"alice", "bob"}));
    }
    EXPECT_NE(a.position, b.position);
    EXPECT_TRUE(hasArrowAt(a, b.position) && hasArrowAt(b, a.position)) << log("alice") << log("bob");

    // Alice's nickname with another PIN: the refusal message, and a failing exit.
    EXPECT_EQ(runGame(online + "--nickname alice --pin 80657 --frames 1", "thief"), 1);
    EXPECT_NE(log("thief").find("ニックネームが登録済みで、\n暗証番号が違います。"), std::string::npos) << log("thief");

    // Dave's record on the server: level 2, seven steps, in its start room at (5, 5, 5) (a PIN
    // that is not one of the common ones the server refuses, a position a walk reaches).
    char16_t hash[9];
    makePinHash(u"dave", u"80646", hash);
    server::test::StateFields dave{.pin = utf16ToUtf8(hash), .pos = {5, 5, 5}};
    ASSERT_EQ(server.get(server::test::rankingTarget(u"dave", dave)).status, 200);
    dave.level = 2, dave.steps = 7;
    ASSERT_EQ(server.get(server::test::rankingTarget(u"dave", dave)).status, 200);
    ASSERT_EQ(runGame(online + "--nickname dave --pin 80646 --frames 1 --report dave.txt", "dave"), 0) << log("dave");
    Report resumed = readReport("dave.txt");
    EXPECT_EQ(std::tuple(resumed.level, resumed.steps, resumed.position), std::tuple(2, 7, Position{5, 5, 5}));
}

}  // namespace
}  // namespace orlith
