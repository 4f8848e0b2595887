// The echo helper built here (ECHO_HELPER), installed and started as a user
// would meet it: a copy owned by root in a folder of its own, with the mode
// and privilege the package gives it (or withholds), started by a process of
// uid 65534 that holds no capability, so that the kernel's own checks of the
// copy's mode, setuid bit and file capability decide what it may do. Needs
// root.
#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace probetest {

inline constexpr uid_t kNobody = 65534;

// How the copy is installed.
enum class Installed {
    Plain,          // 0755, no privilege
    SetuidRoot,     // 04755 root:root, the fallback on file systems without capabilities
    FileCapability, // 0755 root:root with cap_net_raw+ep, as the package installs it
    OwnerOnly,      // 0750 root:root with cap_net_raw+ep: not for uid 65534
};

// True when the calling process holds no capability in any set but the
// bounding set, which an ordinary login keeps whole.
inline bool holdsNoCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, held) != 0)
        return false;
    for (const auto &word : held)
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0)
            return false;
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability)
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, capability, 0, 0) == 1)
            return false;
    return true;
}

// Turns a process of root's into one of uid and gid 65534 with no groups.
// Changing the ids without PR_SET_KEEPCAPS clears every capability, as a
// login's does; only system calls, so that it may run between fork and exec.
inline bool becomeNobody()
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0
        && ::setresuid(kNobody, kNobody, kNobody) == 0 && holdsNoCapability();
}

// Starts `process` as uid 65534 with no capability; it exits with 125 at
// once where that can't be made so.
inline void startAsNobody(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.setChildProcessModifier([] {
        if (!becomeNobody())
            ::_exit(125);
    });
    process.start(program, arguments);
}

class InstalledHelper {
public:
    explicit InstalledHelper(Installed how)
    {
        struct statvfs volume;
        if (!dir_.isValid() || ::chmod(qPrintable(dir_.path()), 0755) != 0 || !QFile::copy(ECHO_HELPER, path())
            || ::statvfs(qPrintable(dir_.path()), &volume) != 0) {
            skip_ = "cannot copy the helper";
            return;
        }
        const bool capability = how == Installed::FileCapability || how == Installed::OwnerOnly;
        if (how == Installed::SetuidRoot && (volume.f_flag & ST_NOSUID))
            skip_ = "the temporary folder's file system ignores setuid";
        else if (::chmod(qPrintable(path()), how == Installed::SetuidRoot ? 04755 : how == Installed::OwnerOnly ? 0750 : 0755)
                 != 0)
            skip_ = "cannot set the copy's mode";
        else if (capability && QProcess::execute("setcap", {"cap_net_raw+ep", path()}) != 0)
            skip_ = "needs setcap (libcap2-bin) and a file system that keeps capabilities";
    }

    QString path() const { return dir_.filePath("sondar-echo"); }
    // Empty when the copy is installed as asked.
    const char *skipReason() const { return skip_; }

private:
    QTemporaryDir dir_;
    const char *skip_ = nullptr;
};

} // namespace probetest
