// The per-frame update and its input plumbing: key reading from the frame's snapshot, pointer
// bookkeeping, option keys.
#include <climits>

#include "game/game.h"

namespace orlith {

int keyHeld(GameState& s, const InputSnapshot& input, int virtualKey) {
    bool down = input.keysDown[virtualKey & 0xFF] != 0;
    s.keyPrevDown[virtualKey & 0xFF] = down ? 1 : 0;
    return down ? 1 : 0;
}

int keyPressed(GameState& s, const InputSnapshot& input, int virtualKey) {
    bool down = input.keysDown[virtualKey & 0xFF] != 0;
    uint8_t& prev = s.keyPrevDown[virtualKey & 0xFF];
    int pressed = down && prev == 0 ? 1 : 0;
    prev = down ? 1 : 0;
    return pressed;
}

int32_t packPoint(int x, int y) {
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16) |
                                static_cast<uint16_t>(x));
}
int pointX(int32_t packed) { return static_cast<int16_t>(static_cast<uint32_t>(packed) & 0xFFFF); }
int pointY(int32_t packed) { return static_cast<int16_t>(static_cast<uint32_t>(packed) >> 16); }

void pointerButtonDown(GameState& s, int x, int y) {
    s.dragging = 1;
    s.dragStartYaw = s.yaw;
    s.dragStartPitch = s.pitch;
    s.dragStartPoint = s.dragCurrentPoint = packPoint(x, y);
}

void pointerButtonUp(GameState& s) { s.dragging = 0; }

void pointerMove(GameState& s, int x, int y) {
    if (s.dragging == 1) s.dragCurrentPoint = packPoint(x, y);
}

void pointerWheel(GameState& s, int delta) {
    // The wheel message carries a signed 16-bit delta; Fly 2 drops it.
    if (s.movementMode == 0 || s.movementMode == 1) {
        auto d = static_cast<int16_t>(delta);
        int64_t sum = static_cast<int64_t>(s.wheelAccum) + d;
        s.wheelAccum = static_cast<int32_t>(sum > INT32_MAX ? INT32_MAX : sum < INT32_MIN ? INT32_MIN : sum);
    }
}

void applyPointerEvents(GameState& s, const InputSnapshot& input) {
    for (int k = 0; k < input.eventCount; ++k) {
        const PointerEvent& e = input.events[k];
        switch (e.kind) {
            case PointerEvent::down: pointerButtonDown(s, e.x, e.y); break;
            case PointerEvent::up: pointerButtonUp(s); break;
            case PointerEvent::move: pointerMove(s, e.x, e.y); break;
            case PointerEvent::wheel: pointerWheel(s, e.x); break;
        }
    }
}

int handleOptionKeys(GameState& s, const InputSnapshot& input) {
    int write = 0;
    // N and M are polled even while dragging; their press is then discarded.
    bool nightmareSwitched = false;
    if (keyPressed(s, input, vk::n) && s.dragging == 0) {
        nightmareSwitched = s.movementMode == 0;
        applyNightmare(s);
        write = 1;
    }
    if (keyPressed(s, input, vk::m) && s.dragging == 0) {
        // Nightmare already turned Walk into Fly 1 this frame: the switch happens once.
        if (!nightmareSwitched) switchMovementMode(s);
        write = 1;
    }
    // W S F G toggle 0/1, H V P flip a sign, R cycles 1..9; D alone is not saved.
    enum Kind { toggle, flip, cycle };
    struct OptionKey {
        int key;
        int32_t GameState::*field;
        Kind kind;
        int32_t GameState::*notice;
    };
    static constexpr OptionKey kOptionKeys[] = {
        {vk::w, &GameState::texturedWalls, toggle, nullptr},
        {vk::s, &GameState::showDistance, toggle, nullptr},
        {vk::d, nullptr, cycle, nullptr},
        {vk::f, &GameState::showFps, toggle, nullptr},
        {vk::g, &GameState::guideOn, toggle, &GameState::guideNoticeTimer},
        {vk::h, &GameState::horizontalSign, flip, &GameState::horizontalNoticeTimer},
        {vk::v, &GameState::verticalSign, flip, &GameState::verticalNoticeTimer},
        {vk::p, &GameState::progressSign, flip, &GameState::progressNoticeTimer},
        {vk::r, &GameState::rotateSpeed, cycle, &GameState::rotateNoticeTimer},
    };
    for (const OptionKey& k : kOptionKeys) {
        if (!keyPressed(s, input, k.key)) continue;
        if (k.field == nullptr) {
            s.hudMode = (s.hudMode + 1) % 4;
            continue;
        }
        int32_t& v = s.*k.field;
        v = k.kind == toggle ? (v == 0 ? 1 : 0) : k.kind == flip ? -v : v % 9 + 1;
        if (k.notice != nullptr) s.*k.notice = kNoticeFrames;
        write = 1;
    }
    return write;
}

void updateFrame(GameState& s, MazeWork& work, const InputSnapshot& input, FrameHooks& hooks) {
    // The pointer events came before the frame, as window messages do.
    applyPointerEvents(s, input);
    if (s.networkEnabled == 1) hooks.takeRankingUpdate(s);

    s.spinAngle = (s.spinAngle + 2) % 360;
    s.cycleFrame += 1;
    if (s.cycleFrame > 1800) {
        s.cycleFrame %= 1800;
        s.cycleAngle = (s.cycleAngle + 250) % 360;
    }
    s.frameCounter = (s.frameCounter + 1) % 60;

    for (int32_t* timer : {&s.nightmareTimer, &s.movementNoticeTimer, &s.guideNoticeTimer,
                           &s.horizontalNoticeTimer, &s.verticalNoticeTimer, &s.progressNoticeTimer,
                           &s.rotateNoticeTimer, &s.saveNoticeTimer, &s.loadNoticeTimer}) {
        if (*timer != 0) *timer -= 1;
    }

    const bool focused = input.focus != 0;
    if (focused) {
        turnPlayer(s, input);
        movePlayer(s, input, solidCells(s));
        if (handleOptionKeys(s, input)) hooks.writeSettings(s);
    }
    // The pose is final for this frame: the save below, the drawing and the state value all
    // read this camera, never one left from an earlier frame or level.
    buildCamera(s);
    if (focused && s.networkEnabled == 0 && keyPressed(s, input, vk::f4)) {
        if (hooks.writeSave(s) != 0) s.saveNoticeTimer = kNoticeFrames;
    }

    markSight(s);
    hooks.renderFrame(s);
    if (checkGoal(s, work)) buildCamera(s);

    if (s.networkEnabled == 1) {
        hooks.sendRankingRequest(s);
        if (focused && s.dragging == 0 && keyPressed(s, input, vk::i)) hooks.openInformationDialog(s);
    }
}

}  // namespace orlith
