#include "platform/win32/AppendFile.h"

#include "platform/win32/Handle.h"
#include "platform/win32/SystemText.h"

#include <windows.h>

#include <algorithm>

namespace platform::win32 {
namespace {

// The whole file, and any length it may grow to, as one locked range.
constexpr DWORD kWholeRange = MAXDWORD;

// An exclusive lock on the whole file, taken with bounded patience: a program
// that holds its lock for good must not hang the window. Released before the
// handle closes.
class WholeFileLock {
public:
    WholeFileLock(HANDLE file, std::chrono::milliseconds patience) : file_(file)
    {
        const auto giveUp = std::chrono::steady_clock::now() + patience;
        for (;;) {
            OVERLAPPED from{};
            if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, kWholeRange, kWholeRange,
                             &from)) {
                held_ = true;
                return;
            }
            const DWORD error = ::GetLastError();
            if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
                // A file system without byte-range locks: go on without.
                unsupported_ = error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
                return;
            }
            if (std::chrono::steady_clock::now() >= giveUp)
                return;
            ::Sleep(20);
        }
    }
    WholeFileLock(const WholeFileLock &) = delete;
    WholeFileLock &operator=(const WholeFileLock &) = delete;
    ~WholeFileLock()
    {
        if (held_) {
            OVERLAPPED from{};
            ::UnlockFileEx(file_, 0, kWholeRange, kWholeRange, &from);
        }
    }
    bool mayWrite() const { return held_ || unsupported_; }

private:
    HANDLE file_;
    bool held_ = false;
    bool unsupported_ = false;
};

std::optional<LONGLONG> fileSize(HANDLE file)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size))
        return std::nullopt;
    return size.QuadPart;
}

// Takes back this call's bytes, which lie from `start` to the end of the file
// as long as nobody wrote after them.
bool removeOwnBytes(HANDLE file, LONGLONG start, std::size_t written)
{
    if (fileSize(file) != start + LONGLONG(written))
        return written == 0;
    LARGE_INTEGER at{};
    at.QuadPart = start;
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

} // namespace

std::optional<AppendFailure> appendWhole(const Text &path, std::string_view bytes,
                                         std::chrono::milliseconds lockPatience)
{
    // A NUL inside the name would cut it short and name another file.
    if (path.empty() || path.find(u'\0') != Text::npos)
        return AppendFailure{systemErrorText(ERROR_INVALID_NAME)};
    // FILE_WRITE_DATA beside FILE_APPEND_DATA: taking back a failed write
    // shortens the file, which appending rights alone do not allow.
    const KernelHandle file(::CreateFileW(wide(path).c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.isOpen())
        return AppendFailure{systemErrorText(::GetLastError())};
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        return AppendFailure{u"not a file on a disk"};
    const WholeFileLock lock(file.get(), lockPatience);
    if (!lock.mayWrite())
        return AppendFailure{u"another program keeps the file locked"};

    // Under the lock nobody else writes; this save's bytes start at the end.
    const std::optional<LONGLONG> start = fileSize(file.get());
    LARGE_INTEGER end{};
    if (!start || !::SetFilePointerEx(file.get(), end, nullptr, FILE_END))
        return AppendFailure{systemErrorText(::GetLastError())};

    std::size_t written = 0;
    DWORD error = 0;
    while (written < bytes.size()) {
        const DWORD chunk = DWORD(std::min<std::size_t>(bytes.size() - written, 1u << 20));
        DWORD count = 0;
        if (!::WriteFile(file.get(), bytes.data() + written, chunk, &count, nullptr)) {
            error = ::GetLastError();
            break;
        }
        if (count == 0) {
            error = ERROR_WRITE_FAULT;
            break;
        }
        written += count;
    }
    // Written is not yet stored: a late failure (a full disk behind a cache, a
    // network share) shows here, while the bytes can still be taken back.
    if (error == 0 && !::FlushFileBuffers(file.get()))
        error = ::GetLastError();
    if (error != 0)
        return AppendFailure{systemErrorText(error), removeOwnBytes(file.get(), *start, written)
                                                         ? Aftermath::AsBefore
                                                         : Aftermath::MayHoldPart};
    return std::nullopt;
}

} // namespace platform::win32
