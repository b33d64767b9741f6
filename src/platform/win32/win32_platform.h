// The Platform seam on Win32: GetTickCount and Sleep, MessageBoxW and GetLastError, with the
// system's own files and calendar; and the keys (GetAsyncKeyState) and the focus window read into
// the frame's input snapshot. Also the network host of the Windows
// game: a failed exchange shows its box on the thread that ran it and posts WM_CLOSE, as on any
// Windows program. Owned by the app.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/http.h"
#include "platform/platform.h"
#include "state/input.h"

namespace orlith {

// The virtual keys the game reads, sampled each frame.
inline constexpr int kSampledKeys[] = {vk::left, vk::up, vk::right, vk::down, vk::a, vk::d, vk::f, vk::g,
                                       vk::h,    vk::i,  vk::m,     vk::n,    vk::p, vk::q, vk::r, vk::s,
                                       vk::v,    vk::w,  vk::x,     vk::z,    vk::f4, vk::f12};

class Win32Platform final : public Platform {
public:
    uint32_t tickCount() override { return ::GetTickCount(); }
    void sleepMs(uint32_t ms) override;
    // Unattended: on stderr only, dismissed at once (No to a question). Otherwise MessageBoxW
    // over mainWindow, titled "Orlith" (also on stderr, which a terminal or log keeps).
    bool showMessage(std::u16string_view text, MessageKind kind) override;
    // GetLastError of the calling thread; a failed file step leaves its code there.
    int lastErrorCode() override { return static_cast<int>(::GetLastError()); }
    uint32_t unixTime() override;
    bool localTime(uint32_t unixSeconds, LocalDateTime& out) const override;
    bool readFile(const std::string& path, size_t maxBytes, std::string& bytes) override;
    FileFailure replaceFile(const std::string& path, std::string_view bytes) override;
    std::string pathInCurrentDirectory(std::string_view name) override;

    // Reads the keys the game uses (down now: bit 15; each from the key the map puts in its
    // place) and whether mainWindow has the focus.
    void sampleDevices(InputSnapshot& input, const KeyMap& map) const;

    HWND mainWindow = nullptr;  // owner of the boxes; may be null
    bool unattended = false;    // --start: no box waits for a click
};

// The network side's view of the window: boxes from whichever thread, then WM_CLOSE.
class Win32NetworkHost final : public NetworkHost {
public:
    explicit Win32NetworkHost(Win32Platform& platform) : platform_(platform) {}
    void showError(std::u16string_view text) override { platform_.showMessage(text, MessageKind::error); }
    void postClose() override;
    bool localTime(uint32_t unixSeconds, LocalDateTime& out) const override;
    // Its boxes are shown where they arise; true once an exchange failed and asked the game to end.
    bool deliverBeforeFrame() override { return closeRequested_.load(); }

private:
    Win32Platform& platform_;
    std::atomic<bool> closeRequested_{false};
};

// UTF-8 and UTF-16 as the system's wide text.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

}  // namespace orlith
