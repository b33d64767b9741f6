// The game window on SDL2: made at the picture's size and centred in the usable area, with its
// icon; its events turned into the frame's input snapshot (pointer positions in picture pixels,
// also when the picture is letterboxed in full screen), Alt+Enter for full screen, and the close
// request. Owned by the Linux entry point.
#pragma once

#include <SDL.h>

#include <cstdint>

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

    SDL_Window* handle() const { return window_; }

    // Alt+Enter: full screen on and off. Without a window manager (an X server alone) nobody
    // carries out the full-screen request, so the window itself covers the screen instead.
    void toggleFullScreen();

private:
    void toPicture(int wx, int wy, int32_t& px, int32_t& py) const;

    SDL_Window* window_ = nullptr;
    int32_t width_ = 0, height_ = 0;  // the picture's size
    bool closed_ = false;
    bool covering_ = false;           // full screen as a window over the whole screen
    SDL_Rect windowed_{};             // where the window stood before it covered the screen
};

}  // namespace orlith
