// Appending a report on Linux: the bytes whole or not at all, on regular files
// only, never blocking on a pipe or a lock for good, and never leaving part
// of a report behind when the disk or a limit stops it.
#include "KernelSetting.h"
#include "TestFiles.h"
#include "os/posix/AppendFile.h"
#include "os/posix/AppendTarget.h"
#include "os/posix/Descriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <fstream>
#include <functional>
#include <utility>

using namespace testsupport;
using os::posix::appendWhole;
using os::posix::Descriptor;
using os::posix::openPipe;
using os::posix::Pipe;

namespace {

Descriptor openFile(const std::filesystem::path &path, int flags)
{
    return Descriptor(::open(path.c_str(), flags | O_CLOEXEC));
}

// While it lives, files this process writes may grow only to `bytes`.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &former_);
        rlimit limited = former_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &former_); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit former_{};
};

bool setInodeFlags(const std::filesystem::path &path, int flags)
{
    const Descriptor file = openFile(path, O_RDONLY);
    return file.isOpen() && ::ioctl(file.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// A failed append says why (`reason`, where given), comes back within the
// lock patience and leaves the file (or its absence) and the process's
// descriptors as they were, and says so.
void expectRefused(const std::string &path, const std::string &bytes, const std::string &reason = "")
{
    const std::string before = fileBytes(path);
    const int descriptors = openDescriptors();
    std::chrono::milliseconds waited{0};
    const os::posix::LockWait wait{.patience = std::chrono::milliseconds(100),
                                         .pause = [&](std::chrono::milliseconds step) { waited += step; }};
    const auto failure = appendWhole(path, bytes, wait);
    EXPECT_LE(waited, wait.patience);
    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->reason.empty());
    if (!reason.empty()) {
        EXPECT_EQ(runtime::toUtf8(failure->reason), reason);
    }
    using enum runtime::Aftermath;
    EXPECT_TRUE(failure->aftermath == NothingWritten || failure->aftermath == AsBefore
                || failure->aftermath == RemovedAgain);
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(openDescriptors(), descriptors);
}

} // namespace

TEST(AppendWhole, AppendsTheBytes)
{
    const TempDir dir;
    for (const auto &[name, before, bytes] :
         {std::tuple{"creates a missing file", "<missing>", " \r\nPinging\r\n"}, {"keeps what was there", "old\r\n", "new\r\n"},
          {"after a last line without an end", "no end", "x\r\n"}, {"empty lines", "", "\r\n\r\n"},
          {"UTF-8 as it is", "", "試験場所　一\r\n"}}) {
        SCOPED_TRACE(name);
        const auto path = dir.file(name);
        ASSERT_TRUE(std::string(before) == "<missing>" || writeFile(path, before));
        EXPECT_EQ(appendWhole(path, bytes), std::nullopt);
        EXPECT_EQ(fileBytes(path), (std::string(before) == "<missing>" ? "" : before) + std::string(bytes));
    }
}

// Past the file-size limit the write fails instead of ending the process, and
// the bytes written up to the limit are taken back; a file the save created
// goes again. What is no regular file of a real file system is refused, and
// is never opened for writing on the way.
TEST(AppendWhole, RefusesWhatItCannotWrite)
{
    const TempDir dir;
    const std::filesystem::path file = dir.file("report.txt");
    ASSERT_TRUE(writeFile(file, "earlier\r\n"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink("/proc/self/comm", dir.file("to-comm"));
    std::filesystem::create_symlink("/sys/kernel/uevent_seqnum", dir.file("to-sysfs"));
    Descriptor otherWriter;
    rlimit former{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &former), 0);
    const auto limitFileSize = [&](rlim_t bytes) {
        rlimit limited = former;
        limited.rlim_cur = bytes;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    };
    const std::function<void()> none = [] {};
    const std::string notRegular = runtime::toUtf8(os::posix::kNotARegularFile);
    for (const auto &[name, path, reason, arrange, undo] :
         {std::tuple{"missing folder", dir.file("gone/report.txt").string(), std::string(), none, none},
          {"a folder", dir.path().string(), notRegular, none, none},
          {"a folder's name with a slash", dir.path().string() + "/", notRegular, none, none},
          {"a character device", "/dev/full", notRegular, none, none},
          {"NUL in the name", file.string() + std::string(1, '\0') + "x", "", none, none},
          {"a pipe without a reader", dir.file("fifo").string(), notRegular, none, none},
          {"a process's name in procfs", "/proc/self/comm", notRegular, none, none},
          {"a link to it", dir.file("to-comm").string(), notRegular, none, none},
          {"a new name in procfs", "/proc/self/report.txt", notRegular, none, none},
          {"a sysfs attribute", "/sys/kernel/uevent_seqnum", notRegular, none, none},
          {"a link to a sysfs attribute", dir.file("to-sysfs").string(), notRegular, none, none},
          {"locked by another writer", file.string(), "",
           [&] { ASSERT_EQ(::flock((otherWriter = openFile(file, O_RDONLY)).get(), LOCK_EX), 0); },
           [&] { otherWriter.reset(); }},
          // As wine locks a Windows program's file; the lock is an open
          // file's own, which reading the file here does not release.
          {"locked by records", file.string(), "",
           [&] {
               struct flock whole {};
               whole.l_type = F_WRLCK;
               ASSERT_EQ(::fcntl((otherWriter = openFile(file, O_RDWR)).get(), F_OFD_SETLK, &whole), 0);
           },
           [&] { otherWriter.reset(); }},
          {"file-size limit", file.string(), "", [&] { limitFileSize(1000); }, [&] { limitFileSize(former.rlim_cur); }},
          {"file-size limit, a new file", dir.file("new.txt").string(), "", [&] { limitFileSize(1000); },
           [&] { limitFileSize(former.rlim_cur); }}}) {
        SCOPED_TRACE(name);
        arrange();
        // inotify tells of the close of an open for writing, never of an
        // O_PATH descriptor's. The one held here keeps a procfs file the one
        // its name is looked up as.
        const Descriptor watched = openFile(path, O_PATH), events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        const std::string watchedPath = "/proc/self/fd/" + std::to_string(watched.get());
        EXPECT_TRUE(!watched.isOpen() || ::inotify_add_watch(events.get(), watchedPath.c_str(), IN_CLOSE_WRITE) >= 0);
        expectRefused(path, std::string(4096, 'r'), reason);
        char event[sizeof(inotify_event) + NAME_MAX + 1];
        EXPECT_TRUE(reason != notRegular || ::read(events.get(), event, sizeof event) < 0)
                << "opened for writing before it was refused";
        undo();
    }
    EXPECT_EQ(appendWhole(file, "x\r\n"), std::nullopt);
    EXPECT_EQ(fileBytes(file), "earlier\r\nx\r\n");
}

// The report file on a small tmpfs of the test's own changes between two
// saves. A fault fails the append and leaves the file as it was; once the
// fault is lifted the whole report goes in.
TEST(AppendWholeNeedsRoot, FaultsOfTheDisk)
{
    for (const std::string fault : {"append-only", "immutable", "device filled", "out of room part way", "read-only"}) {
        SCOPED_TRACE(fault);
        const ScratchTmpfs scratch("size=64k");
        if (!scratch.mounted())
            GTEST_SKIP() << "needs root to mount a small tmpfs";
        const auto path = scratch.file("report.txt");
        ASSERT_TRUE(writeFile(path, std::string(fault == "out of room part way" ? 40 * 1024 : 10, 'e')));
        const std::string before = fileBytes(path);
        std::string bytes(fault == "out of room part way" ? 60 * 1024 : 10 * 1024, 'r');
        std::function<void()> liftFault = [&] { bytes.resize(1024); };
        if (fault == "append-only" || fault == "immutable") {
            if (!setInodeFlags(path, fault == "immutable" ? FS_IMMUTABLE_FL : FS_APPEND_FL))
                GTEST_SKIP() << "this tmpfs keeps no inode flags";
            liftFault = [&] { setInodeFlags(path, 0); };
        } else if (fault == "device filled") {
            std::ofstream fill(scratch.file("filler"), std::ios::binary);
            for (const std::string block(4096, 'f'); fill.write(block.data(), 4096) && fill.flush();) {
            }
            liftFault = [&] { std::filesystem::remove(scratch.file("filler")); };
        } else if (fault == "read-only") {
            ASSERT_TRUE(scratch.remount(true));
            liftFault = [&] { ASSERT_TRUE(scratch.remount(false)); };
        }
        if (fault != "append-only") {
            expectRefused(path, bytes);
            liftFault();
        }
        EXPECT_EQ(appendWhole(path, bytes), std::nullopt);
        EXPECT_EQ(fileBytes(path), before + bytes);
        liftFault();
    }
}

// Another instance appends its report while this one waits for the lock, and
// this one's write then fails part way. Its rollback removes its own bytes
// only: the other report, whose user was told it is saved, stays whole.
TEST(AppendWhole, FailedSaveKeepsAnotherInstancesReport)
{
    const TempDir dir;
    const auto path = dir.file("report.txt");
    ASSERT_TRUE(writeFile(path, "first\r\n"));
    Pipe locked = openPipe(), go = openPipe();
    ASSERT_TRUE(locked.read.isOpen() && go.read.isOpen());
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        go.write.reset(); // should the test end early, the read below ends too
        const Descriptor file = openFile(path, O_WRONLY | O_APPEND);
        ::flock(file.get(), LOCK_EX);
        char byte = 'x';
        (void)!::write(locked.write.get(), &byte, 1);
        (void)!::read(go.read.get(), &byte, 1); // the first instance waits for the lock meanwhile
        (void)!::write(file.get(), "other\r\n", 7);
        ::_exit(0); // the lock goes with the process
    }
    locked.write.reset(); // a child that ends before it has the lock ends the read below
    char byte = 0;
    ASSERT_EQ(::read(locked.read.get(), &byte, 1), 1);
    // The first time this instance finds the file locked, the other writes
    // its report and ends.
    bool released = false;
    const os::posix::LockWait wait{.pause = [&](std::chrono::milliseconds) {
        if (!std::exchange(released, true)) {
            (void)!::write(go.write.get(), &byte, 1);
            ::waitpid(other, nullptr, 0);
        }
    }};
    std::optional<runtime::AppendFailure> failure;
    {
        const FileSizeLimit limit(7 + 7 + 10); // the other report and 10 bytes of this one
        failure = appendWhole(path.string(), std::string(100, 'r'), wait);
    }
    if (!released) {
        ::kill(other, SIGKILL);
        ::waitpid(other, nullptr, 0);
    }
    EXPECT_TRUE(released) << "the save never waited for the other's lock";
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->aftermath, runtime::Aftermath::AsBefore);
    EXPECT_EQ(fileBytes(path), "first\r\nother\r\n");
}

// Where the bytes written cannot be taken back, the failure says so instead of
// claiming that the file is as it was.
TEST(AppendWholeNeedsRoot, UnrestoredFileIsReportedAsSuch)
{
    const TempDir dir;
    const auto path = dir.file("report.txt");
    ASSERT_TRUE(writeFile(path, "before\r\n"));
    if (::geteuid() != 0 || !setInodeFlags(path, FS_APPEND_FL))
        GTEST_SKIP() << "needs root and a file system with append-only files";
    std::optional<runtime::AppendFailure> failure;
    {
        const FileSizeLimit limit(8 + 10);
        failure = appendWhole(path.string(), std::string(100, 'r'));
    }
    setInodeFlags(path, 0);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->aftermath, runtime::Aftermath::MayHoldPart);
    EXPECT_EQ(fileBytes(path), "before\r\n" + std::string(10, 'r'));
}

// A save that fails on a file it created removes that file again, and says so,
// also where it made the file at the end of a link that led nowhere; where the
// folder keeps its entries (append-only), it says that an empty file is left.
TEST(AppendWholeNeedsRoot, FailedSaveToANewFile)
{
    for (const std::string fault : {"device filled", "append-only folder", "through a link to a missing file"}) {
        SCOPED_TRACE(fault);
        const ScratchTmpfs scratch("size=64k");
        if (!scratch.mounted())
            GTEST_SKIP() << "needs root to mount a small tmpfs";
        const auto folder = scratch.file("reports");
        std::filesystem::create_directory(folder);
        const auto path = folder / "new.txt";
        std::optional<FileSizeLimit> limit;
        if (fault == "device filled") {
            std::ofstream fill(scratch.file("filler"), std::ios::binary);
            for (const std::string block(4096, 'f'); fill.write(block.data(), 4096) && fill.flush();) {
            }
        } else if (fault == "append-only folder") {
            if (!setInodeFlags(folder, FS_APPEND_FL))
                GTEST_SKIP() << "this tmpfs keeps no inode flags";
            limit.emplace(10);
        } else {
            std::filesystem::create_symlink("elsewhere.txt", path);
            limit.emplace(10);
        }
        const auto failure = appendWhole(path, std::string(10 * 1024, 'r'));
        limit.reset();
        setInodeFlags(folder, 0);
        ASSERT_TRUE(failure.has_value());
        const bool left = fault == "append-only folder";
        EXPECT_EQ(failure->aftermath, left ? runtime::Aftermath::CreatedEmpty : runtime::Aftermath::RemovedAgain);
        EXPECT_EQ(fileBytes(path), left ? "" : "<missing>");
    }
}

// The kernel's protections of shared folders, whatever its settings say. The
// caller is uid 2000, the folder's owner root, another user uid 1234.
TEST(AppendWhole, SharedFolderRules)
{
    constexpr uid_t kRoot = 0, kCaller = 2000, kOther = 1234;
    constexpr mode_t kLink = S_IFLNK | 0777, kFile = S_IFREG | 0666;
    const std::string foreignLink = runtime::toUtf8(os::posix::kForeignLink),
                      foreignFile = runtime::toUtf8(os::posix::kForeignFile),
                      linkedFile = runtime::toUtf8(os::posix::kLinkedFile);
    for (const auto &[name, folderMode, folderOwner, type, owner, names, reason] :
         {std::tuple{"another user's link", 01777, kRoot, kLink, kOther, 1, foreignLink},
          {"the caller's link", 01777, kRoot, kLink, kCaller, 1, std::string()},
          {"the folder owner's link", 01777, kOther, kLink, kOther, 1, std::string()},
          {"a link, not sticky", 0777, kRoot, kLink, kOther, 1, std::string()},
          {"a link, sticky, writable by its group", 01775, kRoot, kLink, kOther, 1, std::string()},
          {"another user's file", 01777, kRoot, kFile, kOther, 1, foreignFile},
          {"another user's file, sticky, writable by its group", 01770, kRoot, kFile, kOther, 1, foreignFile},
          {"another user's file, sticky, writable by its owner", 01755, kRoot, kFile, kOther, 1, std::string()},
          {"another user's file, not sticky", 0777, kRoot, kFile, kOther, 1, std::string()},
          {"the caller's file", 01777, kRoot, kFile, kCaller, 1, std::string()},
          {"the folder owner's file", 01777, kOther, kFile, kOther, 1, std::string()},
          {"the caller's file with a second name", 01777, kRoot, kFile, kCaller, 2, linkedFile},
          {"a second name, not sticky", 0777, kRoot, kFile, kCaller, 2, std::string()}}) {
        SCOPED_TRACE(name);
        struct stat folder {}, entry {};
        folder.st_mode = S_IFDIR | mode_t(folderMode);
        folder.st_uid = folderOwner;
        entry.st_mode = type;
        entry.st_uid = owner;
        entry.st_nlink = nlink_t(names);
        const auto refused = os::posix::sharedFolderRefusal(folder, entry, kCaller);
        EXPECT_EQ(refused ? runtime::toUtf8(*refused) : std::string(), reason);
    }
}

// A save from root, by the rules above, on every step of the path: a link
// another user planted is not followed, as the last component or as a folder
// on the way, nor is a file written that another user left or that has a
// second name. The kernel's own protections are off meanwhile, so that only
// the save's refusal stands between the name and the file it leads to.
TEST(AppendWholeNeedsRoot, OtherUsersNamesInSharedFolders)
{
    const KernelSetting links("/proc/sys/fs/protected_symlinks", "0");
    const KernelSetting files("/proc/sys/fs/protected_regular", "0");
    if (!links.set() || !files.set())
        GTEST_SKIP() << "needs root to turn fs.protected_symlinks and fs.protected_regular off";
    constexpr uid_t kRoot = 0, kNobody = 65534;
    enum class Planted { Link, DanglingLink, FolderLink, File, SecondName };
    const std::string foreignLink = runtime::toUtf8(os::posix::kForeignLink),
                      foreignFile = runtime::toUtf8(os::posix::kForeignFile),
                      linkedFile = runtime::toUtf8(os::posix::kLinkedFile);
    for (const auto &[name, planted, folderMode, folderOwner, owner, reason] :
         {std::tuple{"another user's link", Planted::Link, 01777, kRoot, kNobody, foreignLink},
          {"another user's dangling link", Planted::DanglingLink, 01777, kRoot, kNobody, foreignLink},
          {"the caller's link", Planted::Link, 01777, kRoot, kRoot, std::string()},
          {"the folder owner's link", Planted::Link, 01777, kNobody, kNobody, std::string()},
          {"not sticky", Planted::Link, 0777, kRoot, kNobody, std::string()},
          {"sticky, not writable by all", Planted::Link, 01775, kRoot, kNobody, std::string()},
          {"another user's link to a folder on the way", Planted::FolderLink, 01777, kRoot, kNobody, foreignLink},
          {"the caller's link to a folder on the way", Planted::FolderLink, 01777, kRoot, kRoot, std::string()},
          {"another user's file", Planted::File, 01777, kRoot, kNobody, foreignFile},
          {"a second name of the caller's file", Planted::SecondName, 01777, kRoot, kRoot, linkedFile}}) {
        SCOPED_TRACE(name);
        const TempDir dir;
        const auto own = dir.file("private");
        auto target = own / "notes.txt";
        const auto shared = dir.file("shared");
        std::filesystem::create_directory(own);
        std::filesystem::create_directory(shared);
        ASSERT_EQ(::chmod(shared.c_str(), mode_t(folderMode)), 0);
        ASSERT_EQ(::chown(shared.c_str(), folderOwner, folderOwner), 0);
        auto path = shared / "report.txt", planting = path;
        if (planted == Planted::File)
            target = path;
        ASSERT_TRUE(planted == Planted::DanglingLink || writeFile(target, "kept\r\n"));
        if (planted == Planted::File) {
            ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
        } else if (planted == Planted::SecondName) {
            std::filesystem::create_hard_link(target, path);
        } else if (planted == Planted::FolderLink) {
            planting = shared / "reports";
            std::filesystem::create_symlink(own, planting);
            path = planting / "notes.txt";
        } else {
            std::filesystem::create_symlink(target, path);
        }
        ASSERT_EQ(::lchown(planting.c_str(), owner, owner), 0);
        if (reason.empty()) {
            EXPECT_EQ(appendWhole(path, "x\r\n"), std::nullopt);
            EXPECT_EQ(fileBytes(target), "kept\r\nx\r\n");
        } else {
            expectRefused(path, "x\r\n", reason);
            EXPECT_EQ(fileBytes(target), planted == Planted::DanglingLink ? "<missing>" : "kept\r\n");
        }
    }
}
