// Start-up's branches and the main-thread mailbox of the network side.
#include "app/startup.h"

#include <cmath>
#include <cstdio>

#include "app/dialog_models.h"
#include "base/text.h"
#include "game/game.h"
#include "persist/persist.h"
#include "platform/native_files.h"

namespace orlith {

namespace {

// Whether the player can stand there: numbers, inside the level's maze, in an open cell. A
// position outside the maze puts every wall in sight (a frame of a second at level 60).
bool standsInMaze(const GameState& s, const float position[3]) {
    for (int k = 0; k < 3; ++k) {
        if (!std::isfinite(position[k])) return false;
    }
    const int32_t x = cellOf(position[0]), y = cellOf(position[1]), z = cellOf(position[2]);
    return inMaze(s, x, y, z) != 0 && s.cellGrid[cellIndex(x, y, z)] != -1;
}

// The record's level, steps and position. A position the player cannot stand at is refused:
// the level starts from its start room, and stderr says why.
// The maze of the level as playing up to it would give it; false when the player closed the
// window during a long restore.
bool restoreTo(GameState& s, MazeWork& work, int32_t level, StartUpParts& parts) {
    bool shown = false;
    uint32_t lastShown = 0;
    return restoreLevel(s, work, level, [&](int64_t done, int64_t total) {
        const uint32_t now = parts.platform.tickCount();
        if (!parts.showRestore || (shown && now - lastShown < 50)) return true;
        shown = true;
        lastShown = now;
        char16_t text[32];
        const long long loading = level - total + done + 1;  // the level being generated
        formatText(text, 32, u"Loading level %ld / %ld", loading, static_cast<long long>(level));
        return parts.showRestore(total > 0 ? static_cast<float>(done) / static_cast<float>(total) : 1.0f, text);
    });
}

bool restore(GameState& s, MazeWork& work, const RankingRecord& record, StartUpParts& parts, const char* source) {
    if (!restoreTo(s, work, record.level, parts)) return false;
    s.stepCount = record.stepCount;
    if (!standsInMaze(s, record.position)) {
        std::fprintf(stderr, "Orlith: the position in %s (%g, %g, %g) is not inside level %d's maze; starting at its start room\n",
                     source, static_cast<double>(record.position[0]), static_cast<double>(record.position[1]),
                     static_cast<double>(record.position[2]), static_cast<int>(s.level));
        return true;
    }
    for (int i = 0; i < 3; ++i) s.playerPos[i] = record.position[i];
    return true;
}

StartUpResult startOnline(GameState& s, MazeWork& work, StartUpParts& parts, const RegistrationChoices& choices,
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
        if (!restore(s, work, record, parts, "the server's record")) return StartUpResult::abandoned;
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
            std::fputs("Orlith: --start: nickname, PIN, server and a port from 1 to 65535 are all needed\n", stderr);
            return StartUpResult::refused;
        }
    } else if (parts.dialogs.runRegistration(dialog) != 1) {
        return StartUpResult::refused;
    }

    if (s.networkEnabled == 1) return startOnline(s, work, parts, choices, network);
    RankingRecord record{};
    if (readSaveFile(record, parts.platform) == 0) return StartUpResult::play;
    s.loadNoticeTimer = kNoticeFrames;
    return restore(s, work, record, parts, "save.dat") ? StartUpResult::play : StartUpResult::abandoned;
}

NetworkMailbox::NetworkMailbox(Platform& platform) : platform_(platform), mainThread_(std::this_thread::get_id()) {}

void NetworkMailbox::showError(std::u16string_view text) {
    if (std::this_thread::get_id() == mainThread_ && !holdBoxes) {
        platform_.showMessage(text, MessageKind::error);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.emplace_back(text);
}

void NetworkMailbox::postClose() { closeRequested_ = true; }

bool NetworkMailbox::localTime(uint32_t unixSeconds, LocalDateTime& out) const { return native::localTime(unixSeconds, out); }

bool NetworkMailbox::deliverBeforeFrame() {
    if (delivering_) return false;  // a frame under the box being shown
    // The close flag is read before the boxes: a close posted after a box never overtakes it.
    bool close = closeRequested_.load();
    std::vector<std::u16string> boxes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes.swap(boxes_);
    }
    delivering_ = true;
    for (const std::u16string& text : boxes) {
        if (showWhilePlaying) {
            showWhilePlaying(text);
        } else {
            platform_.showMessage(text, MessageKind::error);
        }
    }
    delivering_ = false;
    return close;
}

}  // namespace orlith
