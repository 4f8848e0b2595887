// What the window's logic needs of the platform's forms runtime: one operation
// per service it relies on, with the result each must give. A layer (Qt on
// Linux, Win32 on Windows, an in-memory one in the tests) implements it; the
// logic is given one at construction and never reaches past it.
#pragma once

#include "runtime/Text.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace runtime {

// A control of the window: the index of its row in the window's layout table.
using ControlIndex = std::uint8_t;

inline const Text kApplicationTitle = u"Sondar";

// The window's mouse pointer: the platform's default shape, or the arrow with
// hourglass that says a run works.
enum class Pointer : std::uint8_t { Default, Busy };

enum class MessageIcon : std::uint8_t { None, Exclamation };

// A modal box with an OK button only.
struct Message {
    Text text;
    Text title = kApplicationTitle;
    MessageIcon icon = MessageIcon::None;
};

// The common dialog's flags that the save dialog is given.
inline constexpr std::uint32_t kOverwritePrompt = 0x2;
inline constexpr std::uint32_t kHideReadOnly = 0x4;
inline constexpr std::uint32_t kNoChangeDir = 0x8;
inline constexpr std::uint32_t kExplorer = 0x80000;
inline constexpr std::uint32_t kLongNames = 0x200000;

// The save dialog's settings, as the common dialog takes them.
struct SaveFileRequest {
    Text filter;          // description|pattern pairs: "テキスト (*.txt)|*.txt"
    int filterIndex = 1;  // counted from 1
    Text title;
    std::uint32_t flags = 0;
    Text fileName;        // the proposed name
};

// How long an append waits for another program's lock on the file before it
// gives up: one that holds its lock for good must not hang the window.
inline constexpr std::chrono::milliseconds kLockPatience{3000};
// The reason an append gives when the lock stayed another program's.
inline const Text kFileLocked = u"another program keeps the file locked";

// What a failed append left behind.
enum class Aftermath : std::uint8_t {
    NothingWritten, // refused or failed before anything was written: the file, if any, is untouched
    AsBefore,     // what was written was taken back: the file holds what it held before
    RemovedAgain, // the append created the file and removed it again
    MayHoldPart,  // the file could not be cut back: its end may hold part of the lines
    CreatedEmpty, // the append created the file and could not remove it again; none of the lines is in it
};

// Why an append failed, and what it left.
struct AppendFailure {
    Text reason;
    Aftermath aftermath = Aftermath::NothingWritten;
};

class FormsRuntime {
public:
    virtual ~FormsRuntime() = default;

    // A text box's exact current text; setting replaces the whole text with
    // the given text's first line, cut at the text boxes' limit.
    virtual Text text(ControlIndex control) const = 0;
    virtual void setText(ControlIndex control, const Text &text) = 0;
    // A disabled control takes no clicks, no focus and no typing; a focused
    // control, once disabled, hands the focus on to the next in the focus
    // order.
    virtual void setEnabled(ControlIndex control, bool enabled) = 0;
    virtual void setFocus(ControlIndex control) = 0;

    // A list's lines: added at the end, counted from 0; an index outside the
    // list reads as the empty text.
    virtual void clearList(ControlIndex list) = 0;
    virtual void addLine(ControlIndex list, const Text &line) = 0;
    virtual Text line(ControlIndex list, int index) const = 0;
    virtual int lineCount(ControlIndex list) const = 0;

    virtual void setPointer(Pointer pointer) = 0;
    // Modal until dismissed.
    virtual void messageBox(const Message &message) = 0;
    // Waits the given time, then handles the pending window events (their
    // handlers run to their end) before it returns.
    virtual void pause(std::chrono::milliseconds duration) = 0;
    // The chosen file, or nothing when the user cancelled.
    virtual std::optional<Text> saveFileName(const SaveFileRequest &request) = 0;

    // Now, in the system's general date format.
    virtual Text generalDateNow() const = 0;
    // The system's decimal mark, in reading and in writing numbers.
    virtual Text decimalMark() const = 0;
    // The text in the system's narrow code page.
    virtual std::string narrow(const Text &text) const = 0;
    // Appends the lines to the file, each in the narrow code page and ended by
    // CR LF, whole or not at all; a missing file is created. Nothing on success.
    [[nodiscard]] virtual std::optional<AppendFailure> appendLines(const Text &path, std::span<const Text> lines) = 0;
};

// What the window's user does, as the layer reports it to the logic.
class FormEvents {
public:
    virtual ~FormEvents() = default;
    virtual void Click(ControlIndex control) = 0;
    // A key typed into a text box, by its character code (13 for Enter).
    virtual void KeyPress(ControlIndex control, int keyAscii) = 0;
    // The window is closing.
    virtual void Unload() = 0;
};

} // namespace runtime
