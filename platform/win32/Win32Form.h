// The forms runtime on Win32: the window built from the layout table with the
// system's own controls, and every runtime operation the window's logic asks
// for, through the W functions of user32, gdi32, comdlg32 and imm32.
#pragma once

#include "platform/FormsRuntime.h"
#include "platform/win32/GdiObject.h"
#include "window/Layout.h"

#include <windows.h>

#include <array>
#include <optional>
#include <vector>

namespace platform::win32 {

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

    // Shows the window with the first control of the focus order focused.
    void show(int showCommand);
    // Handles the window's messages until it is closed; the exit code.
    int run();

    HWND window() const { return window_; }
    HWND control(ControlIndex control) const;
    // The DPI the controls are laid out for.
    UINT dpi() const { return dpi_; }

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
    std::optional<ControlIndex> indexOf(HWND control) const;
    const window::ControlRow &row(ControlIndex control) const;
    void showPointerNow() const;

    HWND window_ = nullptr;
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
};

} // namespace platform::win32
