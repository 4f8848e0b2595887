#include "os/posix/AppendFile.h"

#include "os/posix/AppendTarget.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os::posix {
namespace {

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

enum class LockTry { Taken, Busy, Unsupported, Failed };

// The whole file as one flock, which other instances of this program take.
LockTry tryFileLock(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return LockTry::Taken;
    if (errno == EWOULDBLOCK || errno == EINTR)
        return LockTry::Busy;
    return errno == ENOLCK || errno == EOPNOTSUPP ? LockTry::Unsupported : LockTry::Failed;
}

// The whole file as one record lock for writing, the open file's own and
// released with it. Programs that lock by records see it where a flock is
// invisible to them: wine among them, which locks a Windows program's file
// this way (the Windows build of this program, another program under wine).
LockTry tryRecordLock(int fd)
{
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0)
        return LockTry::Taken;
    if (errno == EAGAIN || errno == EACCES || errno == EINTR)
        return LockTry::Busy;
    return errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP ? LockTry::Unsupported : LockTry::Failed;
}

// Both locks, taken with bounded patience: a program that holds its lock for
// good must not hang the window. A file system without one kind of lock is
// written without it. Both go when the file is closed.
bool lockExclusively(int fd, const LockWait &wait)
{
    std::chrono::milliseconds waited{0};
    for (const auto tryLock : {tryFileLock, tryRecordLock}) {
        for (LockTry result = tryLock(fd); result != LockTry::Taken && result != LockTry::Unsupported;
             result = tryLock(fd)) {
            if (result == LockTry::Failed || waited >= wait.patience)
                return false;
            wait.pause(wait.step);
            waited += wait.step;
        }
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

    // A file this save created is removed again only under our lock: whoever
    // else holds it may be writing to it.
    if (!lockExclusively(fd, wait))
        return AppendFailure{runtime::kFileLocked, target.created ? Aftermath::CreatedEmpty : Aftermath::NothingWritten};

    // What a failure under the lock leaves: what we wrote is taken back where
    // we can, and a file this save created goes again.
    std::size_t written = 0;
    off_t start = 0;
    const auto failed = [&](Text reason) {
        Aftermath aftermath = Aftermath::MayHoldPart;
        if (removeOwnBytes(fd, start, written))
            aftermath = !target.created  ? Aftermath::AsBefore
                : removeCreated(target) ? Aftermath::RemovedAgain
                                        : Aftermath::CreatedEmpty;
        return AppendFailure{std::move(reason), aftermath};
    };
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

} // namespace os::posix
