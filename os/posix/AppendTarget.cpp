#include "os/posix/AppendTarget.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace os::posix {
namespace {

// How many links one path may lead through: the kernel's own limit.
constexpr int kMaxLinks = 40;
// How often a free name that another program takes before this save can
// create it is looked at again before the save gives up.
constexpr int kLooks = 8;

AppendFailure failure(int error)
{
    return AppendFailure{errorText(error)};
}

// File systems whose files are interfaces of the kernel or of a driver, not
// stored bytes: opening, creating or writing one acts (sets a knob, arms a
// probe, makes a message queue, an EFI variable, a lock, a USB endpoint)
// beyond keeping what was written. By their numbers from <linux/magic.h> and,
// where that has none, from the kernel's sources. Left out, as they store
// what is written: tmpfs (devtmpfs is one), ramfs and hugetlbfs (whose files
// take no write(2), which then fails), and autofs, which holds only the
// folders where other file systems get mounted.
constexpr std::uint32_t kPseudoFileSystems[] = {
        PROC_SUPER_MAGIC, SYSFS_MAGIC, DEBUGFS_MAGIC, TRACEFS_MAGIC, SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC,
        CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC, PSTOREFS_MAGIC, EFIVARFS_MAGIC, SELINUX_MAGIC, SMACK_MAGIC, BINFMTFS_MAGIC,
        NSFS_MAGIC, DEVPTS_SUPER_MAGIC, RDTGROUP_SUPER_MAGIC, USBDEVICE_SUPER_MAGIC, BINDERFS_SUPER_MAGIC,
        XENFS_SUPER_MAGIC, OPENPROM_SUPER_MAGIC,
        AAFS_MAGIC, // apparmorfs
        0x62656570, // configfs
        0x65735543, // fusectl
        0x19800202, // mqueue
        0x6e667364, // nfsd
        0x67596969, // rpc_pipefs
        0x0a647361, // functionfs
        0xaee71ee7, // gadgetfs
        0x76a9f425, // ocfs2_dlmfs
        0x00687970, // s390_hypfs
        0x23c9b64e, // spufs
        0x66726f67, // ibmasmfs
        0x00726a77, // qibfs
};

// Why nothing is written on the file system that `fd` lies on, or nothing.
std::optional<AppendFailure> pseudoFileSystemRefusal(int fd)
{
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return failure(errno);
    // The numbers are 32 bits wide, f_type a signed word that may be as wide.
    if (std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), std::uint32_t(fs.f_type))
        != std::end(kPseudoFileSystems))
        return AppendFailure{kNotARegularFile};
    return std::nullopt;
}

bool isShared(const struct stat &folder, mode_t writers)
{
    return (folder.st_mode & S_ISVTX) && (folder.st_mode & writers);
}

} // namespace

Text errorText(int error)
{
    return runtime::fromUtf8(std::strerror(error));
}

std::optional<Text> sharedFolderRefusal(const struct stat &folder, const struct stat &entry, uid_t caller)
{
    const bool ownersOwn = entry.st_uid == caller || entry.st_uid == folder.st_uid;
    if (S_ISLNK(entry.st_mode)) {
        // fs.protected_symlinks: a sticky folder that everyone may write to.
        if (isShared(folder, S_IWOTH) && !ownersOwn)
            return kForeignLink;
        return std::nullopt;
    }
    // fs.protected_regular=2: a sticky folder that everyone or its group may
    // write to. The kernel asks this only of an open with O_CREAT, which the
    // open of an existing file here lacks; it is asked here all the same.
    if (!isShared(folder, S_IWOTH | S_IWGRP))
        return std::nullopt;
    if (!ownersOwn)
        return kForeignFile;
    // fs.protected_hardlinks keeps a user from giving another user's file a
    // new name unless they may read and write it. Whether that held when a
    // second name was made here can't be told, so no file with one is
    // written here, not even the caller's own: the name may have been
    // planted to lead the report into another of the caller's files.
    if (entry.st_nlink > 1)
        return kLinkedFile;
    return std::nullopt;
}

std::variant<AppendTarget, AppendFailure> openForAppend(const std::string &path)
{
    if (path.find('\0') != std::string::npos)
        return failure(EINVAL);
    Descriptor folder;
    struct stat folderInfo {};
    // The walk goes on from `folder`: `next` once it is entered, and at the
    // start "/" for a path that begins with one, else the working folder.
    const auto enter = [&](Descriptor next) {
        folder = std::move(next);
        return folder.isOpen() && ::fstat(folder.get(), &folderInfo) == 0;
    };
    const auto enterStart = [&](const std::string &start) {
        return enter(Descriptor(::open(start[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC)));
    };
    std::string rest = path; // what is left to walk, from `folder`
    if (!enterStart(rest))
        return failure(errno);
    int links = 0, looks = 0;
    for (;;) {
        const auto begin = rest.find_first_not_of('/');
        // A path that ends in "/" names a folder.
        if (begin == std::string::npos)
            return AppendFailure{kNotARegularFile};
        const auto end = rest.find('/', begin);
        const std::string name = rest.substr(begin, end - begin);
        rest.erase(0, end);
        const bool last = end == std::string::npos;

        // A folder on the way. With O_DIRECTORY a folder where a file system
        // is mounted on demand (autofs) gets it mounted, as the kernel's own
        // walk through it would; O_PATH alone would stay at the bare folder.
        if (!last) {
            Descriptor next(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.isOpen()) {
                if (!enter(std::move(next)))
                    return failure(errno);
                continue;
            }
            if (errno != ENOTDIR)
                return failure(errno);
            // Not a folder: a link to one, or the walk ends here.
        }
        Descriptor entry(::openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!entry.isOpen() && last && errno == ENOENT) {
            // A free name: ours only if we are the ones who create it.
            if (auto refused = pseudoFileSystemRefusal(folder.get()))
                return std::move(*refused);
            Descriptor file(
                    ::openat(folder.get(), name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (file.isOpen())
                return AppendTarget{std::move(folder), name, std::move(file), true};
            if (errno != EEXIST || ++looks == kLooks)
                return failure(errno);
            rest = name; // another program made it meanwhile: look again
            continue;
        }
        struct stat info {};
        if (!entry.isOpen() || ::fstat(entry.get(), &info) != 0)
            return failure(errno);

        if (S_ISLNK(info.st_mode)) {
            if (auto refused = sharedFolderRefusal(folderInfo, info, ::geteuid()))
                return AppendFailure{std::move(*refused)};
            if (++links > kMaxLinks)
                return failure(ELOOP);
            // What the link says, read from the very link judged; the walk
            // goes on there, from "/" where it says so.
            std::string target(PATH_MAX, '\0');
            const ssize_t length = ::readlinkat(entry.get(), "", target.data(), target.size());
            if (length < 0)
                return failure(errno);
            target.resize(std::size_t(length));
            if (target[0] == '/' && !enterStart(target))
                return failure(errno);
            rest = target + rest;
            continue;
        }
        if (!last)
            return failure(ENOTDIR);

        // The file itself, judged before anything opens it for writing.
        if (!S_ISREG(info.st_mode))
            return AppendFailure{kNotARegularFile};
        if (auto refused = pseudoFileSystemRefusal(entry.get()))
            return std::move(*refused);
        if (auto refused = sharedFolderRefusal(folderInfo, info, ::geteuid()))
            return AppendFailure{std::move(*refused)};
        // Opened anew through procfs's view of the judged descriptor: that
        // file and no other, whatever its name leads to by now.
        const std::string judged = "/proc/self/fd/" + std::to_string(entry.get());
        Descriptor file(::open(judged.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (!file.isOpen())
            return failure(errno);
        return AppendTarget{std::move(folder), name, std::move(file), false};
    }
}

bool removeCreated(const AppendTarget &target)
{
    struct stat ours {};
    struct stat named {};
    return ::fstat(target.file.get(), &ours) == 0
            && ::fstatat(target.folder.get(), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && named.st_dev == ours.st_dev && named.st_ino == ours.st_ino && ours.st_size == 0
            && ::unlinkat(target.folder.get(), target.name.c_str(), 0) == 0;
}

} // namespace os::posix
