// The game window's Win32 pieces that are no game logic: its class, its client area placed at
// the picture's size in the middle of the work area, its mouse messages turned into the frame's
// input snapshot (with the capture that keeps a drag going outside the window), and the command
// line as UTF-8 arguments. Used by the Windows entry point.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "state/input.h"

namespace orlith {

inline constexpr wchar_t kWindowClassName[] = L"OrlithWndClass";
inline constexpr DWORD kWindowStyle = 0x00CA0000;  // caption, system menu, minimise box; no resizing

// "OrlithWndClass": redrawn on resizes, icon 101, the arrow cursor, the window colour.
void registerWindowClass(HINSTANCE instance, WNDPROC procedure);
// Makes the client area exactly width x height and centres the window in the work area.
void placeClientArea(HWND window, int width, int height);
// A mouse message into the snapshot: true when it was one (the procedure returns 0 for it).
bool pointerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, InputSnapshot& input);
// The process's command line split as the C runtime does, in UTF-8; false when it cannot be read.
bool commandLineArguments(std::vector<std::string>& args);
// The processor identification the entry point checks: the highest leaf and leaf 1's EDX.
void processorIdentification(uint32_t& highestLeaf, uint32_t& leaf1Edx);

}  // namespace orlith
