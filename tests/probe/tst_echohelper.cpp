// The echo helper as installed: copies of the helper built here, set up as the
// package sets it up (or without the privilege it needs), started by a process
// of uid 65534 that holds no capability. What it refuses, what it sends, what
// it holds while it waits.
// Only 127.0.0.1 inside namespaces of the test's own is probed. Needs root.
#include "probe/EchoHelper.h"
#include "probe/EchoPacket.h"
#include "InstalledHelper.h"
#include "TestNamespace.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <thread>

using namespace Module1;
using namespace probetest;

Q_DECLARE_METATYPE(Installed)

namespace {

const char *const kNeedsRoot = "needs root to install copies of the helper and run them as another user";

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

// Waits until the helper `pid` is blocked in its wait for the answer (the
// only ppoll it makes): by then it holds its socket, with its filter, and has
// given up its privileges. False when it ends or takes longer than seconds.
bool awaitItsWait(qint64 pid)
{
    const QByteArray waiting = QByteArray::number(SYS_ppoll) + ' ';
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

} // namespace

class TestEchoHelper : public QObject {
    Q_OBJECT

private slots:
    void refusesAnyOtherUse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");

        const QString longest(2 * kMaxPayload, 'a');
        QTest::newRow("no arguments") << QStringList{} << QByteArray("usage:");
        QTest::newRow("no payload") << QStringList{"127.0.0.1"} << QByteArray("usage:");
        QTest::newRow("an extra argument") << QStringList{"127.0.0.1", "", "-f"} << QByteArray("usage:");
        QTest::newRow("host name") << QStringList{"localhost", ""} << QByteArray("dotted decimal");
        QTest::newRow("leading zero, octal elsewhere") << QStringList{"017.0.0.1", ""} << QByteArray("dotted decimal");
        QTest::newRow("short form") << QStringList{"127.1", ""} << QByteArray("dotted decimal");
        QTest::newRow("hexadecimal part") << QStringList{"0x7f.0.0.1", ""} << QByteArray("dotted decimal");
        QTest::newRow("part above 255") << QStringList{"127.0.0.256", ""} << QByteArray("dotted decimal");
        QTest::newRow("five parts") << QStringList{"127.0.0.1.1", ""} << QByteArray("dotted decimal");
        QTest::newRow("sign") << QStringList{"+127.0.0.1", ""} << QByteArray("dotted decimal");
        QTest::newRow("trailing blank") << QStringList{"127.0.0.1 ", ""} << QByteArray("dotted decimal");
        QTest::newRow("option-like address") << QStringList{"-h", ""} << QByteArray("dotted decimal");
        QTest::newRow("broadcast") << QStringList{"255.255.255.255", ""} << QByteArray("255.255.255.255");
        QTest::newRow("129-byte payload") << QStringList{"127.0.0.1", longest + "aa"} << QByteArray("longer than 128");
        QTest::newRow("odd digit count") << QStringList{"127.0.0.1", "2a2"} << QByteArray("hexadecimal");
        QTest::newRow("not hexadecimal") << QStringList{"127.0.0.1", "2g"} << QByteArray("hexadecimal");
    }
    void refusesAnyOtherUse()
    {
        if (::geteuid() != 0)
            QSKIP(kNeedsRoot);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        const InstalledHelper helper(Installed::FileCapability);
        if (helper.skipReason())
            QSKIP(helper.skipReason());
        // Some rows name hosts off this machine ("017.0.0.1" is 15.0.0.1 to
        // inet_addr): a helper that failed to refuse them would find no route
        // out of this namespace.
        const TestNamespace space(EchoPath::Raw);
        if (!space.entered())
            QSKIP(NoNamespaces);

        const Run run = runAsNobody(helper.path(), arguments);
        QCOMPARE(run.exitCode, HelperExit::kRefused);
        QVERIFY2(run.errors.startsWith("sondar-echo: ") && run.errors.contains(message), run.errors.constData());
        QVERIFY(run.output.isEmpty());
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
        if (::geteuid() != 0)
            QSKIP(kNeedsRoot);
        QFETCH(Installed, installed);
        QFETCH(QString, payload);
        QFETCH(int, exitCode);
        const InstalledHelper helper(installed);
        if (helper.skipReason())
            QSKIP(helper.skipReason());
        const TestNamespace space(EchoPath::Raw);
        if (!space.entered())
            QSKIP(NoNamespaces);

        const Run run = runAsNobody(helper.path(), {"127.0.0.1", payload});
        QCOMPARE(run.exitCode, exitCode);
        if (exitCode == HelperExit::kNoSocket)
            QVERIFY2(run.errors.contains("cap_net_raw"), run.errors.constData());
        if (exitCode != HelperExit::kReported)
            return;
        const auto outcome = parseHelperReport(run.output.toStdString());
        QVERIFY2(outcome, run.output.constData());
        QCOMPARE(outcome->status, 0);
        QCOMPARE(outcome->from, inet_addr("127.0.0.1"));
        QVERIFY(outcome->roundTrip > std::chrono::nanoseconds::zero() && outcome->roundTrip < kEchoTimeout);
    }

    // Started with its standard descriptors closed, the helper must not take
    // one of their numbers for its socket and write its report into it.
    void reportsWithStandardDescriptorsClosed()
    {
        if (::geteuid() != 0)
            QSKIP("needs root for the helper's raw socket");
        const TestNamespace space(EchoPath::Raw);
        if (!space.entered())
            QSKIP(NoNamespaces);
        QProcess shell;
        shell.start("/bin/sh", {"-c", "\"$0\" 127.0.0.1 '' <&- >&- 2>&-; echo $?", ECHO_HELPER});
        QVERIFY(shell.waitForFinished(5000));
        QCOMPARE(shell.readAllStandardOutput(), QByteArray("0\n"));
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
        if (::geteuid() != 0)
            QSKIP(kNeedsRoot);
        QFETCH(bool, byRoot);
        QFETCH(Installed, installed);
        QFETCH(QByteArray, ids);
        const InstalledHelper helper(installed);
        if (helper.skipReason())
            QSKIP(helper.skipReason());
        // The loopback here answers nothing, so the helper waits its 500 ms.
        const TestNamespace space(EchoPath::Raw, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);

        QProcess process;
        // A descriptor left open for it, as a careless caller would.
        process.setChildProcessModifier([byRoot] {
            if (::open("/dev/zero", O_RDONLY) < 0 || (!byRoot && !becomeNobody()))
                ::_exit(125);
        });
        process.start(helper.path(), {"127.0.0.1", ""});
        QVERIFY(process.waitForStarted());
        QVERIFY2(awaitItsWait(process.processId()), "the helper never waited for its answer");

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
        QCOMPARE(process.exitCode(), HelperExit::kReported);
        const auto outcome = parseHelperReport(process.readAllStandardOutput().toStdString());
        QVERIFY(outcome);
        QCOMPARE(outcome->status, IpStatus::kTimedOut);
    }
};

QTEST_MAIN(TestEchoHelper)
#include "tst_echohelper.moc"
