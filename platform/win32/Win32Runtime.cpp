// The forms-runtime operations of the Win32 form: the fields' texts (a
// single line, at most the fields' limit, pastes cut as an edit control with
// a limit cuts them), the list, the pointer, message boxes, the pause, the
// save dialog, the system's date, decimal mark and code page, and the append.
#include "platform/win32/Win32Form.h"

#include "os/win32/AppendFile.h"
#include "platform/win32/FormParts.h"
#include "os/win32/SystemText.h"

#include <commdlg.h>

#include <algorithm>
#include <cwchar>

namespace platform::win32 {
namespace {

static_assert(kOverwritePrompt == OFN_OVERWRITEPROMPT && kHideReadOnly == OFN_HIDEREADONLY
                  && kNoChangeDir == OFN_NOCHANGEDIR && kExplorer == OFN_EXPLORER && kLongNames == OFN_LONGNAMES,
              "the save request's flags are the common dialog's own");

// What a single-line field holds of a text: never a line break (of a text
// with one it keeps the first line, as the box itself does with a paste), and
// no more than its limit, which a text set from outside passes unchecked.
Text fieldText(const Text &text)
{
    return text.substr(0, std::min(text.find_first_of(u"\r\n"), std::size_t(window::kTextBoxMaxLength)));
}

// The clipboard's text as a single-line field with a limit takes it in place
// of its selection: up to the first line break, and no more than fits. Only
// that much of the clipboard is looked at, however long its text is.
std::wstring pastedText(HWND field)
{
    const auto length = std::size_t(::GetWindowTextLengthW(field));
    DWORD start = 0, end = 0;
    ::SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    const std::size_t kept = length - std::min<std::size_t>(end - start, length);
    const std::size_t limit = std::size_t(::SendMessageW(field, EM_GETLIMITTEXT, 0, 0));
    const std::size_t room = limit > kept ? limit - kept : 0;

    std::wstring text;
    if (!::IsClipboardFormatAvailable(CF_UNICODETEXT) || !::OpenClipboard(field))
        return text;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto *chars = static_cast<const wchar_t *>(::GlobalLock(data))) {
            const std::size_t size = std::min(room, ::GlobalSize(data) / sizeof(wchar_t));
            text.assign(chars, std::find_if(chars, chars + size, [](wchar_t c) {
                            return c == L'\0' || c == L'\r' || c == L'\n';
                        }));
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

// The text boxes' own handling of a paste, the edit control's for the rest:
// the control would take the clipboard's whole text first, which for a long
// one (10 MB) takes it most of a second under wine.
LRESULT CALLBACK fieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto control = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(field, GWLP_USERDATA));
    if (message == WM_PASTE) {
        const std::wstring text = pastedText(field);
        ::CallWindowProcW(control, field, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
        return 0;
    }
    return ::CallWindowProcW(control, field, message, wParam, lParam);
}

Text windowText(HWND control)
{
    const int length = ::GetWindowTextLengthW(control);
    if (length <= 0)
        return {};
    std::wstring buffer(std::size_t(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(control, buffer.data(), length + 1);
    return ownText(buffer.data(), std::size_t(std::max(copied, 0)));
}

} // namespace

// The edit control's own procedure is kept in the field's user data.
void handlePastes(HWND field)
{
    ::SetWindowLongPtrW(field, GWLP_USERDATA, ::GetWindowLongPtrW(field, GWLP_WNDPROC));
    ::SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&fieldProc));
}

Text Win32Form::text(ControlIndex control) const
{
    return windowText(this->control(control, window::Kind::TextBox));
}

void Win32Form::setText(ControlIndex control, const Text &text)
{
    const std::wstring line = wide(fieldText(text));
    HWND field = this->control(control, window::Kind::TextBox);
    ::SetWindowTextW(field, line.c_str());
    updateTimeTip(control, line);
}

void Win32Form::setEnabled(ControlIndex control, bool enabled)
{
    HWND hwnd = this->control(control);
    // A control that is disabled while it has the focus would leave the window
    // with none (no Tab, no Enter until a click): the focus moves on first, as
    // the next control in the tab order, the way Qt's widgets do it.
    if (!enabled && ::GetFocus() == hwnd)
        ::SetFocus(::GetNextDlgTabItem(window_, hwnd, FALSE));
    ::EnableWindow(hwnd, enabled);
}

void Win32Form::setFocus(ControlIndex control)
{
    ::SetFocus(this->control(control));
}

void Win32Form::clearList(ControlIndex list)
{
    ::SendMessageW(control(list, window::Kind::ListBox), LB_RESETCONTENT, 0, 0);
}

void Win32Form::addLine(ControlIndex list, const Text &line)
{
    // Added at the end; the view stays where it was.
    ::SendMessageW(control(list, window::Kind::ListBox), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(line).c_str()));
}

Text Win32Form::line(ControlIndex list, int index) const
{
    HWND hwnd = control(list, window::Kind::ListBox);
    const LRESULT length = ::SendMessageW(hwnd, LB_GETTEXTLEN, WPARAM(index), 0);
    if (index < 0 || length == LB_ERR)
        return {};
    std::wstring buffer(std::size_t(length) + 1, L'\0');
    const LRESULT copied = ::SendMessageW(hwnd, LB_GETTEXT, WPARAM(index), reinterpret_cast<LPARAM>(buffer.data()));
    return copied == LB_ERR ? Text() : ownText(buffer.data(), std::size_t(copied));
}

int Win32Form::lineCount(ControlIndex list) const
{
    const LRESULT count = ::SendMessageW(control(list, window::Kind::ListBox), LB_GETCOUNT, 0, 0);
    return count == LB_ERR ? 0 : int(count);
}

void Win32Form::setPointer(Pointer pointer)
{
    busy_ = pointer == Pointer::Busy;
    showPointerNow();
}

// The pointer changes at once where it rests over the window, not only at
// the next move of the mouse.
void Win32Form::showPointerNow() const
{
    POINT at{};
    if (!window_ || !::GetCursorPos(&at))
        return;
    HWND under = ::WindowFromPoint(at);
    if (under == window_ || ::IsChild(window_, under))
        ::SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

void Win32Form::messageBox(const Message &message)
{
    const UINT icon = message.icon == MessageIcon::Exclamation ? MB_ICONEXCLAMATION : 0;
    ::MessageBoxW(window_, wide(message.text).c_str(), wide(message.title).c_str(), MB_OK | icon);
}

// The wait takes no input, as the program sleeps; then every pending message
// is handled, each to its end. Closing the window in that time ends the
// program: its quit message is left for the main loop.
void Win32Form::pause(std::chrono::milliseconds duration)
{
    ::Sleep(DWORD(std::max<std::chrono::milliseconds::rep>(duration.count(), 0)));
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (!deliver(message)) {
            ::PostQuitMessage(int(message.wParam));
            break;
        }
    }
}

std::optional<Text> Win32Form::saveFileName(const SaveFileRequest &request)
{
    // "description|pattern|..." becomes the NUL-separated, NUL-ended list.
    std::wstring filter = wide(request.filter);
    std::ranges::replace(filter, L'|', L'\0');
    filter.append(2, L'\0');
    const std::wstring title = wide(request.title);
    std::wstring file = wide(request.fileName);
    file.resize(std::max<std::size_t>(file.size() + 1, 32768), L'\0');

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = DWORD(request.filterIndex);
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = DWORD(file.size());
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = request.flags;
    if (saveDialog_.show(&dialog))
        return ownText(file.c_str(), std::wcslen(file.c_str()));
    // Cancelled; or the dialog failed, which is no cancel and says so: the
    // name chosen in it reached nobody.
    if (const DWORD error = saveDialog_.error()) {
        wchar_t code[16] = {};
        std::swprintf(code, std::size(code), L"0x%04lX", error);
        messageBox({u"The save dialog failed (" + ownText(code, std::wcslen(code)) + u"): "
                    + (error == FNERR_BUFFERTOOSMALL ? Text(u"the file name is too long")
                       : error == FNERR_INVALIDFILENAME ? Text(u"the file name is not valid")
                                                        : Text(u"the dialog could not be shown"))
                    + u". Nothing was saved."});
    }
    return std::nullopt;
}

Text Win32Form::generalDateNow() const
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return generalDate(now);
}

Text Win32Form::decimalMark() const
{
    return win32::decimalMark();
}

std::string Win32Form::narrow(const Text &text) const
{
    return ansiText(text);
}

std::optional<AppendFailure> Win32Form::appendLines(const Text &path, std::span<const Text> lines)
{
    return appendWhole(path, crlfLines(lines, [](const Text &line) { return ansiText(line); }));
}

} // namespace platform::win32
