// Start-up after the graphics, the same on every platform: settings, level 1, the registration
// dialog, then the saved game offline or, online, the connection, the server's check, the
// returning player's rules and the worker. Also the network host of platforms whose boxes
// belong to the main thread. Called by a platform's entry point.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/demo.h"
#include "maze/maze.h"
#include "platform/dialogs.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "ranking/network.h"
#include "state/game_state.h"

namespace orlith {

inline constexpr std::u16string_view kOtherPinMessage = u"ニックネームが登録済みで、\n暗証番号が違います。";
inline constexpr std::u16string_view kNewNicknameQuestion = u"新しいニックネームでスタートしますか？";

// The registration dialog's choices from the command line.
struct RegistrationChoices {
    std::u16string nickname, pin, server, port;  // put into the boxes when not empty
    bool tick = false;   // one of the four was given: the box starts ticked
    bool offline = false;  // the box stays unticked whatever else was given
    bool start = false;  // start is pressed without showing the dialog; Yes to the new-nickname question
};
RegistrationChoices registrationChoices(const Options& options);

struct StartUpParts {
    Platform& platform;
    Dialogs& dialogs;
    std::function<std::shared_ptr<HttpClient>()> makeHttpClient;  // called only when going online
    std::shared_ptr<NetworkHost> networkHost;
    // Shows how far a long restore (past the level table) has come, at most 20 times a second;
    // false when the player closed the window meanwhile, which abandons it. May be empty.
    std::function<bool(float fraction, const char16_t* text)> showRestore;
};

enum class StartUpResult {
    play,       // go on to the frame loop
    refused,    // cancelled, refused or failed: the program ends with a failure
    abandoned,  // the window was closed during a restore: a normal end
};

// On play online, network holds the session (the worker runs unless NetFps); offline it stays null.
StartUpResult startUpGame(GameState& state, MazeWork& work, StartUpParts& parts, const RegistrationChoices& choices,
                          std::unique_ptr<NetworkLink>& network);

// The network host for platforms whose message boxes belong to the main thread: a box from the
// worker waits in the mailbox until the main thread delivers it, before it acts on the close.
class NetworkMailbox final : public NetworkHost {
public:
    explicit NetworkMailbox(Platform& platform);  // made on the main thread
    void showError(std::u16string_view text) override;
    void postClose() override;
    bool localTime(uint32_t unixSeconds, LocalDateTime& out) const override;
    // Shows the boxes left by the worker; true when a close was asked for (after its box).
    bool deliverBeforeFrame() override;
    // How a box left by the worker is shown while the game runs; by default the platform's
    // message box (which stops the game until it is answered). Frames that run under such a
    // box find nothing more to deliver.
    std::function<void(std::u16string_view text)> showWhilePlaying;
    // Boxes from the main thread wait for the next frame too: where the exchange ends inside a
    // frame (the browser's, collected by the frame), its box must not open inside that frame.
    bool holdBoxes = false;

private:
    Platform& platform_;
    bool delivering_ = false;
    std::thread::id mainThread_;
    std::mutex mutex_;
    std::vector<std::u16string> boxes_;
    std::atomic<bool> closeRequested_{false};
};

}  // namespace orlith
