// The Win32 form's window: its class, the controls made from the layout
// table, the message loop with the dialog keys, and the messages the window
// answers (colours, commands, focus, the busy pointer, DPI, closing). The
// layout and fonts, the names and tool tips, and the runtime operations are
// in files of their own.
#include "platform/win32/Win32Form.h"

#include "platform/win32/FormParts.h"
#include "os/win32/SystemLibrary.h"
#include "os/win32/SystemText.h"

#include <imm.h>
#include <uxtheme.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform::win32 {
namespace {

using window::ControlRow;
using window::Kind;

constexpr wchar_t kClassName[] = L"SondarForm1";
// The ICON of sondar.rc.
constexpr WORD kIconResource = 1;
// Control identifiers: the row's index past this, clear of IDOK and IDCANCEL,
// which the dialog keys send for Enter and Esc.
constexpr int kFirstControlId = 100;
// The text colour of the frame and the labels, which stand on the window's
// light blue: the system's own text colour is near white in a dark or
// high-contrast scheme, and would all but vanish there.
constexpr COLORREF kCaptionText = RGB(0, 0, 0);

struct ControlClass {
    const wchar_t *name;
    DWORD style;
    DWORD extendedStyle;
};

ControlClass controlClass(Kind kind)
{
    switch (kind) {
    case Kind::Frame:
        return {L"BUTTON", BS_GROUPBOX, 0};
    case Kind::Label:
        return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case Kind::TextBox:
        return {L"EDIT", WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case Kind::ListBox:
        // A vertical bar only when the lines outgrow the list, never a
        // horizontal one; the height stays as designed, not whole lines.
        return {L"LISTBOX", WS_TABSTOP | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, WS_EX_CLIENTEDGE};
    case Kind::Button:
        // BS_NOTIFY: the focused button is shown as the one Enter presses.
        return {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON | BS_NOTIFY, 0};
    }
    std::abort();
}

// The input method opens in hiragana: native characters, full width.
void openHiragana(HWND field)
{
    HIMC context = ::ImmGetContext(field);
    if (!context)
        return;
    DWORD conversion = 0, sentence = IME_SMODE_PHRASEPREDICT;
    ::ImmGetConversionStatus(context, &conversion, &sentence);
    ::ImmSetOpenStatus(context, TRUE);
    ::ImmSetConversionStatus(context, IME_CMODE_NATIVE | IME_CMODE_FULLSHAPE, sentence);
    ::ImmReleaseContext(field, context);
}

void registerClass(HINSTANCE instance, WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    if (::GetClassInfoExW(instance, kClassName, &windowClass))
        return;
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    windowClass.hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                                        ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON),
                                                        LR_DEFAULTCOLOR));
    windowClass.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                                          ::GetSystemMetrics(SM_CXSMICON),
                                                          ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (!::RegisterClassExW(&windowClass)) {
        std::fprintf(stderr, "sondar: the window class did not register (%lu)\n", ::GetLastError());
        std::abort();
    }
}

// A themed group box draws its caption in the theme's colour, which can be
// faint on the light blue; drawn classically it takes the dark text colour
// the window gives its captions. The theme library is not a known DLL: it is
// loaded from the system folder, once, and kept.
void drawClassically(HWND control)
{
    static const Library themes = systemLibrary(L"uxtheme.dll");
    if (const auto setTheme = libraryFunction<decltype(::SetWindowTheme)>(themes, "SetWindowTheme"))
        setTheme(control, L"", L"");
}

} // namespace

Win32Form::Win32Form(HINSTANCE instance)
    : lightBlue_(::CreateSolidBrush(RGB(window::kLightBlue.red, window::kLightBlue.green, window::kLightBlue.blue)))
{
    registerClass(instance, &Win32Form::windowProc);
    window_ = ::CreateWindowExW(0, kClassName, wide(kApplicationTitle).c_str(), kFormStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
    if (!window_) {
        std::fprintf(stderr, "sondar: the window was not created (%lu)\n", ::GetLastError());
        std::abort();
    }

    // Created in focus order, which is the order Tab follows.
    std::vector<const ControlRow *> rows;
    for (const ControlRow &r : window::kLayout)
        rows.push_back(&r);
    std::ranges::stable_sort(rows, {}, &ControlRow::tab);
    for (const ControlRow *r : rows) {
        const ControlClass type = controlClass(r->kind);
        const DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | type.style | (r->enabledAtStart ? 0 : WS_DISABLED);
        HWND control = ::CreateWindowExW(type.extendedStyle, type.name, reinterpret_cast<const wchar_t *>(r->caption),
                                         style, 0, 0, 0, 0, window_,
                                         reinterpret_cast<HMENU>(INT_PTR(kFirstControlId + r->id)), instance, nullptr);
        if (!control) {
            std::fprintf(stderr, "sondar: control %s was not created (%lu)\n", r->name, ::GetLastError());
            std::abort();
        }
        controls_[r->id] = control;
        // Typing and pastes stop at the field's limit.
        if (r->kind == Kind::TextBox) {
            ::SendMessageW(control, EM_SETLIMITTEXT, window::kTextBoxMaxLength, 0);
            handlePastes(control);
        }
        if (r->inputMethod == window::InputMethod::Disabled)
            ::ImmAssociateContextEx(control, nullptr, 0); // no input context at all
    }
    // The frame lies beneath the controls it holds; it takes no focus, so its
    // place does not change the order Tab follows.
    ::SetWindowPos(controls_[window::Frame1], HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    drawClassically(controls_[window::Frame1]);
    addTimeTips(instance);
    nameControls();

    layOut(::GetDpiForWindow(window_));
}

Win32Form::~Win32Form()
{
    if (window_)
        ::DestroyWindow(window_);
}
void Win32Form::show(int showCommand)
{
    ::ShowWindow(window_, showCommand);
    ::UpdateWindow(window_);
    lastFocus_ = controls_[window::kFocusOrder.front()];
    ::SetFocus(lastFocus_);
}

int Win32Form::run()
{
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        deliver(message);
    return int(message.wParam);
}

bool Win32Form::deliver(MSG &message)
{
    if (message.message == WM_QUIT)
        return false;
    // Enter in a field is the field's key press, not the dialog keys' default
    // button: the logic hears it, then the field has it.
    const std::optional<ControlIndex> target = indexOf(message.hwnd);
    const bool enterInField = (message.message == WM_KEYDOWN || message.message == WM_CHAR)
        && message.wParam == VK_RETURN && target && row(*target).kind == Kind::TextBox;
    if (window_ && !enterInField && ::IsDialogMessageW(window_, &message))
        return true;
    ::TranslateMessage(&message);
    if (enterInField && message.message == WM_CHAR && events_)
        events_->KeyPress(*target, 13);
    ::DispatchMessageW(&message);
    return true;
}

LRESULT CALLBACK Win32Form::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *form = static_cast<Win32Form *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
        form->window_ = window;
    }
    auto *form = reinterpret_cast<Win32Form *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    return form ? form->handle(message, wParam, lParam) : ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Win32Form::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND self = window_;
    switch (message) {
    case WM_ERASEBKGND: {
        RECT client{};
        ::GetClientRect(window_, &client);
        ::FillRect(reinterpret_cast<HDC>(wParam), &client, lightBlue_.get());
        return 1;
    }
    case WM_CTLCOLORSTATIC: {
        // The frame and the labels show the window's light blue, in the
        // window's own text colour; a disabled field, which asks the same,
        // keeps the system's pair of grey and text colour.
        const std::optional<ControlIndex> control = indexOf(reinterpret_cast<HWND>(lParam));
        if (control && row(*control).kind == Kind::TextBox)
            break;
        ::SetTextColor(reinterpret_cast<HDC>(wParam), kCaptionText);
        ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(lightBlue_.get());
    }
    case WM_COMMAND:
        if (const std::optional<ControlIndex> control = indexOf(reinterpret_cast<HWND>(lParam)))
            onCommand(*control, HIWORD(wParam));
        return 0;
    case DM_GETDEFID: {
        // Enter presses the focused button, as in a dialog.
        const std::optional<ControlIndex> focused = indexOf(::GetFocus());
        if (focused && row(*focused).kind == Kind::Button && ::IsWindowEnabled(controls_[*focused]))
            return MAKELRESULT(kFirstControlId + *focused, DC_HASDEFID);
        return 0;
    }
    case WM_SETCURSOR:
        // While a run works the arrow with hourglass shows over the whole
        // window, controls included.
        if (busy_ && LOWORD(lParam) == HTCLIENT) {
            ::SetCursor(::LoadCursorW(nullptr, IDC_APPSTARTING));
            return TRUE;
        }
        break;
    case WM_ACTIVATE:
        // The focus comes back to the control that had it, as in a dialog.
        if (LOWORD(wParam) == WA_INACTIVE) {
            if (HWND focused = ::GetFocus(); focused && ::IsChild(window_, focused))
                lastFocus_ = focused;
        } else if (lastFocus_) {
            ::SetFocus(::IsWindowEnabled(lastFocus_) ? lastFocus_ : ::GetNextDlgTabItem(window_, lastFocus_, FALSE));
        }
        return 0;
    case WM_DPICHANGED: {
        layOut(HIWORD(wParam));
        const auto *suggested = reinterpret_cast<const RECT *>(lParam);
        ::SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_CLOSE:
        // Closing mid-run ends the run: the logic hears it, the window goes,
        // and the run returns at its next pause.
        if (events_)
            events_->Unload();
        ::DestroyWindow(window_);
        ::PostQuitMessage(0);
        return 0;
    case WM_DESTROY:
        clearNames();
        break;
    case WM_NCDESTROY:
        window_ = nullptr;
        toolTips_ = nullptr;
        controls_.fill(nullptr);
        break;
    default:
        break;
    }
    return ::DefWindowProcW(self, message, wParam, lParam);
}

void Win32Form::onCommand(ControlIndex control, WORD code)
{
    const ControlRow &r = row(control);
    HWND hwnd = controls_[control];
    switch (code) {
    case BN_CLICKED:
        if (r.kind == Kind::Button && ::IsWindowEnabled(hwnd) && events_)
            events_->Click(control);
        break;
    case BN_SETFOCUS:
    case BN_KILLFOCUS:
        if (r.kind == Kind::Button)
            ::SendMessageW(hwnd, BM_SETSTYLE, code == BN_SETFOCUS ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
        break;
    case EN_SETFOCUS:
        if (r.inputMethod == window::InputMethod::Hiragana)
            openHiragana(hwnd);
        break;
    default:
        break;
    }
}

std::optional<ControlIndex> Win32Form::indexOf(HWND control) const
{
    if (!control)
        return std::nullopt;
    const auto found = std::ranges::find(controls_, control);
    return found == controls_.end() ? std::nullopt : std::optional<ControlIndex>(ControlIndex(found - controls_.begin()));
}

const ControlRow &Win32Form::row(ControlIndex control) const
{
    if (control >= window::kLayout.size()) {
        std::fprintf(stderr, "sondar: no control %d\n", int(control));
        std::abort();
    }
    return window::kLayout[control];
}

HWND Win32Form::control(ControlIndex control) const
{
    return controls_[row(control).id];
}

HWND Win32Form::control(ControlIndex control, window::Kind kind) const
{
    if (row(control).kind != kind) {
        std::fprintf(stderr, "sondar: control %s is not of the kind asked for\n", row(control).name);
        std::abort();
    }
    return controls_[control];
}

} // namespace platform::win32
