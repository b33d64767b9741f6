// The Platform seam on SDL2: clock and message boxes for the Linux game, with the system's own
// files and calendar; and the keys and focus read into the frame's input snapshot. Owned by
// the app.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>

#include "platform/dialogs.h"
#include "platform/platform.h"
#include "state/input.h"

namespace orlith {

// The physical key that currently stands for a virtual-key code, or SDL_SCANCODE_UNKNOWN.
// Letters follow the keyboard layout (the key labelled Q is Q on AZERTY too); arrows and
// function keys are positional.
SDL_Scancode scancodeForVirtualKey(int virtualKey);

class SdlPlatform final : public Platform {
public:
    uint32_t tickCount() override;
    void sleepMs(uint32_t ms) override;
    // Always on stderr. Then, unless unattended: in the game window through dialogs when they can
    // be shown, else SDL's own box (no window yet, no display).
    bool showMessage(std::u16string_view text, MessageKind kind) override;
    int lastErrorCode() override { return lastError; }
    uint32_t unixTime() override;
    bool localTime(uint32_t unixSeconds, LocalDateTime& out) const override;
    bool readFile(const std::string& path, size_t maxBytes, std::string& bytes) override;
    FileFailure replaceFile(const std::string& path, std::string_view bytes) override;
    std::string pathInCurrentDirectory(std::string_view name) override;

    // Reads the keyboard state and the window's focus into the snapshot: each virtual key the
    // game reads from the key the map puts in its place (by default itself).
    void sampleDevices(InputSnapshot& input, const KeyMap& map) const;

    SDL_Window* window = nullptr;  // owner of message boxes; may be null
    int lastError = 0;             // code shown by the next error report (GL error, errno)
    Dialogs* dialogs = nullptr;    // the game window's dialogs, once its drawing exists
    bool unattended = false;       // --start: every box is dismissed at once (No to a question)
};

}  // namespace orlith
