// End to end, headless, on loopback: the real orlith-server and real game processes online with
// --start, each driven by a demo. Two players see each other in their rankings and as arrows; a
// third start with a registered nickname and another PIN is refused; a returning player resumes
// at the server's level and position.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/demo.h"
#include "base/text.h"
#include "ranking/ranking.h"
#include "server/server_process.h"
#include "server/server_test_util.h"
#include "support/fixtures.h"

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
        char name[64];
        std::sscanf(line.c_str(), "level %d", &r.level);
        std::sscanf(line.c_str(), "steps %d", &r.steps);
        std::sscanf(line.c_str(), "position %f %f %f", &r.position[0], &r.position[1], &r.position[2]);
        if (std::sscanf(line.c_str(), "player %d %d %d %63s", &level, &distance, &steps, name) == 4) r.players.push_back(name);
        if (std::sscanf(line.c_str(), "arrow %f %f %f", &p[0], &p[1], &p[2]) == 3) r.arrows.push_back(p);
    }
    return r;
}

bool hasArrowAt(const Report& r, const Position& p) {
    return std::any_of(r.arrows.begin(), r.arrows.end(), [&](const Position& a) {
        return std::fabs(a[0] - p[0]) < 1e-3f && std::fabs(a[1] - p[1]) < 1e-3f && std::fabs(a[2] - p[2]) < 1e-3f;
    });
}

void writeDemo(const fs::path& path, int forwardFrames, int quietFrames) {
    std::ofstream out(path);
    out << kDemoHeader << "\n";
    for (int f = 0; f < forwardFrames; ++f) out << "1 81\n";  // Q held
    for (int f = 0; f < quietFrames; ++f) out << "1 -\n";
}

class OnlinePlay : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(ORLITH_TEST_DIR) / "online";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ASSERT_TRUE(server_.start({"--db", (dir_ / "ranking.db").string()})) << server_.output();
    }
    // The game's command line, online with --start against the test's server.
    std::string game(const std::string& player, const std::string& args) const {
        return "cd '" + dir_.string() + "' && SDL_VIDEODRIVER=offscreen LIBGL_ALWAYS_SOFTWARE=1 '" ORLITH_BINARY
               "' --start --server 127.0.0.1 --port " + std::to_string(server_.port()) + " --screen 1920x1080 " + args +
               " > " + player + ".log 2>&1";
    }
    int exitStatus(const std::string& command) const {
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string text(const std::string& name) const { return test::fileBytes((dir_ / name).string()); }
    std::string log(const std::string& player) const { return text(player + ".log"); }
    fs::path dir_;
    server::test::ServerProcess server_;
};

TEST_F(OnlinePlay, TwoPlayersSeeEachOtherAnotherPinIsRefusedAndAReturningPlayerResumes) {
    // Alice walks up to the wall ahead and waits; Bob waits in the start room. Paced, they overlap.
    writeDemo(dir_ / "alice.demo", 40, 150);
    writeDemo(dir_ / "bob.demo", 0, 190);
    std::string both = "(" + game("alice", "--nickname alice --pin 80613 --play alice.demo --report alice.txt") +
                       "; echo $? > '" + (dir_ / "alice.code").string() + "') & " +
                       game("bob", "--nickname bob --pin 80624 --play bob.demo --report bob.txt") + "; bob=$?; wait; exit $bob";
    ASSERT_EQ(exitStatus(both), 0) << log("bob");
    ASSERT_EQ(text("alice.code"), "0\n") << log("alice");
    Report alice = readReport(dir_ / "alice.txt"), bob = readReport(dir_ / "bob.txt");
    EXPECT_NE(std::find(alice.players.begin(), alice.players.end(), "bob"), alice.players.end());
    EXPECT_NE(std::find(bob.players.begin(), bob.players.end(), "alice"), bob.players.end());
    EXPECT_NE(alice.position, bob.position);
    EXPECT_TRUE(hasArrowAt(alice, bob.position) && hasArrowAt(bob, alice.position)) << log("alice") << log("bob");

    // Alice's nickname with another PIN: the refusal message, and a failing exit.
    EXPECT_EQ(exitStatus(game("thief", "--nickname alice --pin 80657 --frames 1")), 1);
    EXPECT_NE(log("thief").find("ニックネームが登録済みで、\n暗証番号が違います。"), std::string::npos) << log("thief");

    // Dave's record on the server: level 2, seven steps, in its start room at (5, 5, 5) (a PIN
    // that is not one of the common ones the server refuses, a position a walk reaches).
    char16_t hash[9];
    makePinHash(u"dave", u"80646", hash);
    server::test::StateFields dave;
    dave.pin = utf16ToUtf8(hash);
    dave.pos[0] = dave.pos[1] = dave.pos[2] = 5;
    ASSERT_EQ(server_.get(server::test::rankingTarget(u"dave", dave)).status, 200);
    dave.level = 2, dave.steps = 7;
    ASSERT_EQ(server_.get(server::test::rankingTarget(u"dave", dave)).status, 200);
    ASSERT_EQ(exitStatus(game("dave", "--nickname dave --pin 80646 --frames 1 --report dave.txt")), 0) << log("dave");
    Report resumed = readReport(dir_ / "dave.txt");
    EXPECT_EQ(std::tuple(resumed.level, resumed.steps, resumed.position), std::tuple(2, 7, Position{5, 5, 5}));
}

}  // namespace
}  // namespace orlith
