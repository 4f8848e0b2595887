// What the files of the Win32 form share among themselves, beyond the class:
// the window's style, where a row's control sits, and the fields' pastes.
#pragma once

#include "layout/Layout.h"

#include <windows.h>

namespace platform::win32 {

// The layer supplies the contract with the system's services, and names both as its own.
using namespace os::win32;
using namespace runtime;

// A window of fixed size with a caption, a system menu and a minimize box.
// No WS_CLIPCHILDREN: the light blue is painted under the frame too, which
// draws only its border and caption.
inline constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// Where a row's control sits in the window's client area at `dpi`, as the
// table designs it.
RECT designedRect(const window::ControlRow &row, UINT dpi);

// The field takes a paste as a single-line field with a limit does, reading
// no more of the clipboard than it keeps.
void handlePastes(HWND field);

} // namespace platform::win32
