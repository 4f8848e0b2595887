// What passes between the echo helper and its caller: the helper's reading of
// its command line, and how the caller runs the helper and what it makes of
// the helper's output and of its end, with shell scripts standing in for the
// helper. Nothing is sent; runs anywhere, for any user.
#include "probe/linux/EchoHelper.h"
#include "probe/linux/EchoPacket.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <variant>
#include <vector>

using namespace Module1;

namespace {

const std::uint32_t Loopback = inet_addr("127.0.0.1");

// A stand-in for the helper: a shell script that writes what it was given
// into `record` (its arguments, its environment, and each descriptor it holds
// but the one the shell reads the script through, as "fd:N:LINK") and then
// does `then`.
QString fakeHelper(const QTemporaryDir &dir, const QByteArray &then)
{
    const QString path = dir.filePath("fake-helper");
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    // The descriptors are listed by a child of the script's shell, so that
    // the shell opens nothing of its own meanwhile.
    const QByteArray record = "'" + dir.filePath("record").toUtf8() + "'";
    script.write("#!/bin/sh\n{ echo \"args:$*\"; env; } >" + record + "\n"
                 "/bin/sh -c 'for fd in /proc/$1/fd/*; do link=$(readlink \"$fd\"); "
                 "[ \"$link\" = \"$2\" ] || echo \"fd:${fd##*/}:$link\"; done >>\"$3\"' sh $$ \"$0\" " + record + "\n"
                 + then + "\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

class TestEchoCaller : public QObject {
    Q_OBJECT

private slots:
    void readsStrictDottedDecimal_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("read");
        for (const char *text : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "1.20.199.250"})
            QTest::newRow(text) << QByteArray(text) << true;
        for (const char *text : {"", "localhost", "127.1", "127.0.1", "017.0.0.1", "00.0.0.0", "127.0.0.01",
                                 "0x7f.0.0.1", "127.0.0.256", "1000.0.0.1", "127.0.0.1.1", "127.0.0.", ".127.0.0.1",
                                 "127..0.1", "+127.0.0.1", "127.-0.0.1", "127.0.0.1 ", " 127.0.0.1", "-h"})
            QTest::newRow(qPrintable("refused: '" + QByteArray(text) + "'")) << QByteArray(text) << false;
    }
    // In network byte order, as inet_addr reads the same text, and written
    // back as it was given.
    void readsStrictDottedDecimal()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, read);
        const auto address = parseDottedDecimal(text.toStdString());
        QCOMPARE(address.has_value(), read);
        if (!read)
            return;
        QCOMPARE(*address, inet_addr(text.constData()));
        QCOMPARE(QByteArray::fromStdString(dottedDecimal(*address)), text);
    }

    void readsOnlyItsCommandLine_data()
    {
        QTest::addColumn<QByteArrayList>("arguments");
        QTest::addColumn<QByteArray>("refusal"); // part of the message; empty where it is accepted
        QTest::addColumn<QByteArray>("payload");
        const QByteArray longest(kMaxPayload, '\xab');
        const QByteArray longestHex = longest.toHex();
        const auto accepts = [](const char *what, const QByteArrayList &arguments, const QByteArray &payload) {
            QTest::newRow(what) << arguments << QByteArray() << payload;
        };
        const auto refuses = [](const char *what, const QByteArrayList &arguments, const char *refusal) {
            QTest::newRow(what) << arguments << QByteArray(refusal) << QByteArray();
        };
        accepts("no payload", {"127.0.0.1", ""}, "");
        accepts("128 bytes", {"127.0.0.1", longestHex}, longest);
        accepts("upper-case digits", {"127.0.0.1", "2A00fF"}, QByteArray("\x2a\x00\xff", 3));
        accepts("last address below multicast", {"223.255.255.255", "2a"}, "*");
        refuses("no arguments", {}, "usage:");
        refuses("no payload argument", {"127.0.0.1"}, "usage:");
        refuses("an extra argument", {"127.0.0.1", "", "-f"}, "usage:");
        refuses("leading zero", {"127.0.0.01", ""}, "dotted decimal");
        refuses("broadcast", {"255.255.255.255", ""}, "255.255.255.255");
        refuses("first multicast address", {"224.0.0.1", "2a"}, "224.0.0.0/4");
        refuses("last multicast address", {"239.255.255.255", "2a"}, "224.0.0.0/4");
        refuses("first reserved address", {"240.0.0.0", "2a"}, "240.0.0.0/4");
        refuses("last reserved address", {"255.255.255.254", "2a"}, "240.0.0.0/4");
        refuses("129 bytes", {"127.0.0.1", longestHex + "ab"}, "longer than 128");
        refuses("odd digit count", {"127.0.0.1", "2a2"}, "hexadecimal");
        refuses("not hexadecimal", {"127.0.0.1", "2g"}, "hexadecimal");
        refuses("hexadecimal with a prefix", {"127.0.0.1", "0x2a"}, "hexadecimal");
    }
    void readsOnlyItsCommandLine()
    {
        QFETCH(QByteArrayList, arguments);
        QFETCH(QByteArray, refusal);
        QFETCH(QByteArray, payload);
        std::vector<const char *> argv;
        for (const QByteArray &argument : arguments)
            argv.push_back(argument.constData());
        const auto read = parseHelperArguments(argv);
        if (const auto *why = std::get_if<std::string>(&read)) {
            QVERIFY2(!refusal.isEmpty() && why->find(refusal.toStdString()) != std::string::npos, why->c_str());
            return;
        }
        QVERIFY2(refusal.isEmpty(), "accepted");
        const auto &request = std::get<HelperRequest>(read);
        QCOMPARE(request.target, inet_addr(arguments[0].constData()));
        QCOMPARE(QByteArray::fromStdString(request.payload), payload);
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
    // in hexadecimal, no environment, and of its descriptors none but the
    // pipe for the report, with /dev/null as input and error output.
    void callerRunsItCleanly()
    {
        QTemporaryDir dir;
        const QString helper = fakeHelper(dir, "echo accepted; echo 'status=0 rtt_ns=2500000 from=127.0.0.1'");
        qputenv("SONDAR_TEST_INHERITED", "1");
        const int leaked = ::open("/dev/zero", O_RDONLY); // without O_CLOEXEC, as careless code leaves one
        const EchoOutcome outcome = echoThroughHelperAt(qPrintable(helper), Loopback, std::string("*\0\xff", 3));
        ::close(leaked);
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
        QByteArrayList held;
        for (const QByteArray &line : lines)
            if (line.startsWith("fd:"))
                held << (line.startsWith("fd:1:pipe:") ? "fd:1:pipe" : line);
        QCOMPARE(held.join(' '), QByteArray("fd:0:/dev/null fd:1:pipe fd:2:/dev/null"));
    }

    void judgesARunByItsAcceptance_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode"); // -1: killed
        QTest::addColumn<bool>("overdue");
        QTest::addColumn<int>("status");
        const QByteArray accepted(kHelperAccepted.data(), qsizetype(kHelperAccepted.size()));
        const QByteArray reply = "status=0 rtt_ns=41234 from=127.0.0.1\n";
        const int failure = IpStatus::kGeneralFailure;
        const auto row = [](const char *what, const QByteArray &output, int exitCode, bool overdue, int status) {
            QTest::newRow(what) << output << exitCode << overdue << status;
        };
        row("reply", accepted + reply, HelperExit::kReported, false, 0);
        row("time-out", accepted + "status=11010 rtt_ns=0 from=0.0.0.0\n", HelperExit::kReported, false,
            IpStatus::kTimedOut);
        // Nothing was sent.
        row("refused", {}, HelperExit::kRefused, false, -1);
        row("no socket", {}, HelperExit::kNoSocket, false, -1);
        row("could not put itself in order", {}, HelperExit::kUnsafe, false, -1);
        row("killed before it accepted", {}, -1, false, -1);
        row("overdue before it accepted", {}, -1, true, -1);
        row("acceptance cut short", accepted.left(4), -1, false, -1);
        row("a report without acceptance", reply, HelperExit::kReported, false, -1);
        // Sent, or about to be: no reply.
        row("killed after it accepted", accepted, -1, false, failure);
        row("killed after its report", accepted + reply, -1, false, failure);
        row("overdue after it accepted", accepted, -1, true, IpStatus::kTimedOut);
        row("no report", accepted, HelperExit::kReported, false, failure);
        row("garbled report", accepted + "status=zero\n", HelperExit::kReported, false, failure);
        row("report, then another exit code", accepted + reply, HelperExit::kUnsafe, false, failure);
        row("report with trailing bytes", accepted + reply + "x", HelperExit::kReported, false, failure);
    }
    void judgesARunByItsAcceptance()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        QFETCH(bool, overdue);
        QFETCH(int, status);
        const HelperEnd end{exitCode < 0 ? std::nullopt : std::optional<int>(exitCode), overdue};
        const EchoOutcome outcome = helperOutcome(output.toStdString(), end);
        QCOMPARE(outcome.status, status);
        QCOMPARE(outcome.path, status < 0 ? EchoPath::None : EchoPath::Helper);
    }

    // The same from real runs of helpers that misbehave in each way the
    // caller must notice: refusing, dying, writing without end or more than
    // the helper writes (its acceptance and its longest report), never ending.
    void endsAMisbehavingHelper_data()
    {
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<int>("status");
        const int failure = IpStatus::kGeneralFailure;
        // The acceptance, then `size` bytes of digits, and the output held open.
        const auto acceptedThen = [](std::size_t size) {
            return "printf '%s%0" + QByteArray::number(size) + "d' '"
                + QByteArray(kHelperAccepted.data(), qsizetype(kHelperAccepted.size())) + "' 0; exec sleep 60";
        };
        // Read to the end, which never comes: overdue.
        QTest::newRow("as long as the longest output, held open")
            << acceptedThen(kHelperMaxReport) << int(IpStatus::kTimedOut);
        // One byte more, and the caller reads no further.
        QTest::newRow("one byte longer, held open") << acceptedThen(kHelperMaxReport + 1) << failure;
        QTest::newRow("refuses") << QByteArray("echo 'sondar-echo: refused' >&2; exit 2") << -1;
        QTest::newRow("never ends, unaccepted") << QByteArray("exec sleep 60") << -1;
        QTest::newRow("killed") << QByteArray("echo accepted; kill -9 $$") << failure;
        QTest::newRow("endless output") << QByteArray("echo accepted; exec yes status=0") << failure;
        QTest::newRow("never ends") << QByteArray("echo accepted; exec sleep 60") << int(IpStatus::kTimedOut);
        QTest::newRow("closes its output, never ends")
            << QByteArray("echo accepted; exec >&- && exec sleep 60") << int(IpStatus::kTimedOut);
    }
    void endsAMisbehavingHelper()
    {
        QFETCH(QByteArray, then);
        QFETCH(int, status);
        QTemporaryDir dir;
        const QString helper = fakeHelper(dir, then);
        const EchoOutcome outcome = echoThroughHelperAt(qPrintable(helper), Loopback, "*", std::chrono::milliseconds(300));
        QCOMPARE(outcome.status, status);
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

QTEST_APPLESS_MAIN(TestEchoCaller)
#include "tst_echocaller.moc"
