// A network namespace of a test's own, for probes that must never leave the
// machine: its loopback is up, 192.0.2.0/24 is unreachable, and
// ping_group_range picks the echo path (root's group 0 inside the range for
// the datagram socket, an empty range for the raw one). Needs root and `ip`.
#pragma once

#include "probe/linux/LinuxEcho.h"
#include "os/posix/Descriptor.h"

#include <QMetaType>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <utility>

Q_DECLARE_METATYPE(Module1::EchoPath)
// Both echo paths with their names, for test rows.
inline const std::pair<Module1::EchoPath, const char *> EchoPaths[] = {{Module1::EchoPath::Datagram, "datagram"},
                                                                       {Module1::EchoPath::Raw, "raw"}};

inline const char *const NoNamespaces = "needs root and `ip netns` to make network namespaces of its own";

// Entered by the calling thread for the object's life; sockets opened and
// threads or processes started meanwhile belong to it. Deleted again also
// when a test fails.
class TestNamespace {
public:
    explicit TestNamespace(Module1::EchoPath path, const QString &extraSetting = {})
        : name_(QString("sondar-probe-%1-%2").arg(::getpid()).arg(++made_)),
          home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
    {
        created_ = ::geteuid() == 0 && runIp({"netns", "add", name_});
        const QString range = path == Module1::EchoPath::Datagram ? "0 2147483647" : "1 0";
        if (!created_ || !runIp({"-n", name_, "link", "set", "lo", "up"})
            || !sysctl("net.ipv4.ping_group_range=" + range) || (!extraSetting.isEmpty() && !sysctl(extraSetting))
            || !runIp({"-n", name_, "route", "add", "unreachable", "192.0.2.0/24"}))
            return;
        const os::posix::Descriptor target(::open(qPrintable("/run/netns/" + name_), O_RDONLY | O_CLOEXEC));
        entered_ = home_.isOpen() && target.isOpen() && ::setns(target.get(), CLONE_NEWNET) == 0;
    }
    TestNamespace(const TestNamespace &) = delete;
    TestNamespace &operator=(const TestNamespace &) = delete;
    ~TestNamespace()
    {
        if (entered_)
            ::setns(home_.get(), CLONE_NEWNET);
        if (created_)
            runIp({"netns", "delete", name_});
    }

    bool entered() const { return entered_; }
    // For `ip netns exec`.
    const QString &name() const { return name_; }

private:
    static bool runIp(const QStringList &arguments)
    {
        return QProcess::execute("ip", arguments) == 0;
    }
    bool sysctl(const QString &setting) const
    {
        return runIp({"netns", "exec", name_, "sysctl", "-qw", setting});
    }

    static inline int made_ = 0;
    QString name_;
    os::posix::Descriptor home_;
    bool created_ = false;
    bool entered_ = false;
};
