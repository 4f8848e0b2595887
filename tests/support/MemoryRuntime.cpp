#include "MemoryRuntime.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {
namespace {

// The logic has one list; anything else is a fault of the logic under test.
void checkList(platform::ControlIndex list)
{
    if (list != window::List1)
        throw std::logic_error("a list operation on a control that is no list");
}

} // namespace

MemoryRuntime::MemoryRuntime() : append(appendPortably)
{
    for (const window::ControlRow &row : window::kLayout) {
        texts.at(row.id) = row.kind == window::Kind::TextBox ? row.caption : Text();
        enabled.at(row.id) = row.enabledAtStart;
    }
}

void MemoryRuntime::clearList(platform::ControlIndex id)
{
    checkList(id);
    list.clear();
}

void MemoryRuntime::addLine(platform::ControlIndex id, const Text &line)
{
    checkList(id);
    list.push_back(line);
}

Text MemoryRuntime::line(platform::ControlIndex id, int index) const
{
    checkList(id);
    return index >= 0 && std::size_t(index) < list.size() ? list[std::size_t(index)] : Text();
}

int MemoryRuntime::lineCount(platform::ControlIndex id) const
{
    checkList(id);
    return int(list.size());
}

void MemoryRuntime::pause(std::chrono::milliseconds duration)
{
    pauses.push_back(duration);
    if (duringPause)
        duringPause(int(pauses.size()));
}

std::optional<Text> MemoryRuntime::saveFileName(const platform::SaveFileRequest &request)
{
    saveRequests.push_back(request);
    if (whileDialogOpen)
        whileDialogOpen();
    return chosenFile;
}

std::optional<platform::AppendFailure> MemoryRuntime::appendLines(const Text &path, std::span<const Text> lines)
{
    std::string bytes;
    for (const Text &line : lines)
        bytes += narrow(line) + "\r\n";
    return append(path, bytes);
}

std::optional<platform::AppendFailure> appendPortably(const Text &path, const std::string &bytes)
{
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::app);
    if (file.write(bytes.data(), std::streamsize(bytes.size())) && file.flush())
        return std::nullopt;
    return platform::AppendFailure{u"cannot write"};
}

} // namespace testsupport
