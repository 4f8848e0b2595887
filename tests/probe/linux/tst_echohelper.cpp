// The echo helper as installed: copies of the helper built here, set up as the
// package sets it up (or without the privilege it needs), started by a process
// of uid 65534 that holds no capability. What it refuses, what it sends, what
// it holds while it waits, and that its caller's user can't take its socket.
// Only 127.0.0.1 inside namespaces of the test's own is probed. Needs root.
#include "probe/linux/EchoHelper.h"
#include "probe/linux/EchoPacket.h"
#include "os/posix/Descriptor.h"
#include "InstalledHelper.h"
#include "KernelSetting.h"
#include "TestNamespace.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

using namespace Module1;
using namespace probetest;
using os::posix::Descriptor;

// How the helper's starter holds it, besides never reading its output.
enum class Holding { OutputOnly, SignalsBlockedAndIgnored, Stopped };

Q_DECLARE_METATYPE(Installed)
Q_DECLARE_METATYPE(Holding)

namespace {

const char *const kNeedsRoot = "needs root to install copies of the helper and run them as another user";

// A copy of the helper installed as asked and, entered by this thread, a
// network namespace of the test's own with the raw echo path (and one more
// setting where given); or why the test can't have them here.
class Stage {
public:
    explicit Stage(Installed installed, const QString &setting = {})
    {
        if (::geteuid() != 0) {
            skip_ = kNeedsRoot;
            return;
        }
        if ((skip_ = helper_.emplace(installed).skipReason()))
            return;
        if (!space_.emplace(EchoPath::Raw, setting).entered())
            skip_ = NoNamespaces;
    }

    // Empty when both are ready.
    const char *skipReason() const { return skip_; }
    QString helperPath() const { return helper_->path(); }
    const QString &namespaceName() const { return space_->name(); }

private:
    std::optional<InstalledHelper> helper_;
    std::optional<TestNamespace> space_; // left before the copy is removed
    const char *skip_ = nullptr;
};

struct Run {
    int exitCode; // -1 where it did not start or did not exit
    QByteArray output;
    QByteArray errors;
};

Run runAsNobody(const QString &helper, const QStringList &arguments)
{
    QProcess process;
    startAsNobody(process, helper, arguments);
    const bool exited = process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit;
    return Run{exited ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}

// The fields of /proc/PID/status, each value with its blanks made single.
QMap<QByteArray, QByteArray> processStatus(qint64 pid)
{
    QFile file(QString("/proc/%1/status").arg(pid));
    QMap<QByteArray, QByteArray> fields;
    if (!file.open(QIODevice::ReadOnly))
        return fields;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            fields.insert(line.left(colon), line.mid(colon + 1).simplified());
    }
    return fields;
}

// One of the ICMP counters of this thread's network namespace ("OutEchos",
// "OutMsgs": what it has sent so far).
int icmpCounter(const QByteArray &name)
{
    QFile snmp("/proc/thread-self/net/snmp");
    if (!snmp.open(QIODevice::ReadOnly))
        return -1;
    QList<QByteArray> names;
    for (const QByteArray &line : snmp.readAll().split('\n')) {
        if (!line.startsWith("Icmp: "))
            continue;
        if (names.isEmpty()) {
            names = line.split(' ');
            continue;
        }
        return line.split(' ').value(names.indexOf(name), "-1").toInt();
    }
    return -1;
}

// Waits until the helper `pid` is in the system call `number`: for SYS_ppoll,
// its wait for the answer (the only ppoll it makes), by when it holds its
// socket, with its filter, and has given up its privileges. False when it
// ends or takes longer than 3 seconds.
bool awaitSyscall(qint64 pid, long number)
{
    const QByteArray waiting = QByteArray::number(number) + ' ';
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < giveUp) {
        QFile syscall(QString("/proc/%1/syscall").arg(pid));
        if (!syscall.open(QIODevice::ReadOnly))
            return false;
        if (syscall.readAll().startsWith(waiting))
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// The helper's descriptors while it waits, by number: what each links to.
QMap<int, QString> descriptorsOf(qint64 pid)
{
    QMap<int, QString> links;
    const QDir fds(QString("/proc/%1/fd").arg(pid));
    for (const QString &name : fds.entryList(QDir::Files | QDir::System)) {
        char link[256];
        const ssize_t size = ::readlink(qPrintable(fds.filePath(name)), link, sizeof link);
        links.insert(name.toInt(), QString::fromLocal8Bit(link, size > 0 ? size : 0));
    }
    return links;
}

// The number of the helper's socket, -1 where it holds none.
int socketOf(qint64 pid)
{
    const QMap<int, QString> descriptors = descriptorsOf(pid);
    for (const auto &[number, link] : descriptors.asKeyValueRange())
        if (link.startsWith("socket:"))
            return number;
    return -1;
}

// The receive queue of each raw socket in this thread's network namespace, in
// bytes, as "n,n,...".
QByteArray rawReceiveQueues()
{
    QFile table("/proc/thread-self/net/raw");
    QByteArrayList queues;
    if (!table.open(QIODevice::ReadOnly))
        return "(no table)";
    for (const QByteArray &line : table.readAll().split('\n').mid(1)) {
        const QByteArrayList fields = line.simplified().split(' ');
        if (fields.size() > 4) // tx_queue:rx_queue in hexadecimal
            queues.append(QByteArray::number(fields[4].split(':').value(1).toUInt(nullptr, 16)));
    }
    return queues.join(',');
}

// Blocks every signal and ignores every one that can be, for a program about
// to be started, which inherits both; only async-signal-safe calls, so that
// it may run between fork and exec.
bool blockAndIgnoreSignals()
{
    sigset_t all;
    struct sigaction ignored{};
    ignored.sa_handler = SIG_IGN;
    if (::sigfillset(&all) != 0 || ::sigprocmask(SIG_BLOCK, &all, nullptr) != 0)
        return false;
    for (int number = 1; number < NSIG; ++number)
        if (number != SIGKILL && number != SIGSTOP && (number <= SIGSYS || number >= SIGRTMIN)
            && ::sigaction(number, &ignored, nullptr) != 0)
            return false;
    return true;
}

// A row for each way the package gives the helper its privilege.
void privilegedRows()
{
    QTest::addColumn<Installed>("installed");
    QTest::newRow("setuid root") << Installed::SetuidRoot;
    QTest::newRow("cap_net_raw") << Installed::FileCapability;
}

// What a process of the caller's uid got when it went for the helper's socket
// while the helper waited: the errno value of each try, 0 where it worked.
struct Attempts {
    int attach;       // ptrace(PTRACE_SEIZE)
    int takeSocket;   // pidfd_getfd of the helper's socket
    int helperStatus; // how the helper ended, as waitpid gives it
};

// The caller: a process of uid 65534 without capabilities that starts the
// helper as its child, as the window does, and once told the number of the
// helper's socket tries to trace the helper and to take the socket. Talks to
// the test over `channel`: the helper's pid out, the socket's number in, its
// Attempts out.
[[noreturn]] void actAsCaller(const Descriptor &channel, const char *helper)
{
    // Nothing of the test's but the channel, not the guardian's pipe either.
    const unsigned kept = unsigned(channel.get());
    if (::close_range(STDERR_FILENO + 1, kept - 1, 0) != 0 || ::close_range(kept + 1, ~0U, 0) != 0)
        ::_exit(1);
    const int output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (output < 0 || !becomeNobody())
        ::_exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        char *const argv[] = {const_cast<char *>("sondar-echo"), const_cast<char *>("127.0.0.1"),
                              const_cast<char *>(""), nullptr};
        char *const environment[] = {nullptr};
        ::dup2(output, STDOUT_FILENO);
        ::execve(helper, argv, environment);
        ::_exit(127);
    }
    int socketNumber = -1;
    if (child < 0 || ::write(channel.get(), &child, sizeof child) != sizeof child
        || ::read(channel.get(), &socketNumber, sizeof socketNumber) != sizeof socketNumber)
        ::_exit(1);
    Attempts attempts{};
    attempts.attach = ::ptrace(PTRACE_SEIZE, child, nullptr, nullptr) == 0 ? 0 : errno;
    const Descriptor handle(int(::syscall(SYS_pidfd_open, child, 0)));
    const Descriptor taken(handle.isOpen() ? int(::syscall(SYS_pidfd_getfd, handle.get(), socketNumber, 0)) : -1);
    attempts.takeSocket = taken.isOpen() ? 0 : errno;
    ::waitpid(child, &attempts.helperStatus, 0);
    ::_exit(::write(channel.get(), &attempts, sizeof attempts) == sizeof attempts ? 0 : 1);
}

// Reads one value of `Value` from `channel`, waiting at most five seconds.
template <typename Value>
bool receive(const Descriptor &channel, Value &value)
{
    pollfd readable{channel.get(), POLLIN, 0};
    return ::poll(&readable, 1, 5000) == 1 && ::read(channel.get(), &value, sizeof value) == sizeof value;
}

} // namespace

class TestEchoHelper : public QObject {
    Q_OBJECT

private slots:
    // A row for each kind of refusal: the installed helper refuses before it
    // sends. Every form of each is read in tst_echocaller, which needs no root.
    void refusesAnyOtherUse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");

        const QString longest(2 * kMaxPayload, 'a');
        QTest::newRow("no arguments") << QStringList{} << QByteArray("usage:");
        QTest::newRow("host name") << QStringList{"localhost", ""} << QByteArray("dotted decimal");
        QTest::newRow("leading zero, octal elsewhere") << QStringList{"017.0.0.1", ""} << QByteArray("dotted decimal");
        QTest::newRow("broadcast") << QStringList{"255.255.255.255", ""} << QByteArray("255.255.255.255");
        QTest::newRow("multicast") << QStringList{"239.255.255.250", "2a"} << QByteArray("224.0.0.0/4");
        QTest::newRow("reserved") << QStringList{"240.0.0.1", "2a"} << QByteArray("240.0.0.0/4");
        QTest::newRow("129-byte payload") << QStringList{"127.0.0.1", longest + "aa"} << QByteArray("longer than 128");
        QTest::newRow("not hexadecimal") << QStringList{"127.0.0.1", "2g"} << QByteArray("hexadecimal");
    }
    void refusesAnyOtherUse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        // Some rows name hosts off this machine ("017.0.0.1" is 15.0.0.1 to
        // inet_addr), a multicast group or a reserved address: a helper that
        // failed to refuse them would find no route out of this namespace.
        const Stage stage(Installed::FileCapability);
        if (stage.skipReason())
            QSKIP(stage.skipReason());

        const Run run = runAsNobody(stage.helperPath(), arguments);
        QCOMPARE(run.exitCode, HelperExit::kRefused);
        QVERIFY2(run.errors.startsWith("sondar-echo: ") && run.errors.contains(message), run.errors.constData());
        QVERIFY(run.output.isEmpty());
        QCOMPARE(icmpCounter("OutMsgs"), 0);
    }

    // Each way of installing it, run by a user who may open no ICMP socket:
    // only the privilege the package gives lets it send.
    void sendsOnlyWithItsPrivilege_data()
    {
        QTest::addColumn<Installed>("installed");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<int>("exitCode"); // -1: it must not even start
        QTest::newRow("cap_net_raw, no payload") << Installed::FileCapability << QString() << HelperExit::kReported;
        QTest::newRow("cap_net_raw, 128 bytes, upper-case digits")
            << Installed::FileCapability << QString(2 * kMaxPayload, 'A') << HelperExit::kReported;
        QTest::newRow("setuid root") << Installed::SetuidRoot << "2a2a" << HelperExit::kReported;
        QTest::newRow("no privilege") << Installed::Plain << "2a2a" << HelperExit::kNoSocket;
        QTest::newRow("0750 root:root, cap_net_raw") << Installed::OwnerOnly << "2a2a" << -1;
    }
    void sendsOnlyWithItsPrivilege()
    {
        QFETCH(Installed, installed);
        QFETCH(QString, payload);
        QFETCH(int, exitCode);
        const Stage stage(installed);
        if (stage.skipReason())
            QSKIP(stage.skipReason());

        const Run run = runAsNobody(stage.helperPath(), {"127.0.0.1", payload});
        QCOMPARE(run.exitCode, exitCode);
        // One echo request and no other ICMP message (but the kernel's own
        // reply), or nothing.
        QCOMPARE(icmpCounter("OutEchos"), exitCode == HelperExit::kReported ? 1 : 0);
        QCOMPARE(icmpCounter("OutMsgs") - icmpCounter("OutEchoReps"), icmpCounter("OutEchos"));
        if (exitCode == HelperExit::kNoSocket)
            QVERIFY2(run.errors.contains("cap_net_raw"), run.errors.constData());
        if (exitCode != HelperExit::kReported)
            return;
        const EchoOutcome outcome = helperOutcome(run.output.toStdString(), HelperEnd{run.exitCode});
        QVERIFY2(outcome.status == 0, run.output.constData());
        QCOMPARE(outcome.from, inet_addr("127.0.0.1"));
        QVERIFY(outcome.roundTrip > std::chrono::nanoseconds::zero() && outcome.roundTrip < kEchoTimeout);
    }

    void withStandardDescriptorsClosed_data()
    {
        QTest::addColumn<bool>("byRoot");
        QTest::addColumn<Installed>("installed");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("sent");
        // It opens /dev/null in their place and sends.
        QTest::newRow("run by root") << true << Installed::Plain << HelperExit::kReported << 1;
        // In secure mode the C library has put /dev/full (input) and
        // /dev/null opened for reading (output, error output) there before
        // main: the helper cannot write its acceptance and sends nothing.
        QTest::newRow("cap_net_raw") << false << Installed::FileCapability << HelperExit::kUnsafe << 0;
        QTest::newRow("setuid root") << false << Installed::SetuidRoot << HelperExit::kUnsafe << 0;
    }
    // Started with its standard descriptors closed, the helper must not take
    // one of their numbers for its socket and write its report into it.
    void withStandardDescriptorsClosed()
    {
        QFETCH(bool, byRoot);
        QFETCH(Installed, installed);
        QFETCH(int, exitCode);
        QFETCH(int, sent);
        const Stage stage(installed);
        if (stage.skipReason())
            QSKIP(stage.skipReason());

        const QStringList arguments{"-c", "exec \"$0\" 127.0.0.1 '' <&- >&- 2>&-", stage.helperPath()};
        QProcess shell;
        if (byRoot)
            shell.start("/bin/sh", arguments);
        else
            startAsNobody(shell, "/bin/sh", arguments);
        QVERIFY(shell.waitForFinished(5000));
        QCOMPARE(shell.exitCode(), exitCode);
        QCOMPARE(icmpCounter("OutEchos"), sent);
    }

    void loaderTakesNoLibraryFromTheCaller_data()
    {
        QTest::addColumn<Installed>("installed");
        QTest::addColumn<QString>("variable");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("errors");
        // Without a privilege the loader takes both, as it would for any
        // program; with one it runs in secure mode and ignores them.
        QTest::newRow("no privilege, library path")
            << Installed::Plain << "LD_LIBRARY_PATH=%1" << 127 << QByteArray("libstdc++.so.6");
        QTest::newRow("no privilege, preload") << Installed::Plain << "LD_PRELOAD=%1/planted.so"
                                               << HelperExit::kNoSocket << QByteArray("planted.so");
        QTest::newRow("cap_net_raw, library path")
            << Installed::FileCapability << "LD_LIBRARY_PATH=%1" << HelperExit::kReported << QByteArray();
        QTest::newRow("cap_net_raw, preload")
            << Installed::FileCapability << "LD_PRELOAD=%1/planted.so" << HelperExit::kReported << QByteArray();
        QTest::newRow("setuid root, library path")
            << Installed::SetuidRoot << "LD_LIBRARY_PATH=%1" << HelperExit::kReported << QByteArray();
        QTest::newRow("setuid root, preload")
            << Installed::SetuidRoot << "LD_PRELOAD=%1/planted.so" << HelperExit::kReported << QByteArray();
    }
    // A caller who plants libraries of their own (here: ones the loader
    // can't load, so that taking them shows) gets none of them into the helper.
    void loaderTakesNoLibraryFromTheCaller()
    {
        QFETCH(Installed, installed);
        QFETCH(QString, variable);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, errors);
        QTemporaryDir planted;
        for (const char *name : {"libstdc++.so.6", "planted.so"}) {
            QFile library(planted.filePath(name));
            QVERIFY(library.open(QIODevice::WriteOnly) && library.write("not a library\n") > 0);
        }
        QVERIFY(::chmod(qPrintable(planted.path()), 0755) == 0);
        const Stage stage(installed);
        if (stage.skipReason())
            QSKIP(stage.skipReason());

        QProcess process;
        process.setEnvironment({variable.arg(planted.path())});
        startAsNobody(process, stage.helperPath(), {"127.0.0.1", ""});
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), exitCode);
        const QByteArray said = process.readAllStandardError();
        QVERIFY2(errors.isEmpty() ? !said.contains("ld.so") : said.contains(errors), said.constData());
    }

    // The kernel refuses a raw socket without SO_BROADCAST any broadcast
    // destination: the helper's request to one fails, and nothing is sent.
    void sendsNoBroadcast()
    {
        const Stage stage(Installed::FileCapability);
        if (stage.skipReason())
            QSKIP(stage.skipReason());
        // A network of the namespace's own, on a veth pair both of whose ends
        // are in it.
        for (const QStringList &command : {QStringList{"link", "add", "sondar0", "type", "veth", "peer", "sondar1"},
                                           QStringList{"addr", "add", "198.51.100.1/24", "brd", "+", "dev", "sondar0"},
                                           QStringList{"link", "set", "sondar0", "up"}})
            QVERIFY(QProcess::execute("ip", QStringList{"-n", stage.namespaceName()} + command) == 0);

        const Run run = runAsNobody(stage.helperPath(), {"198.51.100.255", "2a"});
        QCOMPARE(run.exitCode, HelperExit::kReported);
        QCOMPARE(helperOutcome(run.output.toStdString(), HelperEnd{run.exitCode}).status, IpStatus::kGeneralFailure);
        QCOMPARE(icmpCounter("OutMsgs"), 0);
    }

    void givesUpItsPrivileges_data()
    {
        QTest::addColumn<bool>("byRoot");
        QTest::addColumn<Installed>("installed");
        QTest::addColumn<QByteArray>("ids"); // real, effective, saved and file system user, then group
        QTest::newRow("run by root") << true << Installed::Plain << QByteArray("0 0 0 0");
        QTest::newRow("setuid root") << false << Installed::SetuidRoot << QByteArray("65534 65534 65534 65534");
        QTest::newRow("cap_net_raw") << false << Installed::FileCapability << QByteArray("65534 65534 65534 65534");
    }
    // While it waits for the answer to its request, the helper holds its raw
    // socket and nothing else: no capability in any set, no other user than
    // its caller, no way for anything it might run to gain any back, and of
    // the descriptors it was given only the standard three.
    void givesUpItsPrivileges()
    {
        QFETCH(bool, byRoot);
        QFETCH(Installed, installed);
        QFETCH(QByteArray, ids);
        // The loopback here answers nothing, so the helper waits its 500 ms.
        const Stage stage(installed, "net.ipv4.icmp_echo_ignore_all=1");
        if (stage.skipReason())
            QSKIP(stage.skipReason());

        QProcess process;
        // A descriptor left open for it, as a careless caller would.
        process.setChildProcessModifier([byRoot] {
            if (::open("/dev/zero", O_RDONLY) < 0 || (!byRoot && !becomeNobody()))
                ::_exit(125);
        });
        process.start(stage.helperPath(), {"127.0.0.1", ""});
        QVERIFY(process.waitForStarted());
        QVERIFY2(awaitSyscall(process.processId(), SYS_ppoll), "the helper never waited for its answer");

        const QMap<QByteArray, QByteArray> status = processStatus(process.processId());
        for (const char *set : {"CapPrm", "CapEff", "CapInh", "CapAmb"})
            QVERIFY2(status.value(set) == "0000000000000000", qPrintable(set + (": " + status.value(set))));
        QCOMPARE(status.value("NoNewPrivs"), QByteArray("1"));
        QCOMPARE(status.value("Uid"), ids);
        QCOMPARE(status.value("Gid"), ids);
        const QMap<int, QString> descriptors = descriptorsOf(process.processId());
        QCOMPARE(descriptors.keys(), QList<int>({0, 1, 2, 3}));
        QVERIFY2(descriptors.value(3).startsWith("socket:"), qPrintable(descriptors.value(3)));

        QVERIFY(process.waitForFinished(3000));
        const EchoOutcome outcome =
            helperOutcome(process.readAllStandardOutput().toStdString(), HelperEnd{process.exitCode()});
        QCOMPARE(outcome.status, IpStatus::kTimedOut);
    }

    void takesInNothingWhileHeld_data()
    {
        QTest::addColumn<Installed>("installed");
        QTest::addColumn<Holding>("holding");
        QTest::newRow("setuid root") << Installed::SetuidRoot << Holding::OutputOnly;
        QTest::newRow("cap_net_raw, every signal blocked and ignored")
            << Installed::FileCapability << Holding::SignalsBlockedAndIgnored;
        QTest::newRow("cap_net_raw, stopped") << Installed::FileCapability << Holding::Stopped;
    }
    // Its caller can hold the helper before its request goes: here with an
    // output pipe that is full, so that its acceptance can't be written, and
    // a stop on top where asked. Meanwhile its raw socket lets no ICMP type
    // in, so the kernel makes it no copy of the ICMP around it, and its queue
    // stays empty while pings pass; and the helper ends by itself at its own
    // deadline, whatever signal state its starter left it, though no one
    // ever reads its output.
    void takesInNothingWhileHeld()
    {
        QFETCH(Installed, installed);
        QFETCH(Holding, holding);
        const Stage stage(installed);
        if (stage.skipReason())
            QSKIP(stage.skipReason());
        const os::posix::Pipe full = os::posix::openPipe(O_CLOEXEC | O_NONBLOCK);
        QVERIFY(full.read.isOpen());
        const std::string filler(4096, 'x');
        while (::write(full.write.get(), filler.data(), filler.size()) > 0) {
        }
        QVERIFY(::fcntl(full.write.get(), F_SETFL, 0) == 0); // the helper's write blocks
        const QByteArray program = stage.helperPath().toLocal8Bit();
        const pid_t helper = ::fork();
        if (helper == 0) {
            char *const argv[] = {const_cast<char *>(program.constData()), const_cast<char *>("127.0.0.1"),
                                  const_cast<char *>(""), nullptr};
            char *const environment[] = {nullptr};
            if (becomeNobody() && ::dup2(full.write.get(), STDOUT_FILENO) == STDOUT_FILENO
                && (holding != Holding::SignalsBlockedAndIgnored || blockAndIgnoreSignals()))
                ::execve(argv[0], argv, environment);
            ::_exit(127);
        }
        QVERIFY(helper > 0);
        bool reaped = false;
        const auto reap = qScopeGuard([helper, &reaped] {
            if (reaped)
                return;
            ::kill(helper, SIGKILL);
            ::waitpid(helper, nullptr, 0);
        });
        const Descriptor handle(int(::syscall(SYS_pidfd_open, helper, 0)));
        QVERIFY(handle.isOpen());
        QVERIFY2(awaitSyscall(helper, SYS_write), "the helper was never held in its write");
        int status = 0;
        if (holding == Holding::Stopped)
            QVERIFY(::kill(helper, SIGSTOP) == 0 && ::waitpid(helper, &status, WUNTRACED) == helper
                    && WIFSTOPPED(status));
        QProcess ping;
        ping.start("ip", {"netns", "exec", stage.namespaceName(), "ping", "-q", "-c", "2", "-i", "0.2", "-W", "1",
                          "127.0.0.1"});
        QVERIFY2(ping.waitForFinished(5000) && ping.exitStatus() == QProcess::NormalExit && ping.exitCode() == 0,
                 "no ping passed meanwhile");
        QCOMPARE(rawReceiveQueues(), QByteArray("0")); // the helper's socket alone, and nothing in it
        // Root looks at the types its socket lets in through a copy of it.
        const Descriptor socket(int(::syscall(SYS_pidfd_getfd, handle.get(), socketOf(helper), 0)));
        icmp_filter types{};
        socklen_t size = sizeof types;
        QVERIFY(::getsockopt(socket.get(), SOL_RAW, ICMP_FILTER, &types, &size) == 0);
        QCOMPARE(types.data, ~0u);

        pollfd ended{handle.get(), POLLIN, 0};
        const auto bound = std::chrono::milliseconds(kHelperOwnDeadline) + std::chrono::seconds(1);
        QVERIFY2(::poll(&ended, 1, int(bound.count())) == 1, "the helper outlived its own deadline");
        reaped = ::waitpid(helper, &status, 0) == helper;
        QVERIFY(reaped && WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGKILL);
    }

    void cannotBeBorrowed_data() { privilegedRows(); }
    // Where the system lets privileged programs be traced once they have
    // given up their privilege (fs.suid_dumpable=1), the caller's user could
    // otherwise copy the helper's raw socket out of it while it waits, and
    // with the filter detached send and read any ICMP at all.
    void cannotBeBorrowed()
    {
        QFETCH(Installed, installed);
        const Stage stage(installed, "net.ipv4.icmp_echo_ignore_all=1");
        if (stage.skipReason())
            QSKIP(stage.skipReason());
        const testsupport::KernelSetting dumpable("/proc/sys/fs/suid_dumpable", "1");
        QVERIFY2(dumpable.set(), "cannot set fs.suid_dumpable");

        int ends[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
        const Descriptor channel(ends[0]);
        Descriptor callersEnd(ends[1]);
        const QByteArray program = stage.helperPath().toLocal8Bit();
        const pid_t caller = ::fork();
        if (caller == 0)
            actAsCaller(callersEnd, program.constData());
        callersEnd.reset();
        QVERIFY(caller > 0);
        const auto reap = qScopeGuard([caller] {
            ::kill(caller, SIGKILL);
            ::waitpid(caller, nullptr, 0);
        });

        pid_t child = -1;
        QVERIFY(receive(channel, child));
        QVERIFY2(awaitSyscall(child, SYS_ppoll), "the helper never waited for its answer");
        const int socketNumber = socketOf(child);
        QVERIFY2(socketNumber >= 0, "no socket in the helper");

        // Root takes a copy itself: the filter stays on it for anyone.
        const Descriptor handle(int(::syscall(SYS_pidfd_open, child, 0)));
        const Descriptor copy(int(::syscall(SYS_pidfd_getfd, handle.get(), socketNumber, 0)));
        QVERIFY2(copy.isOpen(), "root could not copy the helper's socket");
        const int unused = 0;
        const bool detached = ::setsockopt(copy.get(), SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) == 0;
        const int detachError = errno;
        sock_filter everything[] = {BPF_STMT(BPF_RET | BPF_K, 0xffffffff)};
        const sock_fprog wider{1, everything};
        const bool replaced = ::setsockopt(copy.get(), SOL_SOCKET, SO_ATTACH_FILTER, &wider, sizeof wider) == 0;
        const int replaceError = errno;

        Attempts attempts{};
        QVERIFY(::write(channel.get(), &socketNumber, sizeof socketNumber) == sizeof socketNumber);
        QVERIFY(receive(channel, attempts));
        const auto outcome = [](bool done, int error) { return done ? "done" : std::strerror(error); };
        QVERIFY2(attempts.attach == EPERM && attempts.takeSocket == EPERM && !detached && detachError == EPERM
                     && !replaced && replaceError == EPERM,
                 qPrintable(QString("by uid 65534: attach %1, take the socket %2; by root: detach the filter %3, "
                                    "replace it %4")
                                .arg(outcome(attempts.attach == 0, attempts.attach),
                                     outcome(attempts.takeSocket == 0, attempts.takeSocket),
                                     outcome(detached, detachError), outcome(replaced, replaceError))));
        QVERIFY(WIFEXITED(attempts.helperStatus));
        QCOMPARE(WEXITSTATUS(attempts.helperStatus), HelperExit::kReported);
    }
};

QTEST_MAIN(TestEchoHelper)
#include "tst_echohelper.moc"
