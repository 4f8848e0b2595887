// The Win32 layer held to the forms-runtime contract, on the system's own
// controls, message boxes and common save dialog, on a desktop of its own
// (under wine in CI). The user's clicks are the system's mouse input, which
// the system itself routes past a disabled control; keys and pastes go to
// the control the user gives the focus; each modal box and dialog is read
// and answered once it shows.
#include "FormsRuntimeContract.h"
#include "WindowUser.h"
#include "os/win32/SystemLibrary.h"
#include "os/win32/SystemText.h"
#include "platform/win32/Win32Form.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <map>

using namespace testsupport;
using os::win32::wide;
using platform::win32::Win32Form;

namespace {

Text ownText(const std::wstring &text)
{
    return os::win32::ownText(text.c_str(), text.size());
}

// A text beyond ASCII shows each character as its glyph, not as the empty box
// that a face without it draws alike for every one it lacks (as wine's
// dialog face does for Japanese where no face is linked to it): no cell of
// its pixels recurs more often than its commonest character, and there is
// ink for at least half its characters.
void expectGlyphs(const std::wstring &text, const win32test::GlyphCells &shown)
{
    if (std::ranges::all_of(text, [](wchar_t c) { return c < 0x80; }))
        return;
    std::map<wchar_t, int> uses;
    int characters = 0, commonest = 0;
    for (const wchar_t c : text) {
        if (c != L' ' && c != L'\u3000') {
            ++characters;
            commonest = std::max(commonest, ++uses[c]);
        }
    }
    EXPECT_GE(2 * shown.cells, characters) << runtime::toUtf8(ownText(text)) << ": hardly any ink";
    EXPECT_LE(shown.mostAlike, commonest) << runtime::toUtf8(ownText(text)) << ": " << shown.mostAlike << " of its "
                                          << shown.cells << " glyph cells look alike";
}

class Win32Driver final : public RuntimeDriver {
public:
    Win32Driver()
    {
        // The real dialog, watched for the flag it is given: whether it asks
        // before it overwrites shows to the user only when the chosen file
        // exists already.
        form_.setSaveDialog({.show = [this](OPENFILENAMEW *dialog) {
            asksBeforeOverwrite_ = (dialog->Flags & OFN_OVERWRITEPROMPT) != 0;
            return ::GetSaveFileNameW(dialog);
        }});
        form_.show(SW_SHOW);
        ::SetForegroundWindow(form_.window());
        handleEvents();
    }
    ~Win32Driver() override
    {
        // A closed window leaves the program's quit message, which must not
        // end the next window's handling of its events.
        MSG quit{};
        while (::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    runtime::FormsRuntime &runtime() override { return form_; }
    void setEvents(runtime::FormEvents &events) override { form_.setEvents(events); }

    bool enabled(ControlIndex control) override { return ::IsWindowEnabled(form_.control(control)); }
    std::optional<ControlIndex> focus() override
    {
        for (const window::ControlRow &row : window::kLayout) {
            if (form_.control(row.id) == ::GetFocus())
                return row.id;
        }
        return std::nullopt;
    }
    // The pointer the system shows over a text box, which has a pointer of
    // its own: the busy one over the whole window, or the box's own again.
    runtime::Pointer pointer() override
    {
        HWND field = form_.control(window::Text1);
        ::SendMessageW(field, WM_SETCURSOR, reinterpret_cast<WPARAM>(field), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        if (::GetCursor() == ::LoadCursorW(nullptr, IDC_APPSTARTING))
            return runtime::Pointer::Busy;
        EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_IBEAM)) << "neither the busy pointer nor the box's own";
        return runtime::Pointer::Default;
    }
    std::vector<runtime::Message> boxes() override { return boxes_; }
    std::vector<DialogSeen> dialogs() override { return dialogs_; }

    void click(ControlIndex button) override
    {
        clickLater(button);
        handleEvents();
    }
    // The mouse pressed and released over the button's middle, queued as the
    // system's input for the window's next handling of its events.
    void clickLater(ControlIndex button) override
    {
        RECT place{};
        ::GetWindowRect(form_.control(button), &place);
        ASSERT_TRUE(::SetCursorPos((place.left + place.right) / 2, (place.top + place.bottom) / 2));
        INPUT press[2]{};
        press[0].type = press[1].type = INPUT_MOUSE;
        press[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        press[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        ASSERT_EQ(::SendInput(2, press, sizeof(INPUT)), 2u);
    }
    void pressEnter(ControlIndex control) override
    {
        if (!reach(control))
            return;
        win32test::postKey(VK_RETURN);
        handleEvents();
    }
    // Ctrl+V, as the box gets it, with the cursor put at `position`.
    void paste(ControlIndex field, std::size_t position, const Text &text) override
    {
        win32test::setClipboard(wide(text));
        if (!reach(field))
            return;
        ::SendMessageW(::GetFocus(), EM_SETSEL, position, LPARAM(position));
        ::PostMessageW(::GetFocus(), WM_CHAR, 0x16, 1);
        handleEvents();
    }
    // The title bar's close button.
    void close() override
    {
        ::PostMessageW(form_.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
        handleEvents();
    }
    void answerDialogWith(std::optional<Text> file) override { answer_ = std::move(file); }

    std::chrono::milliseconds now() override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    }

private:
    // The layer handles the window's messages in its loop and in its pause:
    // here in a pause of no time.
    void handleEvents() { form_.pause(std::chrono::milliseconds(0)); }

    // The focus on the control, as the user gives it by Tab or a click; false
    // where it does not go there.
    bool reach(ControlIndex control)
    {
        ::SetFocus(form_.control(control));
        return ::GetFocus() == form_.control(control);
    }

    void meet(HWND dialog)
    {
        if (win32test::isMessageBox(dialog)) {
            const win32test::BoxShown box = win32test::boxShown(dialog);
            expectGlyphs(box.text, box.textCells);
            EXPECT_TRUE(box.okOnly) << "OK only";
            EXPECT_TRUE(!box.icon || box.icon == ::LoadIconW(nullptr, IDI_EXCLAMATION)) << "no icon but the exclamation";
            boxes_.push_back({ownText(box.text), ownText(box.title),
                              box.icon ? runtime::MessageIcon::Exclamation : runtime::MessageIcon::None});
            win32test::pressOk(dialog);
            return;
        }
        const win32test::FileDialogShown shown = win32test::fileDialogShown(dialog);
        expectGlyphs(shown.filter, shown.filterCells);
        dialogs_.push_back({ownText(shown.title), ownText(shown.filter), ownText(shown.name), asksBeforeOverwrite_});
        win32test::answerFileDialog(dialog, answer_ ? std::optional(wide(*answer_)) : std::nullopt);
    }

    Win32Form form_{::GetModuleHandleW(nullptr)};
    win32test::ModalWatch watch_{form_.window(), [this](HWND dialog) { meet(dialog); }};
    std::vector<runtime::Message> boxes_;
    std::vector<DialogSeen> dialogs_;
    std::optional<Text> answer_;
    bool asksBeforeOverwrite_ = false;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Win32, FormsRuntimeContract,
                         testing::Values(Layer{"Win32", [] { return std::unique_ptr<RuntimeDriver>(new Win32Driver); }}),
                         layerName);

int main(int argc, char *argv[])
{
    // The common controls of the manifest's version 6, as the program has them.
    os::win32::initCommonControls(ICC_STANDARD_CLASSES);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
