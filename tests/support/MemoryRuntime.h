// A forms runtime held in memory, for the window's logic under test: no
// toolkit, no event loop, nothing that waits. It records what the logic asks
// of it (boxes, save dialogs, pauses) and answers from fields a test sets.
#pragma once

#include "runtime/FormsRuntime.h"
#include "layout/Layout.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace testsupport {

using runtime::AppendFailure;
using runtime::ControlIndex;
using runtime::Text;

// Appends through the standard library: enough for tests of what the logic
// writes, on every platform, though not safe beside other writers.
inline std::optional<AppendFailure> appendPortably(const Text &path, const std::string &bytes)
{
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::app);
    if (file.write(bytes.data(), std::streamsize(bytes.size())) && file.flush())
        return std::nullopt;
    return AppendFailure{u"cannot write"};
}

inline Text firstLine(const Text &text)
{
    return text.substr(0, text.find_first_of(u"\r\n"));
}

class MemoryRuntime final : public runtime::FormsRuntime {
public:
    // The controls as the layout table starts them.
    MemoryRuntime()
    {
        for (const window::ControlRow &row : window::kLayout) {
            texts[row.id] = row.kind == window::Kind::TextBox ? row.caption : u"";
            enabled[row.id] = row.enabledAtStart;
        }
    }

    std::array<Text, window::kLayout.size()> texts;
    std::array<bool, window::kLayout.size()> enabled{};
    std::optional<ControlIndex> focus;
    std::vector<Text> list; // List1, the only list
    runtime::Pointer pointer = runtime::Pointer::Default;
    std::vector<runtime::Message> messages;
    std::vector<runtime::SaveFileRequest> saveRequests;
    std::optional<Text> chosenFile;        // the dialog's answer; nothing: cancelled
    std::function<void()> whileDialogOpen; // runs before the dialog answers
    std::vector<std::chrono::milliseconds> pauses;
    // Runs inside the n-th pause (counted from 1), where the window takes
    // input: a test clicks, edits fields or closes the window here.
    std::function<void(int n)> duringPause;
    Text dateText = u"12/7/2026 9:05:03 AM";
    Text mark = u".";
    // Where the report's bytes go; a test puts a fault here.
    std::function<std::optional<AppendFailure>(const Text &path, const std::string &bytes)> append = appendPortably;

    Text text(ControlIndex control) const override { return texts.at(control); }
    // As a single-line box with a limit holds it: the first line, cut at the limit.
    void setText(ControlIndex control, const Text &text) override
    {
        texts.at(control) = firstLine(text).substr(0, window::kTextBoxMaxLength);
    }
    // What the user pastes at `position`: its first line, as much as the limit leaves room for.
    void paste(ControlIndex control, std::size_t position, const Text &text)
    {
        Text &field = texts.at(control);
        const std::size_t room = window::kTextBoxMaxLength - std::min(field.size(), std::size_t(window::kTextBoxMaxLength));
        field.insert(std::min(position, field.size()), firstLine(text).substr(0, room));
    }
    // A disabled control takes no focus; one that has it gives it to the next
    // that takes it, in the focus order and round its end.
    void setEnabled(ControlIndex control, bool on) override
    {
        enabled.at(control) = on;
        if (!on && focus == control)
            focus = nextFocus(control);
    }
    void setFocus(ControlIndex control) override
    {
        if (enabled.at(control))
            focus = control;
    }
    void clearList(ControlIndex) override { list.clear(); }
    void addLine(ControlIndex, const Text &line) override { list.push_back(line); }
    Text line(ControlIndex, int index) const override
    {
        return index >= 0 && std::size_t(index) < list.size() ? list[std::size_t(index)] : Text();
    }
    int lineCount(ControlIndex) const override { return int(list.size()); }
    void setPointer(runtime::Pointer shape) override { pointer = shape; }
    void messageBox(const runtime::Message &message) override { messages.push_back(message); }
    void pause(std::chrono::milliseconds duration) override
    {
        pauses.push_back(duration);
        if (duringPause)
            duringPause(int(pauses.size()));
    }
    std::optional<Text> saveFileName(const runtime::SaveFileRequest &request) override
    {
        saveRequests.push_back(request);
        if (whileDialogOpen)
            whileDialogOpen();
        return chosenFile;
    }
    Text generalDateNow() const override { return dateText; }
    Text decimalMark() const override { return mark; }
    // The narrow code page here is UTF-8.
    std::string narrow(const Text &text) const override { return runtime::toUtf8(text); }
    std::optional<AppendFailure> appendLines(const Text &path, std::span<const Text> lines) override
    {
        return append(path, runtime::crlfLines(lines, [this](const Text &line) { return narrow(line); }));
    }

private:
    std::optional<ControlIndex> nextFocus(ControlIndex from) const
    {
        const auto &order = window::kFocusOrder;
        const auto at = std::ranges::find(order, from);
        for (std::size_t step = 1; at != order.end() && step < order.size(); ++step) {
            const window::Control next = order[(std::size_t(at - order.begin()) + step) % order.size()];
            if (enabled.at(next))
                return next;
        }
        return std::nullopt;
    }
};

} // namespace testsupport
