// Start-up's branches on fakes: the dialog's end, offline with and without a save, and online: an
// unreachable server, a new nickname (asked, or --start), a returning player, a registered
// nickname with another PIN, NetFps; and the mailbox that keeps a worker's box before its close.
#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <tuple>

#include "app/startup.h"
#include "base/text.h"
#include "maze/maze.h"
#include "persist/persist.h"
#include "ranking/ranking.h"
#include "support/fake_network.h"
#include "support/fake_platform.h"

namespace orlith {
namespace {

// The player in the dialog: cancels, or ticks (or not), fills the boxes and presses start.
class ScriptedDialogs final : public Dialogs {
public:
    bool cancel = false, tick = true;
    int32_t registrations = 0;
    bool canShow() override { return true; }
    int32_t runRegistration(RegistrationForm& form) override {
        ++registrations;
        if (cancel) return 2;
        form.setTicked(tick);
        form.edit(RegistrationBox::nickname, u"ann");
        form.edit(RegistrationBox::pin, u"1234");
        form.edit(RegistrationBox::server, u"ranking.test");
        return form.pressStart() ? 1 : 2;
    }
    int32_t runInformation(const InformationTable&) override { return 1; }
    bool runMessageBox(std::u16string_view, MessageKind) override { return false; }
};

std::string annLine(std::u16string_view pinHash, int32_t level, float at = 3) {
    float pos[3] = {at, 3, 3}, view[3] = {0, 0, 1}, up[3] = {0, 1, 0};
    return utf16ToUtf8(formatStateValue(0, pinHash, level, 42, pos, view, up)) + "ann";
}

std::u16string annHash() {
    char16_t hash[9];
    makePinHash(u"ann", u"1234", hash);
    return hash;
}

struct Outcome {
    StartUpResult result;
    std::unique_ptr<GameState> state;
    std::unique_ptr<NetworkLink> network;
    std::vector<std::u16string> messages;  // the platform's boxes
    std::vector<std::string> events;       // the network side's boxes and close requests
    std::vector<std::u16string> paths;     // requests sent
    std::vector<std::u16string> loading;   // the restore's progress texts shown
};

struct Scenario {
    bool cancel = false, tick = true, answerYes = false, netFps = false;
    RegistrationChoices choices{};
    std::string failStep{};  // of the HTTP client
    std::string reply{};     // the check's body
    int32_t savedLevel = 0;
    float savedX = 3;      // the saved position's x (y and z are 3)
};

Outcome startUp(const Scenario& setup) {
    test::TempDir dir;
    test::FakePlatform platform;
    platform.answerYes = setup.answerYes;
    auto saved = makeGameState();
    saved->level = setup.savedLevel, saved->cameraEye = {setup.savedX, 3, 3, 0};
    if (setup.savedLevel > 0) writeSaveFile(*saved, platform);
    ScriptedDialogs dialogs;
    dialogs.cancel = setup.cancel, dialogs.tick = setup.tick;
    auto http = std::make_shared<test::ScriptedHttpClient>();
    http->failStep = setup.failStep, http->body = setup.reply;
    auto host = std::make_shared<test::FakeNetworkHost>();
    auto work = makeMazeWork();
    Outcome run{StartUpResult::refused, makeGameState(), nullptr, {}, {}, {}, {}};
    run.state->netFpsSwitch = setup.netFps ? 1 : 0;
    StartUpParts parts{platform, dialogs, [&] { return http; }, host,
                       [&](float, const char16_t* text) { return run.loading.emplace_back(text), true; }};
    run.result = startUpGame(*run.state, *work, parts, setup.choices, run.network);
    run.messages = platform.messages, run.events = host->events(), run.paths = http->paths;
    EXPECT_EQ(dialogs.registrations, setup.choices.start ? 0 : 1);
    return run;
}

TEST(StartUp, OfflineStartsAtLevelOneOrRestoresTheSave) {
    Outcome run = startUp({.tick = false});
    EXPECT_EQ(std::tuple(run.result, run.state->level, run.state->loadNoticeTimer, run.network == nullptr),
              std::tuple(StartUpResult::play, 1, 0, true));
    // A saved position the player can stand at is taken; one that is no number, outside the
    // maze or in a wall is refused: the saved level from its start room (7, 7, 7).
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (auto [x, at] : {std::pair{3.0f, 3.0f}, {nan, 7.0f}, {std::numeric_limits<float>::infinity(), 7.0f},
                         {-4.0f, 7.0f}, {9.5f, 7.0f}, {2.0f, 7.0f}}) {
        run = startUp({.tick = false, .savedLevel = 3, .savedX = x});
        EXPECT_EQ(std::tuple(run.result, run.state->level, run.state->loadNoticeTimer, run.state->playerPos[0]),
                  std::tuple(StartUpResult::play, 3, kNoticeFrames, at)) << x;
        EXPECT_EQ(run.loading, std::vector<std::u16string>{u"Loading level 3 / 3"});  // the clock stands: shown once
    }
    EXPECT_EQ(startUp({.cancel = true}).result, StartUpResult::refused);
}

TEST(StartUp, OnlineBranches) {
    const std::string returning = annLine(annHash(), 3) + "\r\n";
    const std::string otherPin = annLine(u"00000000", 3) + "\r\n";
    struct Case { const char* what; Scenario setup; StartUpResult result; std::vector<std::u16string> messages; std::vector<std::string> events;
                  int32_t level; bool worker; };
    const std::vector<std::u16string> question = {std::u16string(kNewNicknameQuestion)};
    const Case cases[] = {
        {"unreachable server", {.failStep = "send"}, StartUpResult::refused, {},
         {"box: line 3442 : error in HttpSendRequest\ncode = 12029"}, 1, false},
        {"no session", {.failStep = "session"}, StartUpResult::refused, {}, {"box: line 983 : error in InternetOpen\ncode = 12029"}, 1, false},
        {"new nickname, No", {}, StartUpResult::refused, question, {}, 1, false},
        {"new nickname, Yes", {.answerYes = true}, StartUpResult::play, question, {}, 1, true},
        {"new nickname, --start", {.choices = {u"ann", u"1234", u"ranking.test", u"80", true, false, true}},
         StartUpResult::play, question, {}, 1, true},
        {"returning player", {.reply = returning}, StartUpResult::play, {}, {}, 3, true},
        {"returning player beside the maze", {.reply = annLine(annHash(), 3, 1e30f) + "\r\n"}, StartUpResult::play, {}, {}, 3, true},
        {"registered with another PIN", {.reply = otherPin}, StartUpResult::refused, {std::u16string(kOtherPinMessage)}, {}, 1, false},
        {"NetFps: no worker", {.netFps = true, .reply = returning}, StartUpResult::play, {}, {}, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome run = startUp(c.setup);
        EXPECT_EQ(std::tuple(run.result, run.messages, run.events, run.state->level, run.network != nullptr, run.state->showFps),
                  std::tuple(c.result, c.messages, c.events, c.level, c.result == StartUpResult::play, c.setup.netFps ? 1 : 0));
        if (run.network) EXPECT_EQ(run.network->workerStarted(), c.worker);
        // Where the record puts the player, or the start room when it is beside the maze.
        const float x = c.setup.reply == returning ? 3.0f : 7.0f, z = x;
        if (c.level == 3) EXPECT_EQ(std::tuple(run.state->stepCount, run.state->playerPos[0], run.state->playerPos[2], run.state->loadNoticeTimer),
                                    std::tuple(42, x, z, 0));
        if (!run.paths.empty()) EXPECT_EQ(run.paths[0], u"/state/change.php?mode=check&name=ann&pin=" + annHash());
    }
}

TEST(NetworkMailbox, AWorkersBoxIsShownOnTheMainThreadBeforeTheCloseIsActedOn) {
    test::FakePlatform platform;
    NetworkMailbox mailbox(platform);
    mailbox.showError(u"now");  // from the main thread: at once
    EXPECT_EQ(platform.messages, std::vector<std::u16string>{u"now"});
    std::thread([&] { mailbox.showError(u"later"), mailbox.postClose(); }).join();
    EXPECT_EQ(platform.messages.size(), 1u);
    EXPECT_TRUE(mailbox.deliverBeforeFrame());
    EXPECT_EQ(platform.messages, (std::vector<std::u16string>{u"now", u"later"}));
    // While the game runs under a box, its frames find nothing to deliver; the close comes after it.
    std::vector<std::string> seen;
    mailbox.showWhilePlaying = [&](std::u16string_view text) {
        seen.push_back(utf16ToUtf8(text));
        seen.push_back(mailbox.deliverBeforeFrame() ? "frame ended" : "frame ran");
    };
    std::thread([&] { mailbox.showError(u"again"), mailbox.postClose(); }).join();
    EXPECT_TRUE(mailbox.deliverBeforeFrame());
    EXPECT_EQ(seen, (std::vector<std::string>{"again", "frame ran"}));
}

}  // namespace
}  // namespace orlith
