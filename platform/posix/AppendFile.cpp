#include "platform/posix/AppendFile.h"

#include "platform/posix/AppendTarget.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

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
    if (written == 0)
        return true;
    struct stat now {};
    return ::fstat(fd, &now) == 0 && now.st_size == start + off_t(written) && ::ftruncate(fd, start) == 0;
}

// Writes all of `bytes`; the error that stopped it, or 0.
int writeAll(int fd, std::string_view bytes, std::size_t &written)
{
    const FileSizeSignalIgnored noSignal;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return count < 0 ? errno : EIO;
        written += std::size_t(count);
    }
    // Written is not yet stored: a late failure (a full disk behind a cache,
    // a network file system) shows here, while the bytes can still be taken back.
    if (::fdatasync(fd) != 0 && errno != EINVAL)
        return errno;
    return 0;
}

} // namespace

void LockWait::sleepFor(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

std::optional<AppendFailure> appendWhole(const std::string &path, std::string_view bytes, const LockWait &wait)
{
    auto opened = openForAppend(path);
    if (auto *refused = std::get_if<AppendFailure>(&opened))
        return std::move(*refused);
    const AppendTarget &target = std::get<AppendTarget>(opened);
    const int fd = target.file.get();

    // What a failure leaves: what we wrote is taken back where we can, and a
    // file this save created goes again, but only under our lock: whoever
    // else holds it may be writing to it.
    bool locked = false;
    std::size_t written = 0;
    off_t start = 0;
    const auto failed = [&](Text reason) {
        Aftermath aftermath = Aftermath::MayHoldPart;
        if (removeOwnBytes(fd, start, written))
            aftermath = !target.created || (locked && removeCreated(target)) ? Aftermath::AsBefore
                                                                             : Aftermath::CreatedEmpty;
        return AppendFailure{std::move(reason), aftermath};
    };

    locked = lockExclusively(fd, wait);
    if (!locked)
        return failed(u"another program keeps the file locked");
    // Under the lock the end of the file stays where it is for every
    // instance that locks too; this save's bytes start there.
    struct stat end {};
    if (::fstat(fd, &end) != 0)
        return failed(errorText(errno));
    start = end.st_size;

    if (const int error = writeAll(fd, bytes, written))
        return failed(errorText(error));
    return std::nullopt;
}

} // namespace platform::posix
