#include "WindowUser.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

namespace win32test {
namespace {

// The watched owner's property: the window of its watch's notes.
constexpr wchar_t kWatchProperty[] = L"SondarTestModalWatch";
constexpr wchar_t kNoteClass[] = L"SondarTestModalNotes";
// The note: the dialog in lParam has shown.
constexpr UINT kMeetNote = WM_APP + 1;

// The controls of the common save dialog (Explorer style): the list of file
// types, and the file name box, a combo box or, in older templates, an edit.
constexpr int kFileTypes = 0x470;
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;
// A message box's text.
constexpr int kBoxText = 0xFFFF;

void press(HWND dialog, int button)
{
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, button)));
}

HWND fileNameBox(HWND dialog)
{
    HWND name = ::GetDlgItem(dialog, kFileNameCombo);
    return name ? name : ::GetDlgItem(dialog, kFileNameEdit);
}

bool shows(HWND dialog, int control)
{
    HWND found = ::GetDlgItem(dialog, control);
    return found && ::IsWindowVisible(found);
}

} // namespace

void postKey(WORD key)
{
    const LPARAM scan = LPARAM(::MapVirtualKeyW(key, MAPVK_VK_TO_VSC)) << 16;
    ::PostMessageW(::GetFocus(), WM_KEYDOWN, key, 1 | scan);
    ::PostMessageW(::GetFocus(), WM_KEYUP, key, 1 | scan | (LPARAM(3) << 30));
}

void setClipboard(const std::wstring &text)
{
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    std::memcpy(::GlobalLock(memory), text.c_str(), bytes);
    ::GlobalUnlock(memory);
    if (!::OpenClipboard(nullptr)) {
        ::GlobalFree(memory);
        return;
    }
    ::EmptyClipboard();
    ::SetClipboardData(CF_UNICODETEXT, memory);
    ::CloseClipboard();
}

ModalWatch::ModalWatch(HWND owner, std::function<void(HWND dialog)> meet) : owner_(owner), meet_(std::move(meet))
{
    WNDCLASSEXW noteClass{};
    noteClass.cbSize = sizeof noteClass;
    noteClass.lpfnWndProc = &ModalWatch::noteProc;
    noteClass.hInstance = ::GetModuleHandleW(nullptr);
    noteClass.lpszClassName = kNoteClass;
    if (!::GetClassInfoExW(noteClass.hInstance, kNoteClass, &noteClass))
        ::RegisterClassExW(&noteClass);
    notes_ = ::CreateWindowExW(0, kNoteClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, noteClass.hInstance, nullptr);
    ::SetWindowLongPtrW(notes_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetPropW(owner_, kWatchProperty, notes_);
    hook_ = ::SetWindowsHookExW(WH_CBT, &ModalWatch::activated, nullptr, ::GetCurrentThreadId());
}

ModalWatch::~ModalWatch()
{
    ::UnhookWindowsHookEx(hook_);
    if (::IsWindow(owner_))
        ::RemovePropW(owner_, kWatchProperty);
    ::DestroyWindow(notes_);
}

// A dialog of a watched owner is activated as it shows, and maybe again
// later: a note to its watch. Once it goes, the watch forgets it, so that no
// later dialog is taken for it.
LRESULT CALLBACK ModalWatch::activated(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE || code == HCBT_DESTROYWND) {
        const auto window = reinterpret_cast<HWND>(wParam);
        wchar_t name[16] = {};
        ::GetClassNameW(window, name, int(std::size(name)));
        HWND owner = ::GetWindow(window, GW_OWNER);
        const auto notes = owner ? static_cast<HWND>(::GetPropW(owner, kWatchProperty)) : nullptr;
        if (notes && std::wstring_view(name) == L"#32770") {
            if (code == HCBT_ACTIVATE)
                ::PostMessageW(notes, kMeetNote, 0, reinterpret_cast<LPARAM>(window));
            else
                std::erase(reinterpret_cast<ModalWatch *>(::GetWindowLongPtrW(notes, GWLP_USERDATA))->met_, window);
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK ModalWatch::noteProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *watch = reinterpret_cast<ModalWatch *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != kMeetNote || !watch)
        return ::DefWindowProcW(window, message, wParam, lParam);
    const auto dialog = reinterpret_cast<HWND>(lParam);
    if (::IsWindow(dialog) && std::ranges::find(watch->met_, dialog) == watch->met_.end()) {
        watch->met_.push_back(dialog);
        watch->meet_(dialog);
    }
    return 0;
}

std::wstring windowText(HWND window)
{
    std::wstring text(std::size_t(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(std::size_t(std::max(::GetWindowTextW(window, text.data(), int(text.size())), 0)));
    return text;
}

// The pixels are read from the control's own DC, as the screen shows them;
// the area's corner is background, any other colour ink.
GlyphCells glyphCells(HWND control, const RECT &area)
{
    ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    const int width = std::max<int>(area.right - area.left, 0);
    HDC dc = ::GetDC(control);
    const COLORREF background = ::GetPixel(dc, area.left, area.top);
    // Each column's pixels, top to bottom; none where it has no ink.
    std::vector<std::vector<COLORREF>> columns(std::size_t(width) + 1);
    for (int x = 0; x < width; ++x) {
        bool inked = false;
        for (int y = area.top; y < area.bottom; ++y) {
            columns[std::size_t(x)].push_back(::GetPixel(dc, area.left + x, y));
            inked = inked || columns[std::size_t(x)].back() != background;
        }
        if (!inked)
            columns[std::size_t(x)].clear();
    }
    ::ReleaseDC(control, dc);

    GlyphCells found;
    std::map<std::vector<COLORREF>, int> alike;
    std::vector<COLORREF> cell;
    for (const std::vector<COLORREF> &column : columns) {
        cell.insert(cell.end(), column.begin(), column.end());
        if (column.empty() && !cell.empty()) {
            ++found.cells;
            found.mostAlike = std::max(found.mostAlike, ++alike[cell]);
            cell.clear();
        }
    }
    return found;
}

bool isMessageBox(HWND dialog)
{
    return ::GetDlgItem(dialog, kBoxText) && !::GetDlgItem(dialog, kFileTypes);
}

BoxShown boxShown(HWND box)
{
    HWND text = ::GetDlgItem(box, kBoxText);
    RECT area{};
    ::GetClientRect(text, &area);
    BoxShown shown{windowText(box), windowText(text), nullptr, false, glyphCells(text, area)};
    ::EnumChildWindows(
        box,
        [](HWND child, LPARAM seen) -> BOOL {
            const LONG style = ::GetWindowLongW(child, GWL_STYLE);
            if ((style & SS_TYPEMASK) == SS_ICON && ::IsWindowVisible(child))
                reinterpret_cast<BoxShown *>(seen)->icon = reinterpret_cast<HICON>(::SendMessageW(child, STM_GETICON, 0, 0));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&shown));
    shown.okOnly = shows(box, IDOK)
        && std::ranges::none_of(std::initializer_list<int>{IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDHELP,
                                                           IDTRYAGAIN, IDCONTINUE},
                                [box](int button) { return shows(box, button); });
    return shown;
}

void pressOk(HWND box)
{
    press(box, IDOK);
}

FileDialogShown fileDialogShown(HWND dialog)
{
    HWND types = ::GetDlgItem(dialog, kFileTypes);
    std::wstring filter;
    if (const LRESULT chosen = ::SendMessageW(types, CB_GETCURSEL, 0, 0); chosen != CB_ERR) {
        filter.resize(std::size_t(std::max<LRESULT>(::SendMessageW(types, CB_GETLBTEXTLEN, WPARAM(chosen), 0), 0)) + 1);
        filter.resize(std::size_t(std::max<LRESULT>(
            ::SendMessageW(types, CB_GETLBTEXT, WPARAM(chosen), reinterpret_cast<LPARAM>(filter.data())), 0)));
    }
    // The chosen type as the closed list shows it, within its frame.
    COMBOBOXINFO parts{};
    parts.cbSize = sizeof parts;
    ::GetComboBoxInfo(types, &parts);
    return {windowText(dialog), filter, windowText(fileNameBox(dialog)), glyphCells(types, parts.rcItem)};
}

void answerFileDialog(HWND dialog, const std::optional<std::wstring> &file)
{
    if (!file) {
        press(dialog, IDCANCEL);
        return;
    }
    ::SendMessageW(fileNameBox(dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file->c_str()));
    press(dialog, IDOK);
}

} // namespace win32test
