// What a test does in the user's place before a Win32 window: keys for the
// focused control, text on the clipboard, and the modal boxes and dialogs
// met once each shows, read and answered as the user reads and answers them.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace win32test {

// A key pressed and released, as the keyboard sends it to the focused
// control; the window's handling of its events then takes it.
void postKey(WORD key);

// Text on the clipboard, as a copy from another program leaves it.
void setClipboard(const std::wstring &text);

// The system tells a hook of the thread when it activates a window; the
// watch then posts itself a note, which the dialog's own modal loop hands
// back once it has handled what its start-up queued before: no polling, no
// fixed wait.
class ModalWatch {
public:
    // `meet` is handed each modal box or dialog that `owner` owns, once, when
    // it has shown; it must answer it, or the modal loop goes on.
    ModalWatch(HWND owner, std::function<void(HWND dialog)> meet);
    ~ModalWatch();
    ModalWatch(const ModalWatch &) = delete;
    ModalWatch &operator=(const ModalWatch &) = delete;

private:
    static LRESULT CALLBACK activated(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK noteProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND owner_;
    std::function<void(HWND)> meet_;
    std::vector<HWND> met_; // the dialogs met that are still there
    HWND notes_; // a message-only window of the watch's own, for its notes
    HHOOK hook_; // the thread's activations and destructions of windows
};

std::wstring windowText(HWND window);

// The glyphs a line of text shows on the screen, read from its pixels: its
// ink cut into cells at the blank columns between its characters (a glyph
// with a gap of its own gives more than one). A font that lacks a character
// draws the same empty box for each it lacks, so a text of such boxes has
// one cell repeated over and over.
struct GlyphCells {
    int cells = 0;
    int mostAlike = 0; // how many cells of one set of pixels there are at most
};
GlyphCells glyphCells(HWND control, const RECT &area);

// What a message box shows, and its buttons.
struct BoxShown {
    std::wstring title, text;
    HICON icon = nullptr; // nullptr: none
    bool okOnly = false;  // an OK button and no other
    GlyphCells textCells;
};
bool isMessageBox(HWND dialog);
BoxShown boxShown(HWND box);
// Dismisses the box with its OK button.
void pressOk(HWND box);

// What the save dialog shows: its title, the file type it lists as chosen
// and the name in its file name box.
struct FileDialogShown {
    std::wstring title, filter, name;
    GlyphCells filterCells;
};
FileDialogShown fileDialogShown(HWND dialog);
// Types `file` into the name box and presses Save; or presses Cancel.
void answerFileDialog(HWND dialog, const std::optional<std::wstring> &file);

} // namespace win32test
