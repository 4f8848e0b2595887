// A forms runtime held in memory, for the window's logic under test: no
// toolkit, no event loop, nothing that waits. It records what the logic asks
// of it (boxes, save dialogs, pauses) and answers from fields a test sets.
#pragma once

#include "platform/FormsRuntime.h"
#include "window/Layout.h"

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using platform::Text;

class MemoryRuntime final : public platform::FormsRuntime {
public:
    // The controls as the layout table starts them.
    MemoryRuntime();

    std::array<Text, window::kLayout.size()> texts;
    std::array<bool, window::kLayout.size()> enabled{};
    std::optional<platform::ControlIndex> focus;
    std::vector<Text> list; // List1, the only list
    platform::Pointer pointer = platform::Pointer::Default;

    std::vector<platform::Message> messages;
    std::vector<platform::SaveFileRequest> saveRequests;
    std::optional<Text> chosenFile;      // the dialog's answer; nothing: cancelled
    std::function<void()> whileDialogOpen; // runs before the dialog answers
    std::vector<std::chrono::milliseconds> pauses;
    // Runs inside the n-th pause (counted from 1), where the window takes
    // input: a test clicks, edits fields or closes the window here.
    std::function<void(int n)> duringPause;

    Text dateText = u"12/7/2026 9:05:03 AM";
    Text mark = u".";
    // Where the report's bytes go: by default appended to the file through the
    // standard library; a test puts a platform's own writer or a fault here.
    std::function<std::optional<platform::AppendFailure>(const Text &path, const std::string &bytes)> append;

    Text text(platform::ControlIndex control) const override { return texts.at(control); }
    void setText(platform::ControlIndex control, const Text &text) override { texts.at(control) = text; }
    void setEnabled(platform::ControlIndex control, bool on) override { enabled.at(control) = on; }
    void setFocus(platform::ControlIndex control) override { focus = control; }
    void clearList(platform::ControlIndex id) override;
    void addLine(platform::ControlIndex id, const Text &line) override;
    Text line(platform::ControlIndex id, int index) const override;
    int lineCount(platform::ControlIndex id) const override;
    void setPointer(platform::Pointer shape) override { pointer = shape; }
    void messageBox(const platform::Message &message) override { messages.push_back(message); }
    void pause(std::chrono::milliseconds duration) override;
    std::optional<Text> saveFileName(const platform::SaveFileRequest &request) override;
    Text generalDateNow() const override { return dateText; }
    Text decimalMark() const override { return mark; }
    // The narrow code page here is UTF-8.
    std::string narrow(const Text &text) const override { return platform::toUtf8(text); }
    [[nodiscard]] std::optional<platform::AppendFailure> appendLines(const Text &path,
                                                                     std::span<const Text> lines) override;
};

// Appends the bytes to the file through std::ofstream: enough for tests of
// what the logic writes, on every platform; not safe beside other writers.
std::optional<platform::AppendFailure> appendPortably(const Text &path, const std::string &bytes);

} // namespace testsupport
