// Win32 implementation of the platform seam.
#include "platform/win32/win32_platform.h"

#include <cstdio>

#include "base/text.h"
#include "platform/native_files.h"

namespace orlith {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

std::wstring widen(std::string_view utf8) {
    std::u16string wide = utf8ToUtf16(utf8);
    return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size());
}

std::string narrow(std::wstring_view wide) {
    return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

void Win32Platform::sleepMs(uint32_t ms) {
    if (ms > 0) ::Sleep(ms);
}

uint32_t Win32Platform::unixTime() { return native::unixTime(); }

bool Win32Platform::localTime(uint32_t unixSeconds, LocalDateTime& out) const {
    return native::localTime(unixSeconds, out);
}

bool Win32Platform::readFile(const std::string& path, size_t maxBytes, std::string& bytes) {
    int code = 0;
    if (native::readFile(path, maxBytes, bytes, code)) return true;
    ::SetLastError(static_cast<DWORD>(code));
    return false;
}

FileFailure Win32Platform::replaceFile(const std::string& path, std::string_view bytes) {
    int code = 0;
    FileFailure failure = native::replaceFile(path, bytes, code);
    if (failure != FileFailure::none) ::SetLastError(static_cast<DWORD>(code));
    return failure;
}

std::string Win32Platform::pathInCurrentDirectory(std::string_view name) {
    return native::pathInCurrentDirectory(name);
}

void Win32Platform::sampleDevices(InputSnapshot& input, const KeyMap& map) const {
    for (int key : kSampledKeys) input.keysDown[key] = (::GetAsyncKeyState(map.physical[key]) & 0x8000) != 0 ? 1 : 0;
    input.focus = mainWindow != nullptr && ::GetFocus() == mainWindow ? 1 : 0;
}

bool Win32Platform::showMessage(std::u16string_view text, MessageKind kind) {
    // The code of the failure being reported must survive the box (the caller may read it again).
    const DWORD saved = ::GetLastError();
    std::fprintf(stderr, "Orlith: %s\n", utf16ToUtf8(text).c_str());
    std::fflush(stderr);
    bool yes = false;
    if (!unattended) {
        std::wstring wide(reinterpret_cast<const wchar_t*>(text.data()), text.size());
        UINT style = kind == MessageKind::question ? MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 : MB_OK | MB_ICONEXCLAMATION;
        yes = ::MessageBoxW(mainWindow, wide.c_str(), L"Orlith", style) == IDYES;
    }
    ::SetLastError(saved);
    return kind == MessageKind::question && yes;
}

void Win32NetworkHost::postClose() {
    closeRequested_ = true;
    if (platform_.mainWindow != nullptr) ::PostMessageW(platform_.mainWindow, WM_CLOSE, 0, 0);
}

bool Win32NetworkHost::localTime(uint32_t unixSeconds, LocalDateTime& out) const {
    return native::localTime(unixSeconds, out);
}

}  // namespace orlith
