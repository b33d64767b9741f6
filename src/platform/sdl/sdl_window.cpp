// The SDL2 game window and its events.
#include "platform/sdl/sdl_window.h"

#include <algorithm>

#include "platform/sdl/sdl_gl_context.h"

namespace orlith {

SdlWindow::~SdlWindow() { destroy(); }

void SdlWindow::destroy() {
    for (SDL_GameController* pad : pads_) SDL_GameControllerClose(pad);
    pads_.clear();
    if (window_ != nullptr) SDL_DestroyWindow(window_);
    window_ = nullptr;
}

void SdlWindow::updatePads() {
    for (size_t k = pads_.size(); k-- > 0;) {
        if (SDL_GameControllerGetAttached(pads_[k]) == SDL_FALSE) {
            SDL_GameControllerClose(pads_[k]);
            pads_.erase(pads_.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    for (int index = 0; index < SDL_NumJoysticks(); ++index) {
        if (SDL_IsGameController(index) == SDL_FALSE) continue;
        const SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(index);
        bool open = false;
        for (SDL_GameController* pad : pads_) open = open || SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(pad)) == id;
        if (SDL_GameController* pad = open ? nullptr : SDL_GameControllerOpen(index); pad != nullptr) pads_.push_back(pad);
    }
}

PadState SdlWindow::readPad() const {
    PadState pad;
    if (pads_.empty() || SDL_GameControllerGetAttached(pads_.front()) == SDL_FALSE) return pad;
    SDL_GameController* c = pads_.front();
    auto axis = [c](SDL_GameControllerAxis a) { return std::max(-1.0f, SDL_GameControllerGetAxis(c, a) / 32767.0f); };
    pad.connected = true;
    pad.leftX = axis(SDL_CONTROLLER_AXIS_LEFTX);
    pad.leftY = axis(SDL_CONTROLLER_AXIS_LEFTY);
    pad.rightX = axis(SDL_CONTROLLER_AXIS_RIGHTX);
    pad.rightY = axis(SDL_CONTROLLER_AXIS_RIGHTY);
    static constexpr SDL_GameControllerButton kButtons[PadState::buttonCount] = {
        SDL_CONTROLLER_BUTTON_A,         SDL_CONTROLLER_BUTTON_B,          SDL_CONTROLLER_BUTTON_X,
        SDL_CONTROLLER_BUTTON_Y,         SDL_CONTROLLER_BUTTON_BACK,       SDL_CONTROLLER_BUTTON_START,
        SDL_CONTROLLER_BUTTON_LEFTSHOULDER, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, SDL_CONTROLLER_BUTTON_DPAD_UP,
        SDL_CONTROLLER_BUTTON_DPAD_DOWN, SDL_CONTROLLER_BUTTON_DPAD_LEFT,  SDL_CONTROLLER_BUTTON_DPAD_RIGHT};
    for (int b = 0; b < PadState::buttonCount; ++b) pad.buttons[b] = SDL_GameControllerGetButton(c, kButtons[b]) != 0;
    return pad;
}

bool SdlWindow::desktopSize(int32_t& width, int32_t& height) {
    SDL_DisplayMode mode;
    if (SDL_GetDesktopDisplayMode(0, &mode) != 0) return false;
    width = mode.w;
    height = mode.h;
    return true;
}

bool SdlWindow::create(int32_t width, int32_t height) {
    width_ = width;
    height_ = height;
    int x = SDL_WINDOWPOS_CENTERED, y = SDL_WINDOWPOS_CENTERED;
    SDL_Rect usable{0, 0, 0, 0};
    if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0) {
        x = usable.x + (usable.w - width) / 2;
        y = usable.y + (usable.h - height) / 2;
    }
    SdlGlContext::requestCoreProfile();
    window_ = SDL_CreateWindow("Orlith", x, y, width, height, SDL_WINDOW_OPENGL);
    updatePads();
    return window_ != nullptr;
}

void SdlWindow::setIcon(const uint8_t* rgba, int32_t width, int32_t height) {
    SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint8_t*>(rgba), width, height, 32, width * 4,
                                                              SDL_PIXELFORMAT_RGBA32);
    if (surface == nullptr) return;
    SDL_SetWindowIcon(window_, surface);
    SDL_FreeSurface(surface);
}

// Window pixels to picture pixels (they differ only in full screen, where it is letterboxed).
void SdlWindow::toPicture(int wx, int wy, int32_t& px, int32_t& py) const {
    int ww = 0, wh = 0;
    SDL_GetWindowSize(window_, &ww, &wh);
    if (ww <= 0 || wh <= 0 || (ww == width_ && wh == height_)) {
        px = wx;
        py = wy;
        return;
    }
    double scale = std::min(static_cast<double>(ww) / width_, static_cast<double>(wh) / height_);
    double ox = (ww - width_ * scale) / 2, oy = (wh - height_ * scale) / 2;
    px = static_cast<int32_t>((wx - ox) / scale);
    py = static_cast<int32_t>((wy - oy) / scale);
}

void SdlWindow::toggleFullScreen() {
    if (covering_) {
        SDL_SetWindowSize(window_, windowed_.w, windowed_.h);
        SDL_SetWindowPosition(window_, windowed_.x, windowed_.y);
        covering_ = false;
        return;
    }
    if ((SDL_GetWindowFlags(window_) & SDL_WINDOW_FULLSCREEN_DESKTOP) != 0) {
        SDL_SetWindowFullscreen(window_, 0);
        return;
    }
    // An X window without frame extents has no window manager around it (the game's window has
    // a caption wherever one runs): SDL's request would change only SDL's idea of the size.
    int top = 0, left = 0, bottom = 0, right = 0;
    const char* driver = SDL_GetCurrentVideoDriver();
    const bool unmanaged = driver != nullptr && SDL_strcmp(driver, "x11") == 0 &&
                           SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right) == 0 &&
                           top == 0 && left == 0 && bottom == 0 && right == 0;
    SDL_Rect screen{};
    if (!unmanaged || SDL_GetDisplayBounds(SDL_GetWindowDisplayIndex(window_), &screen) != 0) {
        SDL_SetWindowFullscreen(window_, SDL_WINDOW_FULLSCREEN_DESKTOP);
        return;
    }
    SDL_GetWindowPosition(window_, &windowed_.x, &windowed_.y);
    SDL_GetWindowSize(window_, &windowed_.w, &windowed_.h);
    SDL_SetWindowPosition(window_, screen.x, screen.y);
    SDL_SetWindowSize(window_, screen.w, screen.h);
    covering_ = true;
}

bool SdlWindow::pumpEvents(InputSnapshot& input) {
    SDL_Event e;
    while (SDL_PollEvent(&e) != 0) {
        int32_t px = 0, py = 0;
        switch (e.type) {
            case SDL_QUIT: closed_ = true; break;
            case SDL_CONTROLLERDEVICEADDED:
            case SDL_CONTROLLERDEVICEREMOVED: updatePads(); break;
            case SDL_KEYDOWN:
                if (e.key.keysym.scancode == SDL_SCANCODE_RETURN && (e.key.keysym.mod & KMOD_ALT) != 0 &&
                    e.key.repeat == 0) {
                    toggleFullScreen();
                }
                break;
            case SDL_MOUSEBUTTONDOWN:
                if (e.button.button == SDL_BUTTON_LEFT) {
                    SDL_CaptureMouse(SDL_TRUE);  // the drag goes on outside the window
                    toPicture(e.button.x, e.button.y, px, py);
                    input.addPointerEvent({PointerEvent::down, px, py});
                }
                break;
            case SDL_MOUSEBUTTONUP:
                if (e.button.button == SDL_BUTTON_LEFT) {
                    SDL_CaptureMouse(SDL_FALSE);
                    input.addPointerEvent({PointerEvent::up, 0, 0});
                }
                break;
            case SDL_MOUSEMOTION:
                toPicture(e.motion.x, e.motion.y, px, py);
                input.addPointerEvent({PointerEvent::move, px, py});
                break;
            case SDL_MOUSEWHEEL: {
                // 120 per notch; SDL counts away from the player positive, as the game does.
                float notches = e.wheel.preciseY;
                if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) notches = -notches;
                auto delta = static_cast<int32_t>(notches * 120.0f);
                if (delta != 0) input.addPointerEvent({PointerEvent::wheel, delta, 0});
                break;
            }
            default: break;
        }
    }
    return !closed_;
}

}  // namespace orlith
