#include "platform/posix/AppendFile.h"

#include "platform/posix/Descriptor.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::posix {
namespace {

Text errorText(int error)
{
    return fromUtf8(std::strerror(error));
}

// While it lives, a write beyond the process's file-size limit fails with
// EFBIG instead of raising SIGXFSZ, whose default ends the process with the
// report half written.
class FileSizeSignalIgnored {
public:
    FileSizeSignalIgnored()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGXFSZ, &ignore, &former_);
    }
    FileSizeSignalIgnored(const FileSizeSignalIgnored &) = delete;
    FileSizeSignalIgnored &operator=(const FileSizeSignalIgnored &) = delete;
    ~FileSizeSignalIgnored() { ::sigaction(SIGXFSZ, &former_, nullptr); }

private:
    struct sigaction former_ {};
};

// An exclusive flock, taken with bounded patience: a program that holds the
// lock for good must not hang the window. Released when closed.
bool lockExclusively(int fd, const LockWait &wait)
{
    std::chrono::milliseconds waited{0};
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno == ENOLCK || errno == EOPNOTSUPP; // no locks on this file system: go on without
        if (waited >= wait.patience)
            return false;
        wait.pause(wait.step);
        waited += wait.step;
    }
    return true;
}

// Takes back this call's bytes, which lie from `start` to the end of the file
// as long as nobody wrote after them.
bool removeOwnBytes(int fd, off_t start, std::size_t written)
{
    struct stat now {};
    if (::fstat(fd, &now) != 0 || now.st_size != start + off_t(written))
        return written == 0;
    return ::ftruncate(fd, start) == 0;
}

} // namespace

void LockWait::sleepFor(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

std::optional<AppendFailure> appendWhole(const std::string &path, std::string_view bytes, const LockWait &wait)
{
    if (path.find('\0') != std::string::npos)
        return AppendFailure{errorText(EINVAL)};
    // Anything but a regular file is refused before it is opened: opening a
    // device for writing can act on it (a tape rewinds, a watchdog arms).
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
        return AppendFailure{u"not a regular file"};
    // O_NONBLOCK: should a FIFO take the file's place after that look, it
    // fails at once (ENXIO) instead of blocking the window until someone
    // reads it.
    const Descriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
    if (!file.isOpen())
        return AppendFailure{errorText(errno)};
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return AppendFailure{errorText(errno)};
    if (!S_ISREG(info.st_mode))
        return AppendFailure{u"not a regular file"};
    if (!lockExclusively(file.get(), wait))
        return AppendFailure{u"another program keeps the file locked"};

    // Under the lock the end of the file stays where it is for every
    // instance that locks too; this save's bytes start there.
    struct stat locked {};
    if (::fstat(file.get(), &locked) != 0)
        return AppendFailure{errorText(errno)};
    const off_t start = locked.st_size;

    const FileSizeSignalIgnored noSignal;
    std::size_t written = 0;
    int error = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(file.get(), bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            error = count < 0 ? errno : EIO;
            break;
        }
        written += std::size_t(count);
    }
    // Written is not yet stored: a late failure (a full disk behind a cache,
    // a network file system) shows here, while the bytes can still be taken back.
    if (error == 0 && ::fdatasync(file.get()) != 0 && errno != EINVAL)
        error = errno;
    if (error != 0)
        return AppendFailure{errorText(error),
                             removeOwnBytes(file.get(), start, written) ? Aftermath::AsBefore : Aftermath::MayHoldPart};
    return std::nullopt;
}

} // namespace platform::posix
