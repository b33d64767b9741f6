// SDL2 implementation of the platform seam.
#include "platform/sdl/sdl_platform.h"

#include <cstdio>

#include "base/text.h"
#include "platform/native_files.h"

namespace orlith {

SDL_Scancode scancodeForVirtualKey(int vkCode) {
    if (vkCode >= 'A' && vkCode <= 'Z') {
        // The layout's key for the letter; a layout without it falls back to the US position.
        SDL_Scancode sc = SDL_GetScancodeFromKey(static_cast<SDL_Keycode>('a' + (vkCode - 'A')));
        return sc != SDL_SCANCODE_UNKNOWN ? sc : static_cast<SDL_Scancode>(SDL_SCANCODE_A + (vkCode - 'A'));
    }
    if (vkCode >= '0' && vkCode <= '9') return vkCode == '0' ? SDL_SCANCODE_0 : static_cast<SDL_Scancode>(SDL_SCANCODE_1 + (vkCode - '1'));
    if (vkCode >= 112 && vkCode <= 123) return static_cast<SDL_Scancode>(SDL_SCANCODE_F1 + (vkCode - 112));
    if (vkCode >= 96 && vkCode <= 105) return vkCode == 96 ? SDL_SCANCODE_KP_0 : static_cast<SDL_Scancode>(SDL_SCANCODE_KP_1 + (vkCode - 97));
    switch (vkCode) {
        case vk::left: return SDL_SCANCODE_LEFT;
        case vk::up: return SDL_SCANCODE_UP;
        case vk::right: return SDL_SCANCODE_RIGHT;
        case vk::down: return SDL_SCANCODE_DOWN;
        case 8: return SDL_SCANCODE_BACKSPACE;
        case 9: return SDL_SCANCODE_TAB;
        case 13: return SDL_SCANCODE_RETURN;
        case 16: return SDL_SCANCODE_LSHIFT;  // and the right one: see sampleDevices
        case 17: return SDL_SCANCODE_LCTRL;
        case 32: return SDL_SCANCODE_SPACE;
        case 33: return SDL_SCANCODE_PAGEUP;
        case 34: return SDL_SCANCODE_PAGEDOWN;
        case 35: return SDL_SCANCODE_END;
        case 36: return SDL_SCANCODE_HOME;
        case 45: return SDL_SCANCODE_INSERT;
        case 46: return SDL_SCANCODE_DELETE;
        default: return SDL_SCANCODE_UNKNOWN;
    }
}

uint32_t SdlPlatform::tickCount() { return static_cast<uint32_t>(SDL_GetTicks64()); }

void SdlPlatform::sleepMs(uint32_t ms) {
    if (ms > 0) SDL_Delay(ms);
}

uint32_t SdlPlatform::unixTime() { return native::unixTime(); }

bool SdlPlatform::localTime(uint32_t unixSeconds, LocalDateTime& out) const { return native::localTime(unixSeconds, out); }

bool SdlPlatform::readFile(const std::string& path, size_t maxBytes, std::string& bytes) {
    return native::readFile(path, maxBytes, bytes, lastError);
}

FileFailure SdlPlatform::replaceFile(const std::string& path, std::string_view bytes) {
    return native::replaceFile(path, bytes, lastError);
}

std::string SdlPlatform::pathInCurrentDirectory(std::string_view name) { return native::pathInCurrentDirectory(name); }

void SdlPlatform::sampleDevices(InputSnapshot& input, const KeyMap& map) const {
    int count = 0;
    const Uint8* keys = SDL_GetKeyboardState(&count);
    auto down = [&](SDL_Scancode sc) { return sc != SDL_SCANCODE_UNKNOWN && sc < count && keys[sc] != 0; };
    for (int code = 0; code < 256; ++code) {
        const int physical = map.physical[code];
        const SDL_Scancode sc = scancodeForVirtualKey(physical);
        const bool held = down(sc) || (physical == 16 && down(SDL_SCANCODE_RSHIFT)) || (physical == 17 && down(SDL_SCANCODE_RCTRL));
        input.keysDown[code] = held ? 1 : 0;
    }
    input.focus = window != nullptr && (SDL_GetWindowFlags(window) & SDL_WINDOW_INPUT_FOCUS) != 0 ? 1 : 0;
}

bool SdlPlatform::showMessage(std::u16string_view text, MessageKind kind) {
    std::string utf8 = utf16ToUtf8(text);
    std::fprintf(stderr, "Orlith: %s\n", utf8.c_str());
    if (unattended) return false;  // a script never waits for a click
    if (dialogs != nullptr && dialogs->canShow()) return dialogs->runMessageBox(text, kind);
    SDL_MessageBoxButtonData buttons[2];
    SDL_MessageBoxData data{};
    data.window = window;
    data.title = "Orlith";
    data.message = utf8.c_str();
    if (kind == MessageKind::question) {
        buttons[0] = {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 0, "No"};
        buttons[1] = {0, 1, "Yes"};
        data.flags = SDL_MESSAGEBOX_INFORMATION;
        data.numbuttons = 2;
    } else {
        buttons[0] = {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "OK"};
        data.flags = SDL_MESSAGEBOX_WARNING;
        data.numbuttons = 1;
    }
    data.buttons = buttons;
    // Headless runs (offscreen driver, no display) have no message box: stderr carries it.
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver != nullptr && SDL_strcmp(driver, "offscreen") == 0) return false;
    int pressed = 0;
    if (SDL_ShowMessageBox(&data, &pressed) != 0) return false;
    return kind == MessageKind::question && pressed == 1;
}

}  // namespace orlith
