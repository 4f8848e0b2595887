// The forms runtime on Win32: the window built from the layout table with the
// system's own controls, and every runtime operation the window's logic asks
// for, through the W functions of user32, gdi32, comctl32, comdlg32 and
// imm32, and the names assistive technology reads through oleacc's services.
#pragma once

#include "runtime/FormsRuntime.h"
#include "os/win32/Handle.h"
#include "layout/Layout.h"

#include <windows.h>
#include <commdlg.h>
#include <oleacc.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::win32 {

// The layer supplies the contract with the system's services, and names both as its own.
using namespace os::win32;
using namespace runtime;

class Win32Form final : public FormsRuntime {
public:
    // Creates the window and its controls, not yet shown, at the DPI of the
    // monitor it opens on.
    explicit Win32Form(HINSTANCE instance);
    ~Win32Form() override;
    Win32Form(const Win32Form &) = delete;
    Win32Form &operator=(const Win32Form &) = delete;

    // Where the window reports clicks, keys and its closing; set once, before
    // the window is shown.
    void setEvents(FormEvents &events) { events_ = &events; }

    // The save dialog: the common dialog's own, unless a test gives another
    // that fills the structure as GetSaveFileNameW does and tells a failure
    // as CommDlgExtendedError does (0 after a cancel).
    struct SaveDialog {
        std::function<BOOL(OPENFILENAMEW *)> show = ::GetSaveFileNameW;
        std::function<DWORD()> error = ::CommDlgExtendedError;
    };
    void setSaveDialog(SaveDialog dialog) { saveDialog_ = std::move(dialog); }

    // Shows the window with the first control of the focus order focused.
    void show(int showCommand);
    // Handles the window's messages until it is closed; the exit code.
    int run();

    HWND window() const { return window_; }
    HWND control(ControlIndex control) const;
    // The DPI the controls are laid out for.
    UINT dpi() const { return dpi_; }
    // The tool tips of the time fields: one tool per field, a rectangle on
    // the window with the field's control id.
    HWND toolTips() const { return toolTips_; }
    // The name assistive technology reads for a control, and whether the
    // system took the names the window gives its fields and list (an
    // oleacc without annotations keeps its own).
    Text accessibleName(ControlIndex control) const;
    bool accessibleNamesSet() const { return accessibleNamesSet_; }

    Text text(ControlIndex control) const override;
    void setText(ControlIndex control, const Text &text) override;
    void setEnabled(ControlIndex control, bool enabled) override;
    void setFocus(ControlIndex control) override;
    void clearList(ControlIndex list) override;
    void addLine(ControlIndex list, const Text &line) override;
    Text line(ControlIndex list, int index) const override;
    int lineCount(ControlIndex list) const override;
    void setPointer(Pointer pointer) override;
    void messageBox(const Message &message) override;
    void pause(std::chrono::milliseconds duration) override;
    // Nothing where the user cancelled, and where the dialog failed, which a
    // box says first.
    std::optional<Text> saveFileName(const SaveFileRequest &request) override;
    Text generalDateNow() const override;
    Text decimalMark() const override;
    std::string narrow(const Text &text) const override;
    std::optional<AppendFailure> appendLines(const Text &path, std::span<const Text> lines) override;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    // One message, with the dialog keys (Tab, Enter on a button); false for
    // the message that ends the program.
    bool deliver(MSG &message);
    void onCommand(ControlIndex control, WORD code);
    // Places every control, and sizes the window, for `dpi`.
    void layOut(UINT dpi);
    void addTimeTips(HINSTANCE instance);
    // The time fields' tips: over the fields at `dpi`, and showing a time
    // field's new text (any other control's is no tip).
    void placeTimeTips(UINT dpi);
    void updateTimeTip(ControlIndex control, const std::wstring &text);
    void nameControls();
    void clearNames();
    std::optional<ControlIndex> indexOf(HWND control) const;
    const window::ControlRow &row(ControlIndex control) const;
    // The control's window, which must be of the given kind: anything else is
    // a programming error and stops the program in every build.
    HWND control(ControlIndex control, window::Kind kind) const;
    void showPointerNow() const;

    // COM, for the accessibility annotations, on the window's thread from
    // before the window until after it.
    struct ComApartment {
        ComApartment();
        ~ComApartment();
        ComApartment(const ComApartment &) = delete;
        ComApartment &operator=(const ComApartment &) = delete;
        bool entered = false;
    };
    struct ComRelease {
        void operator()(IUnknown *object) const { object->Release(); }
    };

    ComApartment apartment_;
    std::unique_ptr<IAccPropServices, ComRelease> annotations_;
    bool accessibleNamesSet_ = false;
    HWND window_ = nullptr;
    HWND toolTips_ = nullptr;
    std::array<HWND, window::kLayout.size()> controls_{};
    GdiObject<HBRUSH> lightBlue_;
    // The Japanese face at each size of the table (points), and the
    // interface font (0 points), at dpi_.
    struct SizedFont {
        double points;
        GdiObject<HFONT> font;
    };
    std::vector<SizedFont> fonts_;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    HWND lastFocus_ = nullptr;
    bool busy_ = false;
    FormEvents *events_ = nullptr;
    SaveDialog saveDialog_;
};

} // namespace platform::win32
