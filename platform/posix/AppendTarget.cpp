#include "platform/posix/AppendTarget.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace platform::posix {
namespace {

constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
// How often a name that changes between our look and our open is looked at
// again before the save gives up.
constexpr int kLooks = 8;

const Text kForeignLink = u"a symbolic link that another user made in a shared folder";

AppendFailure failure(int error)
{
    return AppendFailure{errorText(error)};
}

// File systems whose files are the kernel's knobs and views, not stored data.
bool isPseudoFileSystem(const struct statfs &fs)
{
    constexpr decltype(fs.f_type) kConfigFs = 0x62656570, kFuseCtl = 0x65735543, kMqueue = 0x19800202;
    switch (fs.f_type) {
    case PROC_SUPER_MAGIC: case SYSFS_MAGIC: case DEBUGFS_MAGIC: case TRACEFS_MAGIC: case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC: case CGROUP2_SUPER_MAGIC: case BPF_FS_MAGIC: case PSTOREFS_MAGIC: case EFIVARFS_MAGIC:
    case SELINUX_MAGIC: case SMACK_MAGIC: case BINFMTFS_MAGIC: case NSFS_MAGIC: case DEVPTS_SUPER_MAGIC:
    case RDTGROUP_SUPER_MAGIC: case USBDEVICE_SUPER_MAGIC: case kConfigFs: case kFuseCtl: case kMqueue:
        return true;
    default:
        return false;
    }
}

// The kernel's rule for fs.protected_symlinks: in a sticky folder that
// everyone may write to, a link is followed only for its owner or for the
// folder's owner.
bool isForeignLink(const struct stat &folder, const struct stat &link)
{
    const bool shared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return shared && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid;
}

// "dir/name" -> {"dir", "name"}; "name" -> {".", "name"}; "/name" -> {"/", "name"}.
std::pair<std::string, std::string> splitPath(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The open file, checked: a regular file of a real file system.
std::variant<AppendTarget, AppendFailure> checked(AppendTarget target)
{
    struct stat info {};
    struct statfs fs {};
    if (::fstat(target.file.get(), &info) != 0 || ::fstatfs(target.file.get(), &fs) != 0)
        return failure(errno);
    if (!S_ISREG(info.st_mode) || isPseudoFileSystem(fs))
        return AppendFailure{kNotARegularFile};
    return target;
}

} // namespace

Text errorText(int error)
{
    return fromUtf8(std::strerror(error));
}

std::variant<AppendTarget, AppendFailure> openForAppend(const std::string &path)
{
    if (path.find('\0') != std::string::npos)
        return failure(EINVAL);
    auto [folderPath, name] = splitPath(path);
    AppendTarget target{Descriptor(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), name, {}, false};
    if (!target.folder.isOpen())
        return failure(errno);
    const int folder = target.folder.get();
    struct stat folderInfo {};
    struct statfs folderFs {};
    if (::fstat(folder, &folderInfo) != 0 || ::fstatfs(folder, &folderFs) != 0)
        return failure(errno);
    // A name that ends in "/", "." or ".." is a folder's.
    if (name.empty() || name == "." || name == ".." || isPseudoFileSystem(folderFs))
        return AppendFailure{kNotARegularFile};

    for (int look = 0; look < kLooks; ++look) {
        struct stat entry {};
        if (::fstatat(folder, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return failure(errno);
            // A free name: ours only if we are the ones who create it.
            target.file = Descriptor(::openat(folder, name.c_str(), kAppendFlags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666));
            target.created = target.file.isOpen();
            if (target.created)
                return checked(std::move(target));
            if (errno == EEXIST)
                continue; // another program made it meanwhile
            return failure(errno);
        }
        int how = O_NOFOLLOW;
        target.created = false;
        if (S_ISLNK(entry.st_mode)) {
            if (isForeignLink(folderInfo, entry))
                return AppendFailure{kForeignLink};
            // Where the link leads: a missing file there is created, as any
            // open through a link would, and is then this save's, though a
            // failed save can't remove it through the link.
            struct stat linked {};
            const bool leads = ::fstatat(folder, name.c_str(), &linked, 0) == 0;
            if (leads && !S_ISREG(linked.st_mode))
                return AppendFailure{kNotARegularFile};
            target.created = !leads && errno == ENOENT;
            how = O_CREAT;
        } else if (!S_ISREG(entry.st_mode)) {
            return AppendFailure{kNotARegularFile};
        }
        target.file = Descriptor(::openat(folder, name.c_str(), kAppendFlags | how, 0666));
        if (target.file.isOpen())
            return checked(std::move(target));
        if (errno != ENOENT && errno != ELOOP)
            return failure(errno);
        // Removed, or swapped for a link, since we looked: look again.
    }
    return failure(ELOOP);
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

} // namespace platform::posix
