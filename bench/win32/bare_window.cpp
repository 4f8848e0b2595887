// The floor that sondar.exe's start-up is measured against: a bare Win32
// window titled "Bare" with the same controls at the same places, and
// nothing else (no fonts, colours, focus order, logic or echo service).
#include "os/win32/SystemLibrary.h"
#include "layout/Layout.h"

#include <windows.h>
#include <commctrl.h>

namespace {

LRESULT CALLBACK bareProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

const wchar_t *className(window::Kind kind)
{
    switch (kind) {
    case window::Kind::Frame:
    case window::Kind::Button:
        return L"BUTTON";
    case window::Kind::Label:
        return L"STATIC";
    case window::Kind::TextBox:
        return L"EDIT";
    case window::Kind::ListBox:
        return L"LISTBOX";
    }
    return L"STATIC";
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // The common controls as the program loads them, from the system folder.
    os::win32::initCommonControls(ICC_STANDARD_CLASSES);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = bareProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"Bare";
    ::RegisterClassW(&windowClass);

    RECT frame{0, 0, window::pixels(window::kClientWidth), window::pixels(window::kClientHeight)};
    ::AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    HWND bare = ::CreateWindowW(L"Bare", L"Bare", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    const window::ControlRow &box = window::kLayout[window::Frame1];
    for (const window::ControlRow &row : window::kLayout) {
        const bool inside = row.kind != window::Kind::Frame;
        const DWORD style = WS_CHILD | WS_VISIBLE
            | (row.kind == window::Kind::Frame ? BS_GROUPBOX : 0)
            | (row.kind == window::Kind::TextBox || row.kind == window::Kind::ListBox ? WS_BORDER : 0);
        ::CreateWindowW(className(row.kind), reinterpret_cast<const wchar_t *>(row.caption), style,
                        (inside ? window::pixels(box.left) : 0) + window::pixels(row.left),
                        (inside ? window::pixels(box.top) : 0) + window::pixels(row.top), window::pixels(row.width),
                        window::pixels(row.height), bare, nullptr, instance, nullptr);
    }
    ::ShowWindow(bare, showCommand);
    ::UpdateWindow(bare);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return int(message.wParam);
}
