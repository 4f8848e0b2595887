// tst_win32form [--geometry]
//
// What is the Win32 layer's own, as a Windows program run under wine in CI:
// the window built from the layout table (places, captions, fonts, colours
// under a light-text scheme too, focus order, input method, the list box's
// bars), the time fields' tool tips, the names and roles assistive technology
// reads, the dialog keys, a long paste, a layout again at another DPI, the
// code page and the date, a save dialog that fails, the append's Windows
// specifics, and a short run of the real logic over a scripted network that
// is closed in its pause. Nothing is sent anywhere. What every layer does
// alike is the forms-runtime contract's (win32runtime_test).
//
// With --geometry it prints each control's place in the client area instead,
// "name left top width height", for a comparison with the Linux window.
#include "FormHarness.h"
#include "TestFiles.h"
#include "WindowUser.h"
#include "os/win32/AppendFile.h"
#include "os/win32/SystemLibrary.h"
#include "os/win32/SystemText.h"
#include "platform/win32/Win32Form.h"
#include "probe/Module1.h"
#include "window/Form1.h"
#include "layout/Layout.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <imm.h>
#include <oleacc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using runtime::Text;
using platform::win32::Win32Form;
using os::win32::wide;
using window::ControlRow;
using window::Kind;
using window::kLayout;
using win32test::windowText;

int failures = 0;

void check(bool passed, const std::string &what)
{
    std::printf("%-4s %s\n", passed ? "ok" : "FAIL", what.c_str());
    if (!passed)
        ++failures;
}

std::string utf8(const Text &text)
{
    return runtime::toUtf8(text);
}

std::string rectText(const RECT &r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x"
        + std::to_string(r.bottom - r.top);
}

// A control's place in the window's client area.
RECT placeOf(HWND control)
{
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT *>(&r), 2);
    return r;
}

// Where the table puts a control, worked out here on its own: the frame's
// corner and the control's offset each rounded to pixels, as the Linux window
// places a child inside its frame.
RECT tablePlace(const ControlRow &row, int dpi)
{
    using window::pixels;
    const ControlRow &frame = kLayout[window::Frame1];
    const int x = row.kind == Kind::Frame ? 0 : pixels(frame.left, dpi);
    const int y = row.kind == Kind::Frame ? 0 : pixels(frame.top, dpi);
    const int left = x + pixels(row.left, dpi), top = y + pixels(row.top, dpi);
    return RECT{left, top, left + pixels(row.width, dpi), top + pixels(row.height, dpi)};
}

std::wstring className(HWND control)
{
    wchar_t name[64] = {};
    ::GetClassNameW(control, name, 64);
    return name;
}

LOGFONTW fontOf(HWND control)
{
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font;
}

// WCAG's contrast ratio of two colours, 1 to 21.
double contrast(COLORREF a, COLORREF b)
{
    const auto luminance = [](COLORREF c) {
        const auto linear = [](int channel) {
            const double v = channel / 255.0;
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(GetRValue(c)) + 0.7152 * linear(GetGValue(c)) + 0.0722 * linear(GetBValue(c));
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A time field's tool in the window's tool tips, its text in `text`.
TTTOOLINFOW timeTool(const Win32Form &form, window::Control field, wchar_t (&text)[256])
{
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = form.window();
    tool.uId = UINT_PTR(::GetDlgCtrlID(form.control(field)));
    tool.lpszText = text;
    ::SendMessageW(form.toolTips(), TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool));
    return tool;
}

std::wstring tipText(const Win32Form &form, window::Control field)
{
    wchar_t text[256] = {};
    TTTOOLINFOW tool = timeTool(form, field, text);
    text[0] = L'\0';
    ::SendMessageW(form.toolTips(), TTM_GETTEXTW, std::size(text), reinterpret_cast<LPARAM>(&tool));
    return text;
}

RECT tipRect(const Win32Form &form, window::Control field)
{
    wchar_t text[256] = {};
    return timeTool(form, field, text).rect;
}

// A key as the keyboard sends it to the focused control; the form's message
// handling (the pause's) then takes it.
void pressKey(Win32Form &form, WORD key)
{
    win32test::postKey(key);
    form.pause(std::chrono::milliseconds(0));
}

std::string focusName(const Win32Form &form)
{
    HWND focus = ::GetFocus();
    for (const ControlRow &row : kLayout) {
        if (form.control(row.id) == focus)
            return row.name;
    }
    return "(none)";
}

// The logic's events, passed on to the real handlers and written down.
class RecordedEvents final : public runtime::FormEvents {
public:
    explicit RecordedEvents(runtime::FormEvents &handlers) : handlers_(handlers) {}
    void Click(runtime::ControlIndex control) override
    {
        heard.push_back(std::string("Click ") + kLayout[control].name);
        handlers_.Click(control);
    }
    void KeyPress(runtime::ControlIndex control, int keyAscii) override
    {
        heard.push_back(std::string("KeyPress ") + kLayout[control].name + " " + std::to_string(keyAscii));
        handlers_.KeyPress(control, keyAscii);
    }
    void Unload() override
    {
        heard.push_back("Unload");
        handlers_.Unload();
    }
    std::vector<std::string> heard;

private:
    runtime::FormEvents &handlers_;
};

void windowAndControls(Win32Form &form)
{
    const int dpi = int(form.dpi());
    RECT client{};
    ::GetClientRect(form.window(), &client);
    check(client.right == window::pixels(window::kClientWidth, dpi)
              && client.bottom == window::pixels(window::kClientHeight, dpi),
          "client area " + rectText(client) + " at " + std::to_string(dpi) + " dpi");
    check(windowText(form.window()) == L"Sondar", "window title");
    check(::GetClassLongPtrW(form.window(), GCLP_HICON) && ::GetClassLongPtrW(form.window(), GCLP_HICONSM),
          "the window carries its icon in both sizes");

    const std::wstring face = fontOf(form.control(window::Text1)).lfFaceName;
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, UINT(dpi));

    for (const ControlRow &row : kLayout) {
        HWND control = form.control(row.id);
        const std::string name = row.name;
        static const wchar_t *const classes[] = {L"Button", L"Static", L"Edit", L"ListBox", L"Button"};
        check(_wcsicmp(className(control).c_str(), classes[int(row.kind)]) == 0, name + " is a system control");
        if (row.kind != Kind::ListBox)
            check(windowText(control) == reinterpret_cast<const wchar_t *>(row.caption), name + " caption");
        check(bool(::IsWindowEnabled(control)) == row.enabledAtStart, name + " enabled at start");

        const RECT want = tablePlace(row, dpi), got = placeOf(control);
        if (row.kind == Kind::Label) {
            // A caption may grow past its designed box to show its text
            // whole, but never into its field.
            const RECT field = placeOf(form.control(*row.buddy));
            const bool designed = std::memcmp(&got, &want, sizeof got) == 0;
            const bool grown = got.top == want.top && got.right - got.left >= want.right - want.left
                && got.bottom - got.top >= want.bottom - want.top && got.right <= std::max(want.right, field.left);
            check(designed || grown, name + " at " + rectText(got) + ", designed " + rectText(want));
        } else {
            check(std::memcmp(&got, &want, sizeof got) == 0, name + " at " + rectText(got) + ", designed " + rectText(want));
        }

        const LOGFONTW font = fontOf(control);
        if (row.points > 0)
            check(font.lfFaceName == face && font.lfHeight == -std::lround(row.points * dpi / 72.0),
                  name + " in the Japanese face at " + std::to_string(row.points) + " pt");
        else
            check(std::wcscmp(font.lfFaceName, metrics.lfMessageFont.lfFaceName) == 0
                      && font.lfHeight == metrics.lfMessageFont.lfHeight,
                  name + " in the system's message font");
    }
    std::printf("     the Japanese face here: %s\n", utf8(os::win32::ownText(face.c_str(), face.size())).c_str());
}

// The light blue behind the frame and the labels; a disabled field keeps the
// system's grey.
void colours(Win32Form &form)
{
    HDC dc = ::GetDC(form.window());
    const auto brushColour = [&](window::Control control) -> COLORREF {
        const auto brush = reinterpret_cast<HBRUSH>(
            ::SendMessageW(form.window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(form.control(control))));
        LOGBRUSH info{};
        return brush && ::GetObjectW(brush, sizeof info, &info) ? info.lbColor : CLR_INVALID;
    };
    const COLORREF lightBlue = RGB(192, 192, 255);
    for (const window::Control control : {window::Frame1, window::Label1, window::Label4, window::Label2})
        check(brushColour(control) == lightBlue, std::string(kLayout[control].name) + " on light blue");
    check(brushColour(window::Text5) != lightBlue, "a disabled field is not light blue");

    // Under a scheme of light text on dark (a dark or high-contrast one) the
    // frame and the captions keep dark text on their light blue; the disabled
    // field keeps the system's own pair.
    const int elements[] = {COLOR_WINDOWTEXT, COLOR_BTNTEXT};
    const COLORREF former[] = {::GetSysColor(COLOR_WINDOWTEXT), ::GetSysColor(COLOR_BTNTEXT)};
    const COLORREF white = RGB(255, 255, 255);
    const COLORREF light[] = {white, white};
    ::SetSysColors(2, elements, light);
    const auto textColour = [&](window::Control control) {
        ::SetTextColor(dc, white); // as the system's default handling leaves it
        brushColour(control);
        return ::GetTextColor(dc);
    };
    for (const window::Control control : {window::Frame1, window::Label6, window::Label1, window::Label4, window::Label2}) {
        const double ratio = contrast(textColour(control), lightBlue);
        check(ratio >= 4.5, std::string(kLayout[control].name) + " under light system text: contrast "
                                + std::to_string(ratio).substr(0, 4) + ":1 on light blue");
    }
    check(textColour(window::Text5) == ::GetSysColor(COLOR_WINDOWTEXT), "a disabled field keeps the system's text colour");
    ::SetSysColors(2, elements, former);
    ::ReleaseDC(form.window(), dc);
}

// Each time field shows its whole text as a tip, kept with every text the
// logic writes; the tips lie over the fields, which stay disabled.
void timeTips(Win32Form &form)
{
    check(::SendMessageW(form.toolTips(), TTM_GETTOOLCOUNT, 0, 0) == 3, "three tools, one per time field");
    struct Case {
        window::Control field;
        Text text, tip;
    };
    const Case cases[] = {
        {window::Text7, u"7.66666666666667 ms", u"7.66666666666667 ms"},
        {window::Text5, u"1 ms", u"1 ms"},
        {window::Text6, u"1234567890.12345678 ms", u"1234567890.12345678 ms"},
        {window::Text5, u"3 ms\r\n4 ms", u"3 ms"},
        {window::Text7, u"", u""},
    };
    for (const Case &c : cases) {
        form.setText(c.field, c.text);
        const std::wstring tip = tipText(form, c.field);
        check(tip == wide(c.tip) && tip == wide(form.text(c.field)),
              std::string(kLayout[c.field].name) + "'s tip is its text: \"" + utf8(c.tip) + "\"");
    }
    for (const window::Control field : {window::Text5, window::Text6, window::Text7}) {
        const RECT tip = tipRect(form, field), place = placeOf(form.control(field));
        check(std::memcmp(&tip, &place, sizeof tip) == 0 && !::IsWindowEnabled(form.control(field)),
              std::string(kLayout[field].name) + "'s tip lies over it at " + rectText(tip) + ", the field disabled");
    }
}

// What assistive technology reads through MSAA: the window's roles, and a
// name for every control, the fields' from their captions.
void accessibility(const Win32Form &form)
{
    struct Release {
        void operator()(IAccessible *object) const { object->Release(); }
    };
    using Accessible = std::unique_ptr<IAccessible, Release>;
    const auto object = [](HWND hwnd, LONG id) {
        IAccessible *found = nullptr;
        if (FAILED(::AccessibleObjectFromWindow(hwnd, DWORD(id), __uuidof(IAccessible), reinterpret_cast<void **>(&found))))
            found = nullptr;
        return Accessible(found);
    };
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    // The role, or E_NOTIMPL where this oleacc has none to give.
    const auto role = [&](HWND hwnd, LONG id) -> long {
        const Accessible accessible = object(hwnd, id);
        VARIANT got{};
        const HRESULT result = accessible ? accessible->get_accRole(self, &got) : E_FAIL;
        return result == S_OK && got.vt == VT_I4 ? got.lVal : result == E_NOTIMPL ? E_NOTIMPL : -1;
    };
    const auto name = [&](HWND hwnd) -> std::wstring {
        const Accessible accessible = object(hwnd, OBJID_CLIENT);
        BSTR got = nullptr;
        if (!accessible || accessible->get_accName(self, &got) != S_OK || !got)
            return L"(none)";
        std::wstring text(got, ::SysStringLen(got));
        ::SysFreeString(got);
        return text;
    };
    if (const long windowRole = role(form.window(), OBJID_WINDOW); windowRole == E_NOTIMPL)
        std::printf("     not shown here: this oleacc's window objects give no role (E_NOTIMPL)\n");
    else
        check(windowRole == ROLE_SYSTEM_WINDOW, "the window's role: a window");
    check(role(form.window(), OBJID_CLIENT) == ROLE_SYSTEM_CLIENT, "its client area's role: a client area");

    struct Named {
        window::Control control;
        const char16_t *name;
    };
    const Named named[] = {
        {window::Text8, u"試験場所"},   {window::Text9, u"試験箇所"},   {window::Text1, u"IP アドレス"},
        {window::Text3, u"Packets"},    {window::Text2, u"Chars/Pkt"},  {window::Text5, u"Minimum ="},
        {window::Text6, u"Maximum ="},  {window::Text7, u"Average ="},  {window::List1, u"Ping results"},
    };
    for (const ControlRow &row : kLayout) {
        const auto given = std::ranges::find(named, row.id, &Named::control);
        const Text expected = given != std::end(named) ? given->name : row.caption;
        check(form.accessibleName(row.id) == expected, std::string(row.name) + " is named " + utf8(expected));
        // The captions name themselves; the fields and the list are named by
        // annotations, which only an oleacc that takes them shows.
        if (given == std::end(named) || form.accessibleNamesSet()) {
            const std::wstring read = name(form.control(row.id));
            check(read == wide(expected), std::string(row.name) + " reads as "
                                              + utf8(os::win32::ownText(read.c_str(), read.size())));
        }
    }
    if (!form.accessibleNamesSet())
        std::printf("     not shown here: this oleacc takes no annotations (IAccPropServices::SetHwndPropStr "
                    "fails), so the fields and the list read as it names them itself\n");
}

// A paste of 10 MB into a field is cut at the fields' limit, as an edit
// control with a limit cuts it, and the window answers within a second;
// typing goes on at the limit's end.
void longPaste(Win32Form &form)
{
    win32test::setClipboard(std::wstring(10u << 20, L'7'));
    for (const window::Control field : {window::Text1, window::Text8}) {
        const Text before = form.text(field);
        form.setText(field, u"");
        form.setFocus(field);
        const auto start = std::chrono::steady_clock::now();
        ::SendMessageW(form.control(field), WM_PASTE, 0, 0);
        // The field shown with what it holds, and the window's next message.
        ::RedrawWindow(form.window(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        DWORD_PTR answer = 0;
        const bool answered = ::SendMessageTimeoutW(form.window(), WM_NULL, 0, 0, SMTO_NORMAL, 1000, &answer);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        const Text pasted = form.text(field);
        check(answered && took < std::chrono::seconds(1) && pasted == Text(window::kTextBoxMaxLength, u'7'),
              std::string(kLayout[field].name) + ": a 10 MB paste keeps " + std::to_string(pasted.size())
                  + " characters, the window answers after " + std::to_string(took.count()) + " ms");
        form.setText(field, before);
    }
    win32test::setClipboard(L"");
}

void focusAndKeys(Win32Form &form, RecordedEvents &events)
{
    check(focusName(form) == "Text1", "Text1 has the focus at start (" + focusName(form) + ")");
    std::string order;
    for (int i = 0; i < 8; ++i) {
        pressKey(form, VK_TAB);
        order += focusName(form) + " ";
    }
    check(order == "Command1 Text3 Text2 List1 Command3 Text8 Text9 Text1 ", "Tab visits " + order);

    // Enter in the address field: heard as its key press, the focus goes on
    // to "Ping Start"; a second Enter presses it.
    form.setText(window::Text3, u"1");
    form.setText(window::Text1, u"127.0.0.1");
    events.heard.clear();
    pressKey(form, VK_RETURN);
    check(events.heard == std::vector<std::string>{"KeyPress Text1 13"} && focusName(form) == "Command1",
          "Enter in Text1 moves the focus to Command1 (" + focusName(form) + ")");
    check(form.text(window::Text1) == u"127.0.0.1", "Enter inserts nothing into Text1");
}

void inputMethod(Win32Form &form)
{
    HIMC none = ::ImmGetContext(form.control(window::Text1));
    check(none == nullptr, "Text1 has no input context");
    if (none)
        ::ImmReleaseContext(form.control(window::Text1), none);

    HWND site = form.control(window::Text8);
    form.setFocus(window::Text8);
    HIMC context = ::ImmGetContext(site);
    DWORD conversion = 0, sentence = 0;
    const bool read = context && ::ImmGetConversionStatus(context, &conversion, &sentence);
    const DWORD hiragana = IME_CMODE_NATIVE | IME_CMODE_FULLSHAPE;
    check(read && ::ImmGetOpenStatus(context) && (conversion & hiragana) == hiragana
              && !(conversion & IME_CMODE_KATAKANA),
          "Text8 opens the input method in hiragana on focus");
    if (context)
        ::ImmReleaseContext(site, context);
}

// The system's list box as the window wants it: its designed height,
// unsorted, a vertical bar only once the lines outgrow it and never a
// horizontal one; adding lines does not scroll it.
void list(Win32Form &form)
{
    HWND list = form.control(window::List1);
    const LONG style = ::GetWindowLongW(list, GWL_STYLE);
    check((style & LBS_NOINTEGRALHEIGHT) && !(style & (LBS_SORT | LBS_DISABLENOSCROLL | WS_HSCROLL)),
          "List1: designed height, unsorted, no horizontal bar, the vertical one only when needed");
    check(!(style & WS_VSCROLL), "an empty list shows no scroll bar");
    form.addLine(window::List1, u"Reply from 127.0.0.1 : Bytes = 128 Time < 10 ms  TTL = 128" + Text(200, u'x'));
    for (int i = 1; i < 30; ++i)
        form.addLine(window::List1, u"Request timed out");
    const LONG full = ::GetWindowLongW(list, GWL_STYLE);
    check((full & WS_VSCROLL) && !(full & WS_HSCROLL), "thirty lines bring the vertical bar only");
    check(::SendMessageW(list, LB_GETTOPINDEX, 0, 0) == 0, "adding lines does not scroll the list");
    form.clearList(window::List1);
    check(!(::GetWindowLongW(list, GWL_STYLE) & WS_VSCROLL), "a cleared list has no bar");
}

// The ANSI code page, as wine's locale (or Windows' system setting) has it,
// and the user's general date.
void systemTexts(Win32Form &form)
{
    const UINT codePage = ::GetACP();
    if (codePage == 932)
        check(form.narrow(u"試験 A") == "\x8E\x8E\x8C\xB1 A", "Shift-JIS in code page 932");
    else if (codePage == 1252)
        check(form.narrow(u"café 試") == "caf\xE9 ?", "code page 1252; what it lacks becomes ?");
    else
        std::printf("     code page %u: no expected bytes here\n", codePage);

    SYSTEMTIME midnight{2024, 2, 0, 29, 0, 0, 0, 0}, afternoon = midnight;
    afternoon.wHour = 13;
    afternoon.wMinute = 5;
    afternoon.wSecond = 9;
    const Text date = os::win32::generalDate(midnight), full = os::win32::generalDate(afternoon);
    check(date.find(u"29") != Text::npos && date.find(u':') == Text::npos, "midnight is the date alone: " + utf8(date));
    check(full.starts_with(date + u" ") && full.find(u"05") != Text::npos && full.find(u"09") != Text::npos,
          "a time of day follows the date: " + utf8(full));
}

// Cancel gives no name, and no box; a dialog that fails gives no name
// either, but a box says so. (Wine's dialog does not fail on any name or
// buffer; a stand-in fails as the common dialog does.)
void failingDialog(Win32Form &form)
{
    struct Ending {
        const char *what;
        DWORD error; // as CommDlgExtendedError tells it; 0: cancelled
        const wchar_t *box;
    };
    const Ending endings[] = {
        {"cancel", 0, L"(none)"},
        {"a dialog that fails on the name", FNERR_INVALIDFILENAME,
         L"The save dialog failed (0x3002): the file name is not valid. Nothing was saved."},
        {"a dialog that fails on the name's length", FNERR_BUFFERTOOSMALL,
         L"The save dialog failed (0x3003): the file name is too long. Nothing was saved."},
        {"a dialog that fails to show", CDERR_INITIALIZATION,
         L"The save dialog failed (0x0002): the dialog could not be shown. Nothing was saved."},
    };
    for (const Ending &e : endings) {
        form.setSaveDialog({.show = [](OPENFILENAMEW *) { return FALSE; }, .error = [&e] { return e.error; }});
        std::wstring box = L"(none)";
        std::optional<Text> got;
        {
            const win32test::ModalWatch watch(form.window(), [&](HWND found) {
                box = win32test::boxShown(found).text;
                win32test::pressOk(found);
            });
            got = form.saveFileName({.filter = u"テキスト (*.txt)|*.txt", .filterIndex = 1, .title = u"保存ファイル選択",
                                     .flags = runtime::kExplorer, .fileName = u"Pingdata"});
        }
        check(!got && box == e.box, std::string(e.what) + ": no name, "
                                        + utf8(os::win32::ownText(box.c_str(), box.size())));
    }
    form.setSaveDialog({});
}

// The append's Windows specifics: names the file system refuses (a device,
// a NUL inside, none at all), and another program's lock on the file.
void appendFile()
{
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring base = std::wstring(folder) + L"tst_win32form-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(base.c_str(), nullptr);
    const std::wstring report = base + L"\\report.txt";
    const auto own = [](const std::wstring &path) { return os::win32::ownText(path.c_str(), path.size()); };
    using os::win32::appendWhole;
    constexpr std::chrono::milliseconds kShortPatience{150};

    // The report that the refused and the locked saves must leave alone.
    (void)appendWhole(own(report), "a\r\nb\r\n");

    struct Refused {
        const char *what;
        Text path;
    };
    const Refused refused[] = {
        {"a device", u"NUL"},
        {"a name with a NUL inside", own(report) + Text(1, u'\0') + u"x"},
        {"the empty name", u""},
    };
    for (const Refused &r : refused) {
        const auto failure = appendWhole(r.path, "c\r\n", kShortPatience);
        check(failure && failure->aftermath == runtime::Aftermath::NothingWritten && !failure->reason.empty() && testsupport::fileBytes(report) == "a\r\nb\r\n",
              std::string(r.what) + " is refused: " + (failure ? utf8(failure->reason) : "(written)"));
    }

    // Another program's lock: the save waits its patience, then gives up
    // without writing; once the lock goes, the next save goes through.
    {
        const os::win32::KernelHandle other(::CreateFileW(report.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                                OPEN_EXISTING, 0, nullptr));
        OVERLAPPED from{};
        ::LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from);
        const auto start = std::chrono::steady_clock::now();
        const auto locked = appendWhole(own(report), "c\r\n", kShortPatience);
        const auto waited = std::chrono::steady_clock::now() - start;
        check(locked && locked->aftermath == runtime::Aftermath::NothingWritten && waited >= kShortPatience
                  && testsupport::fileBytes(report) == "a\r\nb\r\n",
              "a file locked by another program is left alone after the wait");
        ::UnlockFileEx(other.get(), 0, MAXDWORD, MAXDWORD, &from);
    }
    check(!appendWhole(own(report), "c\r\n") && testsupport::fileBytes(report) == "a\r\nb\r\nc\r\n", "the lock gone, it appends");

    ::DeleteFileW(report.c_str());
    ::RemoveDirectoryW(base.c_str());
}

// Moved to a monitor of 144 dpi, the window lays itself out again: the client
// area and every control scale with it; and back.
void dpiChange(Win32Form &form)
{
    for (const int dpi : {144, 96}) {
        RECT suggested{};
        ::GetWindowRect(form.window(), &suggested);
        ::SendMessageW(form.window(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        RECT client{};
        ::GetClientRect(form.window(), &client);
        bool placed = true;
        for (const ControlRow &row : kLayout) {
            const RECT want = tablePlace(row, dpi), got = placeOf(form.control(row.id));
            if (row.kind != Kind::Label && std::memcmp(&got, &want, sizeof got) != 0)
                placed = false;
        }
        for (const window::Control field : {window::Text5, window::Text6, window::Text7}) {
            const RECT tip = tipRect(form, field), want = tablePlace(kLayout[field], dpi);
            if (std::memcmp(&tip, &want, sizeof tip) != 0)
                placed = false;
        }
        check(int(form.dpi()) == dpi && client.right == window::pixels(window::kClientWidth, dpi)
                  && client.bottom == window::pixels(window::kClientHeight, dpi) && placed
                  && fontOf(form.control(window::Text1)).lfHeight == -std::lround(9.75 * dpi / 72.0),
              "laid out again at " + std::to_string(dpi) + " dpi: client " + rectText(client));
    }
}

// A run of the real logic: "Ping Start" pressed by Enter, the busy pointer
// while it works; then a second run closed in its first pause, which ends
// the run and the window.
void runAndClose(Win32Form &form, RecordedEvents &events, testsupport::ScriptedEcho &echo)
{
    HWND field = form.control(window::Text1);
    bool busyInProbe = false;
    echo.answers.assign(2, {0, 3}); // every probe answers in 3 ms
    echo.onProbe = [&](std::size_t) {
        ::SendMessageW(field, WM_SETCURSOR, reinterpret_cast<WPARAM>(field), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        busyInProbe = ::GetCursor() == ::LoadCursorW(nullptr, IDC_APPSTARTING);
    };
    const auto start = std::chrono::steady_clock::now();
    pressKey(form, VK_RETURN); // "Ping Start" has the focus
    const auto took = std::chrono::steady_clock::now() - start;
    check(echo.addresses == testsupport::Lines{"127.0.0.1"} && echo.payloads.front().size() == 32 && echo.starts == 1
              && echo.stops == 1,
          "Enter on the focused button runs one probe");
    check(busyInProbe, "the busy pointer while the probe works");
    check(took >= std::chrono::milliseconds(990), "the run pauses 990 ms after the probe");
    check(form.line(window::List1, 0) == u"Reply from 127.0.0.1 : Bytes = 32 Time = 3 ms  TTL = 128"
              && form.text(window::Text7) == u"3 ms" && ::IsWindowEnabled(form.control(window::Command2)),
          "the run lists its line, writes the average and enables SaveData");

    form.setText(window::Text3, u"3");
    echo.onProbe = [&](std::size_t) { ::PostMessageW(form.window(), WM_CLOSE, 0, 0); };
    events.heard.clear();
    form.setFocus(window::Command1);
    pressKey(form, VK_RETURN);
    check(echo.addresses.size() == 2 && events.heard == std::vector<std::string>{"Click Command1", "Unload"},
          "closing in the pause ends the run after its probe");
    check(form.window() == nullptr, "and the window is gone");
    MSG quit{};
    check(::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE), "and the program is told to end");
}

} // namespace

int main(int argc, char **argv)
{
    os::win32::initCommonControls(ICC_STANDARD_CLASSES);
    Win32Form form(::GetModuleHandleW(nullptr));

    if (argc == 2 && std::strcmp(argv[1], "--geometry") == 0) {
        for (const ControlRow &row : kLayout) {
            const RECT r = placeOf(form.control(row.id));
            std::printf("%s %ld %ld %ld %ld\n", row.name, r.left, r.top, r.right - r.left, r.bottom - r.top);
        }
        return 0;
    }

    testsupport::ScriptedEcho echo;
    window::Form1 handlers(form, echo);
    RecordedEvents events(handlers);
    form.setEvents(events);
    form.show(SW_SHOW);
    ::SetForegroundWindow(form.window());
    form.pause(std::chrono::milliseconds(0));

    windowAndControls(form);
    colours(form);
    focusAndKeys(form, events);
    const HWND focused = ::GetFocus();
    list(form);
    systemTexts(form);
    longPaste(form);
    timeTips(form);
    accessibility(form);
    inputMethod(form);
    failingDialog(form);
    appendFile();
    dpiChange(form);
    ::SetFocus(focused);
    runAndClose(form, events, echo);

    std::printf("tst_win32form: %s\n", failures == 0 ? "all checks passed" : "some checks FAILED");
    return failures == 0 ? 0 : 1;
}
