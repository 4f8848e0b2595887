// The echo helper: what it refuses and how, its report line as its caller
// reads it, and the caller's way of running it. Runs the helper built here
// (ECHO_HELPER); only 127.0.0.1 is probed.
#include "probe/EchoHelper.h"
#include "probe/EchoPacket.h"
#include "TestNamespace.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

using namespace Module1;

namespace {

const std::uint32_t Loopback = inet_addr("127.0.0.1");

struct Run {
    int exitCode;
    QByteArray output;
    QByteArray errors;
};

Run runHelper(const QStringList &arguments, const QString &program = QStringLiteral(ECHO_HELPER))
{
    QProcess helper;
    helper.start(program, arguments);
    helper.waitForFinished(5000);
    return Run{helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1, helper.readAllStandardOutput(),
               helper.readAllStandardError()};
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

// How the helper is installed and who runs it.
enum class Installed { RunByRoot, SetuidRoot, FileCapability };

// A stand-in for the helper: a shell script that writes what it was given
// into `record` and then does `then`.
QString fakeHelper(const QTemporaryDir &dir, const QByteArray &then)
{
    const QString path = dir.filePath("fake-helper");
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    script.write("#!/bin/sh\n{ echo \"args:$*\"; env; echo \"stdin:$(readlink /proc/$$/fd/0)\"; } >'"
                 + dir.filePath("record").toUtf8() + "'\n" + then + "\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
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
            QSKIP("the helper opens its raw socket before it reads its arguments: needs root here");
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);

        // Some rows name hosts off this machine ("017.0.0.1" is 15.0.0.1 to
        // inet_addr): a helper that failed to refuse them would find no route
        // out of this namespace.
        const TestNamespace space(Module1::EchoPath::Raw);
        if (!space.entered())
            QSKIP(NoNamespaces);
        const Run run = runHelper(arguments);
        QCOMPARE(run.exitCode, HelperExit::kRefused);
        QVERIFY2(run.errors.startsWith("sondar-echo: ") && run.errors.contains(message), run.errors.constData());
        QVERIFY(run.output.isEmpty());
    }

    void sendsOneRequest_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::newRow("no payload") << QString();
        QTest::newRow("128 bytes, upper-case digits") << QString(2 * kMaxPayload, 'A');
    }
    void sendsOneRequest()
    {
        if (::geteuid() != 0)
            QSKIP("needs root for the helper's raw socket");
        QFETCH(QString, payload);

        const Run run = runHelper({"127.0.0.1", payload});
        QCOMPARE(run.exitCode, HelperExit::kReported);
        const auto outcome = parseHelperReport(run.output.toStdString());
        QVERIFY2(outcome, run.output.constData());
        QCOMPARE(outcome->status, 0);
        QCOMPARE(outcome->from, Loopback);
        QVERIFY(outcome->roundTrip > std::chrono::nanoseconds::zero() && outcome->roundTrip < kEchoTimeout);
    }

    // Started with its standard descriptors closed, the helper must not take
    // one of their numbers for its socket and write its report into it.
    void reportsWithStandardDescriptorsClosed()
    {
        if (::geteuid() != 0)
            QSKIP("needs root for the helper's raw socket");
        const Run run = runHelper({"-c", "\"$0\" 127.0.0.1 '' <&- >&- 2>&-; echo $?", ECHO_HELPER}, "/bin/sh");
        QCOMPARE(run.output, QByteArray("0\n"));
    }

    void withoutTheCapability()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run the helper as another user");
        const Run run = runHelper({"--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                                   "--bounding-set=-all", ECHO_HELPER, "127.0.0.1", ""},
                                  "setpriv");
        QCOMPARE(run.exitCode, HelperExit::kNoSocket);
        QVERIFY2(run.errors.contains("cap_net_raw"), run.errors.constData());
    }

    void givesUpItsPrivileges_data()
    {
        QTest::addColumn<Installed>("installed");
        QTest::addColumn<QByteArray>("ids"); // real, effective, saved and file system user, then group
        QTest::newRow("run by root") << Installed::RunByRoot << QByteArray("0 0 0 0");
        QTest::newRow("setuid root, run by nobody") << Installed::SetuidRoot << QByteArray("65534 65534 65534 65534");
        QTest::newRow("cap_net_raw, run by nobody") << Installed::FileCapability
                                                    << QByteArray("65534 65534 65534 65534");
    }
    // While it waits for the answer to its request, the helper holds its raw
    // socket and nothing else: no capability in any set, no other user than
    // its caller, and no way for anything it might run to gain any back.
    void givesUpItsPrivileges()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to install the helper and run it as another user");
        QFETCH(Installed, installed);
        QFETCH(QByteArray, ids);

        QTemporaryDir dir;
        const QString copy = dir.filePath("sondar-echo");
        struct statvfs volume;
        QVERIFY(dir.isValid() && ::statvfs(qPrintable(dir.path()), &volume) == 0);
        QVERIFY(QFile::copy(ECHO_HELPER, copy) && ::chmod(qPrintable(dir.path()), 0755) == 0);
        QString program = copy;
        QStringList arguments{"127.0.0.1", ""};
        if (installed != Installed::RunByRoot) {
            if (installed == Installed::SetuidRoot) {
                if (volume.f_flag & ST_NOSUID)
                    QSKIP("the temporary directory's file system ignores setuid");
                QVERIFY(::chmod(qPrintable(copy), 04755) == 0);
            } else if (QProcess::execute("setcap", {"cap_net_raw+ep", copy}) != 0) {
                QSKIP("needs setcap (libcap2-bin) and a file system that keeps capabilities");
            }
            arguments = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", copy} + arguments;
            program = "setpriv";
        }

        // The loopback here answers nothing, so the helper waits its 500 ms.
        const TestNamespace space(EchoPath::Raw, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        QProcess helper;
        helper.start(program, arguments);
        QVERIFY(helper.waitForStarted());

        // The helper sleeps only in its wait for the answer: it is read as soon as it does.
        QMap<QByteArray, QByteArray> status;
        QElapsedTimer waiting;
        waiting.start();
        for (;;) {
            status = processStatus(helper.processId());
            const QByteArray state = status.value("State");
            if (state.startsWith('S') || state.startsWith('Z') || waiting.elapsed() > 2000)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        QVERIFY2(status.value("State").startsWith('S'), status.value("State").constData());

        for (const char *set : {"CapPrm", "CapEff", "CapInh", "CapAmb"})
            QVERIFY2(status.value(set) == "0000000000000000", qPrintable(set + (": " + status.value(set))));
        QCOMPARE(status.value("NoNewPrivs"), QByteArray("1"));
        QCOMPARE(status.value("Uid"), ids);
        QCOMPARE(status.value("Gid"), ids);

        QVERIFY(helper.waitForFinished(3000));
        QCOMPARE(helper.exitCode(), HelperExit::kReported);
        const auto outcome = parseHelperReport(helper.readAllStandardOutput().toStdString());
        QVERIFY(outcome);
        QCOMPARE(outcome->status, IpStatus::kTimedOut);
    }

    void readsOnlyAWellFormedReport_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<bool>("read");

        QTest::newRow("reply") << QByteArray("status=0 rtt_ns=41234 from=127.0.0.1\n") << true;
        QTest::newRow("time-out") << QByteArray("status=11010 rtt_ns=0 from=0.0.0.0\n") << true;
        QTest::newRow("no newline") << QByteArray("status=0 rtt_ns=41234 from=127.0.0.1") << false;
        QTest::newRow("second line") << QByteArray("status=0 rtt_ns=41234 from=127.0.0.1\nstatus=0\n") << false;
        QTest::newRow("fields swapped") << QByteArray("rtt_ns=41234 status=0 from=127.0.0.1\n") << false;
        QTest::newRow("negative status") << QByteArray("status=-1 rtt_ns=0 from=127.0.0.1\n") << false;
        QTest::newRow("negative time") << QByteArray("status=0 rtt_ns=-5 from=127.0.0.1\n") << false;
        QTest::newRow("time beyond a minute") << QByteArray("status=0 rtt_ns=60000000001 from=127.0.0.1\n") << false;
        QTest::newRow("status beyond 32 bits") << QByteArray("status=2147483648 rtt_ns=0 from=127.0.0.1\n") << false;
        QTest::newRow("short address") << QByteArray("status=0 rtt_ns=1 from=127.1\n") << false;
        QTest::newRow("two blanks") << QByteArray("status=0  rtt_ns=1 from=127.0.0.1\n") << false;
        QTest::newRow("empty value") << QByteArray("status= rtt_ns=1 from=127.0.0.1\n") << false;
        QTest::newRow("longer than a report")
            << QByteArray("status=0 rtt_ns=" + QByteArray(kHelperMaxReport, '0') + "1 from=127.0.0.1\n") << false;
        QTest::newRow("nothing") << QByteArray() << false;
    }
    void readsOnlyAWellFormedReport()
    {
        QFETCH(QByteArray, report);
        QFETCH(bool, read);
        QCOMPARE(parseHelperReport(report.toStdString()).has_value(), read);
    }

    void reportReadsBackAsWritten()
    {
        const EchoOutcome written{IpStatus::kHostUnreachable, std::chrono::nanoseconds(123456789),
                                  inet_addr("203.0.113.254"), EchoPath::Raw};
        const std::string line = formatHelperReport(written);
        QVERIFY(line.size() <= kHelperMaxReport);
        const auto read = parseHelperReport(line);
        QVERIFY(read);
        QCOMPARE(read->status, written.status);
        QCOMPARE(read->roundTrip.count(), written.roundTrip.count());
        QCOMPARE(read->from, written.from);
        QCOMPARE(read->path, EchoPath::Helper);
    }

    // The caller gives the helper the address in dotted decimal, the payload
    // in hexadecimal, no environment and /dev/null as its input.
    void callerRunsItCleanly()
    {
        QTemporaryDir dir;
        const QString helper = fakeHelper(dir, "echo 'status=0 rtt_ns=2500000 from=127.0.0.1'");
        qputenv("SONDAR_TEST_INHERITED", "1");
        const EchoOutcome outcome = echoThroughHelperAt(qPrintable(helper), Loopback, std::string("*\0\xff", 3));
        qunsetenv("SONDAR_TEST_INHERITED");

        QCOMPARE(outcome.status, 0);
        QCOMPARE(outcome.roundTrip.count(), 2500000);
        QCOMPARE(outcome.path, EchoPath::Helper);
        QFile record(dir.filePath("record"));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = record.readAll().split('\n');
        QCOMPARE(lines.first(), QByteArray("args:127.0.0.1 2a00ff"));
        QVERIFY2(!lines.contains("SONDAR_TEST_INHERITED=1") && !lines.contains("HOME=" + qgetenv("HOME")),
                 record.fileName().toUtf8());
        QVERIFY(lines.contains("stdin:/dev/null"));
    }

    // Whatever goes wrong with the helper, the probe counts as not sent.
    void callerTakesAFailedHelperAsNoEchoService_data()
    {
        QTest::addColumn<QByteArray>("then");
        QTest::newRow("refuses") << QByteArray("echo 'sondar-echo: refused' >&2; exit 2");
        QTest::newRow("reports, then fails") << QByteArray("echo 'status=0 rtt_ns=1 from=127.0.0.1'; exit 3");
        QTest::newRow("garbled report") << QByteArray("echo 'status=zero'");
        QTest::newRow("endless output") << QByteArray("exec yes status=0");
        QTest::newRow("killed") << QByteArray("kill -9 $$");
        QTest::newRow("never ends") << QByteArray("exec sleep 60");
        QTest::newRow("closes its output, never ends") << QByteArray("exec >&- && exec sleep 60");
    }
    void callerTakesAFailedHelperAsNoEchoService()
    {
        QFETCH(QByteArray, then);
        QTemporaryDir dir;
        const QString helper = fakeHelper(dir, then);
        const auto start = std::chrono::steady_clock::now();
        const EchoOutcome outcome = echoThroughHelperAt(qPrintable(helper), Loopback, "*");
        QCOMPARE(outcome.status, -1);
        QCOMPARE(outcome.path, EchoPath::None);
        QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    }

    // Only a refusal for want of permission goes to the helper; a process out
    // of descriptors or memory would start it in vain.
    void helperOnlyForRefusals_data()
    {
        QTest::addColumn<int>("datagramError");
        QTest::addColumn<int>("rawError");
        QTest::addColumn<bool>("helper");

        QTest::newRow("both refused") << EACCES << EPERM << true;
        QTest::newRow("both refused, EPERM") << EPERM << EPERM << true;
        QTest::newRow("no datagram socket in the kernel") << EPROTONOSUPPORT << EPERM << true;
        QTest::newRow("no ICMP for this family") << EAFNOSUPPORT << EACCES << true;
        QTest::newRow("raw: out of descriptors") << EACCES << EMFILE << false;
        QTest::newRow("raw: system out of descriptors") << EACCES << ENFILE << false;
        QTest::newRow("raw: out of buffers") << EACCES << ENOBUFS << false;
        QTest::newRow("raw: out of memory") << EPERM << ENOMEM << false;
        QTest::newRow("raw: not supported") << EACCES << EPROTONOSUPPORT << false;
        QTest::newRow("datagram: out of descriptors") << EMFILE << EPERM << false;
        QTest::newRow("datagram: out of memory") << ENOMEM << EACCES << false;
    }
    void helperOnlyForRefusals()
    {
        QFETCH(int, datagramError);
        QFETCH(int, rawError);
        QFETCH(bool, helper);
        QCOMPARE(helperMaySend(datagramError, rawError), helper);
    }

    void callerWithoutAHelper()
    {
        const EchoOutcome outcome = echoThroughHelperAt("/nonexistent/sondar-echo", Loopback, "*");
        QCOMPARE(outcome.status, -1);
        QCOMPARE(outcome.path, EchoPath::None);
    }
};

QTEST_MAIN(TestEchoHelper)
#include "tst_echohelper.moc"
