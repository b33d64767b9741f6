// The game window's class, place, mouse messages and command line on Win32.
#include "platform/win32/win32_window.h"

#include <intrin.h>
#include <shellapi.h>
#include <windowsx.h>

#include "platform/win32/win32_platform.h"

namespace orlith {

void registerWindowClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(101));
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClassName;
    ::RegisterClassExW(&windowClass);  // its result means nothing to the game
}

void placeClientArea(HWND window, int width, int height) {
    RECT client{}, outer{}, workArea{};
    ::GetClientRect(window, &client);
    ::GetWindowRect(window, &outer);
    outer.right += width - (client.right - client.left);
    outer.bottom += height - (client.bottom - client.top);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const int outerWidth = outer.right - outer.left, outerHeight = outer.bottom - outer.top;
    ::MoveWindow(window, workArea.left + (workArea.right - workArea.left - outerWidth) / 2,
                 workArea.top + (workArea.bottom - workArea.top - outerHeight) / 2, outerWidth, outerHeight, FALSE);
}

bool pointerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, InputSnapshot& input) {
    switch (message) {
        case WM_MOUSEMOVE: input.addPointerEvent({PointerEvent::move, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}); return true;
        case WM_LBUTTONDOWN:
            ::SetCapture(window);
            input.addPointerEvent({PointerEvent::down, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return true;
        case WM_LBUTTONUP:
            ::ReleaseCapture();
            input.addPointerEvent({PointerEvent::up, 0, 0});
            return true;
        case WM_MOUSEWHEEL: input.addPointerEvent({PointerEvent::wheel, GET_WHEEL_DELTA_WPARAM(wParam), 0}); return true;
        default: return false;
    }
}

void processorIdentification(uint32_t& highestLeaf, uint32_t& leaf1Edx) {
    int leaf0[4] = {}, leaf1[4] = {};
    __cpuid(leaf0, 0);
    if (leaf0[0] >= 1) __cpuid(leaf1, 1);
    highestLeaf = static_cast<uint32_t>(leaf0[0]);
    leaf1Edx = static_cast<uint32_t>(leaf1[3]);
}

bool commandLineArguments(std::vector<std::string>& args) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return false;
    for (int i = 0; i < count; ++i) args.push_back(narrow(wide[i]));
    ::LocalFree(wide);
    return true;
}

}  // namespace orlith
