#include "os/win32/AppendFile.h"

#include "os/win32/Handle.h"
#include "os/win32/SystemText.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace os::win32 {
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

// A file's identity: its volume and its number there.
struct FileId {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const FileId &) const = default;
};

std::optional<FileId> fileId(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information))
        return std::nullopt;
    return FileId{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

// A second handle on the file that `path` names, with `access`, where it
// still names the file of `file`; another file put in its place is not
// touched.
KernelHandle sameFile(const std::wstring &path, HANDLE file, DWORD access)
{
    KernelHandle other(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     0, nullptr));
    const std::optional<FileId> own = fileId(file);
    if (!other.isOpen() || !own || fileId(other.get()) != own)
        return KernelHandle();
    return other;
}

// Whether the file ends with exactly `tail`.
bool endsWith(HANDLE file, std::string_view tail)
{
    const std::optional<LONGLONG> size = fileSize(file);
    if (!size || *size < LONGLONG(tail.size()))
        return false;
    std::string read(tail.size(), '\0');
    std::size_t done = 0;
    while (done < read.size()) {
        OVERLAPPED at{};
        const LONGLONG from = *size - LONGLONG(tail.size()) + LONGLONG(done);
        at.Offset = DWORD(from);
        at.OffsetHigh = DWORD(from >> 32);
        DWORD count = 0;
        if (!::ReadFile(file, read.data() + done, DWORD(std::min<std::size_t>(read.size() - done, 1u << 20)), &count,
                        &at)
            || count == 0)
            return false;
        done += count;
    }
    return read == tail;
}

// Takes back what this call wrote, `ours`, only where the file still ends
// with exactly those bytes: an append of another program's after them, or
// between them, leaves the file as it is. The append handle may not shorten
// the file; a second one on the same file does.
bool removeOwnBytes(const std::wstring &path, HANDLE file, std::string_view ours)
{
    if (ours.empty())
        return true;
    if (!endsWith(file, ours))
        return false;
    const KernelHandle writer = sameFile(path, file, FILE_WRITE_DATA);
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = *fileSize(file) - LONGLONG(ours.size());
    return writer.isOpen()
        && ::SetFileInformationByHandle(writer.get(), FileEndOfFileInfo, &end, sizeof end);
}

// Removes a file this call created, where the name still names it and it is
// still empty: the file is as it was before, absent. The file goes once the
// last handle on it closes.
bool removeCreated(const std::wstring &path, HANDLE file)
{
    const KernelHandle remover = sameFile(path, file, DELETE);
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return remover.isOpen() && fileSize(file) == 0
        && ::SetFileInformationByHandle(remover.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

} // namespace

std::optional<AppendFailure> appendWhole(const Text &path, std::string_view bytes,
                                         std::chrono::milliseconds lockPatience)
{
    // A NUL inside the name would cut it short and name another file.
    if (path.empty() || path.find(u'\0') != Text::npos)
        return AppendFailure{systemErrorText(ERROR_INVALID_NAME)};
    const std::wstring name = wide(path);
    // The right to append without the right to write: every write goes to
    // the end of the file as Windows finds it at that moment, wherever
    // another program has moved it. (Wine finds the end and then writes
    // there, two steps, so a Linux program's append between them is written
    // over unless it takes a POSIX lock, which wine's lock below holds back.)
    // Reading: the lock, and the check of what a failed write left. Others
    // may remove or rename the file meanwhile, as they may any file.
    const KernelHandle file(::CreateFileW(name.c_str(),
                                          FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD opened = ::GetLastError();
    if (!file.isOpen())
        return AppendFailure{systemErrorText(opened)};
    const bool created = opened != ERROR_ALREADY_EXISTS;
    // What a failure leaves, `kept` of the file as it was: a file this call
    // created is removed again where it can be; one that could not be cut
    // back may hold part of the lines.
    const auto failed = [&](DWORD error, Aftermath kept) {
        Aftermath aftermath = kept;
        if (kept != Aftermath::MayHoldPart && created)
            aftermath = removeCreated(name, file.get()) ? Aftermath::RemovedAgain : Aftermath::CreatedEmpty;
        return AppendFailure{systemErrorText(error), aftermath};
    };
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        return AppendFailure{u"not a file on a disk"};
    const WholeFileLock lock(file.get(), lockPatience);
    if (!lock.mayWrite()) {
        AppendFailure failure = failed(ERROR_LOCK_VIOLATION, Aftermath::NothingWritten);
        failure.reason = runtime::kFileLocked;
        return failure;
    }

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
        return failed(error, removeOwnBytes(name, file.get(), bytes.substr(0, written)) ? Aftermath::AsBefore
                                                                                       : Aftermath::MayHoldPart);
    return std::nullopt;
}

} // namespace os::win32
