// Start-up's branches and the main-thread mailbox of the network side.
#include "app/startup.h"

#include <cstdio>

#include "app/dialog_models.h"
#include "base/text.h"
#include "persist/persist.h"
#include "platform/native_files.h"

namespace orlith {

namespace {

// The record's level, steps and position.
bool restore(GameState& s, const RankingRecord& record, StartUpParts& parts) {
    if (!parts.restoreTo(record.level)) return false;
    s.stepCount = record.stepCount;
    for (int i = 0; i < 3; ++i) s.playerPos[i] = record.position[i];
    return true;
}

StartUpResult startOnline(GameState& s, StartUpParts& parts, const RegistrationChoices& choices,
                          std::unique_ptr<NetworkLink>& network) {
    auto link = std::make_unique<NetworkLink>(parts.makeHttpClient(), parts.networkHost);
    if (!link->open(std::u16string_view(s.serverName, textLength(s.serverName, 31)),
                    portNumber(std::u16string_view(s.serverPort, textLength(s.serverPort, 31))))) {
        return StartUpResult::refused;
    }
    if (!link->check(s)) return StartUpResult::refused;
    const RankingRecord* found = nullptr;
    for (const RankingRecord& r : link->newestRecords()) {
        if (std::u16string_view(r.name) == std::u16string_view(s.nickname)) {
            found = &r;
            break;
        }
    }
    if (found != nullptr && std::u16string_view(found->pinHash) != std::u16string_view(s.pinHash)) {
        parts.platform.showMessage(kOtherPinMessage, MessageKind::error);
        return StartUpResult::refused;
    }
    if (found != nullptr) {
        RankingRecord record = *found;
        if (!restore(s, record, parts)) return StartUpResult::abandoned;
    } else {
        bool yes = parts.platform.showMessage(kNewNicknameQuestion, MessageKind::question);
        if (!yes && !choices.start) return StartUpResult::refused;
    }
    if (s.netFpsSwitch != 0) {
        s.showFps = 1;  // each frame waits for its exchange: show what that costs
    } else {
        link->startWorker();
    }
    network = std::move(link);
    return StartUpResult::play;
}

}  // namespace

RegistrationChoices registrationChoices(const Options& o) {
    const bool given = !o.nickname.empty() || !o.pin.empty() || !o.server.empty() || !o.port.empty();
    return {o.nickname, o.pin, o.server, o.port, given, o.offline, o.start};
}

StartUpResult startUpGame(GameState& s, MazeWork& work, StartUpParts& parts, const RegistrationChoices& choices,
                          std::unique_ptr<NetworkLink>& network) {
    readSettingsFile(s, parts.platform);
    newLevel(s, work);

    RegistrationModel dialog(s);
    dialog.setTicked(choices.tick && !choices.offline);
    const std::u16string* given[4] = {&choices.nickname, &choices.pin, &choices.server, &choices.port};
    const RegistrationBox boxes[4] = {RegistrationBox::nickname, RegistrationBox::pin, RegistrationBox::server,
                                      RegistrationBox::port};
    for (int k = 0; k < 4; ++k) {
        if (!given[k]->empty()) dialog.edit(boxes[k], *given[k]);
    }
    if (choices.start) {
        // Nobody is there to complete the boxes: an incomplete start is a refusal, not a wait.
        if (!dialog.pressStart()) {
            std::fputs("Orlith: --start: nickname, PIN, server and a non-zero port are all needed\n", stderr);
            return StartUpResult::refused;
        }
    } else if (parts.dialogs.runRegistration(dialog) != 1) {
        return StartUpResult::refused;
    }

    if (s.networkEnabled == 1) return startOnline(s, parts, choices, network);
    RankingRecord record{};
    if (readSaveFile(record, parts.platform) == 0) return StartUpResult::play;
    s.loadNoticeTimer = kNoticeFrames;
    return restore(s, record, parts) ? StartUpResult::play : StartUpResult::abandoned;
}

NetworkMailbox::NetworkMailbox(Platform& platform) : platform_(platform), mainThread_(std::this_thread::get_id()) {}

void NetworkMailbox::showError(std::u16string_view text) {
    if (std::this_thread::get_id() == mainThread_) {
        platform_.showMessage(text, MessageKind::error);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.emplace_back(text);
}

void NetworkMailbox::postClose() { closeRequested_ = true; }

bool NetworkMailbox::localTime(uint32_t unixSeconds, LocalDateTime& out) const { return native::localTime(unixSeconds, out); }

bool NetworkMailbox::deliverBeforeFrame() {
    // The close flag is read before the boxes: a close posted after a box never overtakes it.
    bool close = closeRequested_.load();
    std::vector<std::u16string> boxes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes.swap(boxes_);
    }
    for (const std::u16string& text : boxes) platform_.showMessage(text, MessageKind::error);
    return close;
}

}  // namespace orlith
