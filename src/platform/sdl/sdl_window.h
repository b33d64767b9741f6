// The game window on SDL2: made at the picture's size and centred in the usable area, with its
// icon; its events turned into the frame's input snapshot (pointer positions in picture pixels,
// also when the picture is letterboxed in full screen), Alt+Enter for full screen, the close
// request, and the game controllers plugged in and out while it runs. Owned by the Linux entry
// point.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <vector>

#include "state/input.h"

namespace orlith {

class SdlWindow {
public:
    SdlWindow() = default;
    ~SdlWindow();
    SdlWindow(const SdlWindow&) = delete;
    SdlWindow& operator=(const SdlWindow&) = delete;

    // The primary screen's size; false when the system has none to give.
    static bool desktopSize(int32_t& width, int32_t& height);
    // A window for OpenGL whose drawing area is width x height; false with SDL's reason.
    bool create(int32_t width, int32_t height);
    void setIcon(const uint8_t* rgba, int32_t width, int32_t height);
    void destroy();

    // Handles every pending event; pointer events are appended to the snapshot. False once the
    // window was asked to close.
    bool pumpEvents(InputSnapshot& input);
    // The first game controller plugged in (SDL's mapping of it), as it stands; not connected
    // when there is none (also the moment it is pulled out).
    PadState readPad() const;

    SDL_Window* handle() const { return window_; }

    // Alt+Enter: full screen on and off. Without a window manager (an X server alone) nobody
    // carries out the full-screen request, so the window itself covers the screen instead.
    void toggleFullScreen();

private:
    void toPicture(int wx, int wy, int32_t& px, int32_t& py) const;
    // Opens every controller not open yet and lets go of those pulled out (their events may
    // have gone to a dialog's loop).
    void updatePads();

    SDL_Window* window_ = nullptr;
    int32_t width_ = 0, height_ = 0;  // the picture's size
    bool closed_ = false;
    bool covering_ = false;           // full screen as a window over the whole screen
    SDL_Rect windowed_{};             // where the window stood before it covered the screen
    std::vector<SDL_GameController*> pads_;  // open controllers, in the order they came
};

}  // namespace orlith
