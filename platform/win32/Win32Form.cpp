#include "platform/win32/Win32Form.h"

#include "platform/win32/AppendFile.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/SystemText.h"

#include <commctrl.h>
#include <commdlg.h>
#include <imm.h>
#include <uxtheme.h>

#include <algorithm>
#include <cmath>
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
// No WS_CLIPCHILDREN: the light blue is painted under the frame too, which
// draws only its border and caption.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// The text colour of the frame and the labels, which stand on the window's
// light blue: the system's own text colour is near white in a dark or
// high-contrast scheme, and would all but vanish there.
constexpr COLORREF kCaptionText = RGB(0, 0, 0);
// The fields a run writes its times into: disabled, and often narrower than
// an average with all its decimals, so each shows its whole text as a tip.
constexpr window::Control kTimeFields[] = {window::Text5, window::Text6, window::Text7};
// The results have no caption of their own to name them.
// oleacc's annotation service, CAccPropServices; mingw-w64's libraries do not
// define its class id.
constexpr CLSID kAccPropServicesClass{0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};

static_assert(kOverwritePrompt == OFN_OVERWRITEPROMPT && kHideReadOnly == OFN_HIDEREADONLY
                  && kNoChangeDir == OFN_NOCHANGEDIR && kExplorer == OFN_EXPLORER && kLongNames == OFN_LONGNAMES,
              "the save request's flags are the common dialog's own");

const wchar_t *wideFace(const char16_t *face)
{
    return reinterpret_cast<const wchar_t *>(face);
}

bool faceInstalled(HDC dc, const wchar_t *face)
{
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    if (std::wcslen(face) >= LF_FACESIZE)
        return false;
    std::wcscpy(wanted.lfFaceName, face);
    bool found = false;
    ::EnumFontFamiliesExW(
        dc, &wanted,
        [](const LOGFONTW *, const TEXTMETRICW *, DWORD, LPARAM found) -> int {
            *reinterpret_cast<bool *>(found) = true;
            return 0;
        },
        reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

const wchar_t *japaneseFace()
{
    static const wchar_t *const face = [] {
        HDC screen = ::GetDC(nullptr);
        const auto *chosen = std::ranges::find_if(window::kJapaneseFaces, [screen](const char16_t *f) {
            return faceInstalled(screen, wideFace(f));
        });
        ::ReleaseDC(nullptr, screen);
        return wideFace(chosen != std::end(window::kJapaneseFaces) ? *chosen : window::kJapaneseFaces[0]);
    }();
    return face;
}

HFONT japaneseFont(double points, UINT dpi)
{
    LOGFONTW font{};
    font.lfHeight = -LONG(std::lround(points * dpi / 72.0));
    font.lfWeight = FW_NORMAL;
    // Where no listed face is installed, the font mapper is asked for one
    // that holds the Japanese characters, not merely for the name.
    font.lfCharSet = SHIFTJIS_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    std::wcscpy(font.lfFaceName, japaneseFace());
    return ::CreateFontIndirectW(&font);
}

// The system's message font, the one dialogs use, at the window's DPI.
HFONT interfaceFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
        ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return ::CreateFontIndirectW(&metrics.lfMessageFont);
}

// Where a row's control sits in the window's client area. Rows inside the
// frame count from its corner; each part is rounded on its own, as the frame
// and its children are placed on every platform.
RECT designedRect(const ControlRow &row, UINT dpi)
{
    using window::pixels;
    const int d = int(dpi);
    int left = pixels(row.left, d), top = pixels(row.top, d);
    if (row.kind != Kind::Frame) {
        const ControlRow &frame = window::kLayout[window::Frame1];
        left += pixels(frame.left, d);
        top += pixels(frame.top, d);
    }
    return RECT{left, top, left + pixels(row.width, d), top + pixels(row.height, d)};
}

SIZE textExtent(const ControlRow &row, HFONT font)
{
    HDC dc = ::CreateCompatibleDC(nullptr);
    const HGDIOBJ former = ::SelectObject(dc, font);
    const std::wstring caption(reinterpret_cast<const wchar_t *>(row.caption));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, caption.c_str(), int(caption.size()), &size);
    ::SelectObject(dc, former);
    ::DeleteDC(dc);
    return size;
}

// The layout's caption rule on GDI's rectangles.
RECT fittedCaption(RECT designed, SIZE text, LONG fieldLeft)
{
    const window::PixelRect fitted = window::fittedCaption(
            {int(designed.left), int(designed.top), int(designed.right), int(designed.bottom)}, int(text.cx),
            int(text.cy), int(fieldLeft));
    return RECT{fitted.left, fitted.top, fitted.right, fitted.bottom};
}

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

// A time field's tool: a rectangle on the window, not the field itself, since
// a disabled field gets no mouse messages; the window gets them in its place.
TTTOOLINFOW timeTool(HWND window, HWND field)
{
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = window;
    tool.uId = UINT_PTR(::GetDlgCtrlID(field));
    return tool;
}

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

// The edit control's own procedure is kept in the field's user data.
void handlePastes(HWND field)
{
    ::SetWindowLongPtrW(field, GWLP_USERDATA, ::GetWindowLongPtrW(field, GWLP_WNDPROC));
    ::SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&fieldProc));
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

// Entered unless the thread is in a multithreaded apartment already
// (RPC_E_CHANGED_MODE): the annotations work there as well, and that apartment
// is not the window's to leave.
Win32Form::ComApartment::ComApartment()
    : entered(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
{
}

Win32Form::ComApartment::~ComApartment()
{
    if (entered)
        ::CoUninitialize();
}

Win32Form::Win32Form(HINSTANCE instance)
    : lightBlue_(::CreateSolidBrush(RGB(window::kLightBlue.red, window::kLightBlue.green, window::kLightBlue.blue)))
{
    registerClass(instance, &Win32Form::windowProc);
    window_ = ::CreateWindowExW(0, kClassName, wide(kApplicationTitle).c_str(), kWindowStyle, CW_USEDEFAULT,
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

void Win32Form::addTimeTips(HINSTANCE instance)
{
    initCommonControls(ICC_BAR_CLASSES);
    // Owned by the window, and gone with it; shown while the window is
    // inactive too, as a greyed field's text is read at any time.
    toolTips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                                  instance, nullptr);
    if (!toolTips_) {
        std::fprintf(stderr, "sondar: the tool tips were not created (%lu)\n", ::GetLastError());
        std::abort();
    }
    for (const window::Control field : kTimeFields) {
        TTTOOLINFOW tool = timeTool(window_, controls_[field]);
        // The tips watch the window's mouse messages themselves.
        tool.uFlags = TTF_SUBCLASS;
        tool.lpszText = const_cast<wchar_t *>(L"");
        ::SendMessageW(toolTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

// The fields and the list are named explicitly, as annotations: Windows would
// otherwise name a field after whichever caption precedes it in the z-order,
// which follows the focus order here, not the captions. Buttons, captions and
// the frame are named by their own text.
void Win32Form::nameControls()
{
    IAccPropServices *services = nullptr;
    if (FAILED(::CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                  reinterpret_cast<void **>(&services))))
        return;
    annotations_.reset(services);
    accessibleNamesSet_ = true;
    for (const ControlRow &r : window::kLayout) {
        if (r.kind != Kind::TextBox && r.kind != Kind::ListBox)
            continue;
        const std::wstring name = wide(accessibleName(r.id));
        if (FAILED(annotations_->SetHwndPropStr(controls_[r.id], DWORD(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME,
                                                name.c_str())))
            accessibleNamesSet_ = false;
    }
}

// The annotations are the process's own until cleared: they go with the
// controls they name.
void Win32Form::clearNames()
{
    if (!annotations_)
        return;
    for (const ControlRow &r : window::kLayout) {
        if (r.kind == Kind::TextBox || r.kind == Kind::ListBox)
            annotations_->ClearHwndProps(controls_[r.id], DWORD(OBJID_CLIENT), CHILDID_SELF, &PROPID_ACC_NAME, 1);
    }
}

Text Win32Form::accessibleName(ControlIndex control) const
{
    const ControlRow &r = row(control);
    if (r.kind == Kind::ListBox)
        return window::kResultsName;
    if (r.kind == Kind::TextBox) {
        const auto label = std::ranges::find(window::kLayout, std::optional<window::Control>(r.id), &ControlRow::buddy);
        if (label != window::kLayout.end())
            return label->caption;
    }
    return r.caption;
}

Win32Form::~Win32Form()
{
    if (window_)
        ::DestroyWindow(window_);
}

void Win32Form::layOut(UINT dpi)
{
    dpi_ = dpi;
    // One font per size the table names; the old ones go once no control
    // uses them any more.
    std::vector<SizedFont> fonts;
    fonts.push_back({0, GdiObject<HFONT>(interfaceFont(dpi))});
    const auto fontFor = [&](double points) {
        auto found = std::ranges::find(fonts, points, &SizedFont::points);
        if (found == fonts.end())
            found = fonts.insert(fonts.end(), SizedFont{points, GdiObject<HFONT>(japaneseFont(points, dpi))});
        return found->font.get();
    };

    for (const ControlRow &r : window::kLayout) {
        const HFONT font = fontFor(r.points);
        RECT place = designedRect(r, dpi);
        if (r.buddy)
            place = fittedCaption(place, textExtent(r, font), designedRect(window::kLayout[*r.buddy], dpi).left);
        ::SendMessageW(controls_[r.id], WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        ::MoveWindow(controls_[r.id], place.left, place.top, place.right - place.left, place.bottom - place.top, TRUE);
    }
    fonts_ = std::move(fonts);
    for (const window::Control field : kTimeFields) {
        TTTOOLINFOW tool = timeTool(window_, controls_[field]);
        tool.rect = designedRect(window::kLayout[field], dpi);
        ::SendMessageW(toolTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
    }

    const SIZE wanted{window::pixels(window::kClientWidth, int(dpi)), window::pixels(window::kClientHeight, int(dpi))};
    RECT frame{0, 0, wanted.cx, wanted.cy};
    ::AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, 0, dpi);
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Where the frame drawn differs from the one computed (a caption that
    // has not yet followed the DPI), the client area still gets its size.
    RECT client{};
    ::GetClientRect(window_, &client);
    if (client.right != wanted.cx || client.bottom != wanted.cy)
        ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left + wanted.cx - client.right,
                       frame.bottom - frame.top + wanted.cy - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(window_, nullptr, TRUE);
}

void Win32Form::show(int showCommand)
{
    ::ShowWindow(window_, showCommand);
    ::UpdateWindow(window_);
    lastFocus_ = controls_[window::Text1];
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

Text Win32Form::text(ControlIndex control) const
{
    return windowText(this->control(control, window::Kind::TextBox));
}

void Win32Form::setText(ControlIndex control, const Text &text)
{
    const std::wstring line = wide(fieldText(text));
    HWND field = this->control(control, window::Kind::TextBox);
    ::SetWindowTextW(field, line.c_str());
    if (std::ranges::find(kTimeFields, control) != std::end(kTimeFields)) {
        TTTOOLINFOW tool = timeTool(window_, field);
        tool.lpszText = const_cast<wchar_t *>(line.c_str());
        ::SendMessageW(toolTips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
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
