// Echo probes over real sockets. Everything sent goes to loopback addresses
// inside network namespaces that the tests make and delete; those cases need
// root and skip themselves without it.
#include "probe/AddressText.h"
#include "probe/linux/EchoClock.h"
#include "probe/linux/EchoExchange.h"
#include "probe/linux/EchoPacket.h"
#include "probe/linux/LinuxEcho.h"
#include "probe/Module1.h"
#include "TestNamespace.h"
#include "TestResponder.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>

using namespace Module1;
using namespace probetest;
using namespace std::chrono_literals;

namespace {

// How the tests' own host answers an echo request. Errors, and the right
// reply among the stray ones, come from 127.0.0.2: another host as far as the
// prober is concerned.
enum class Answer { Nothing, LateReply, NetUnreachable, TtlExpired, StrayReplies };
constexpr auto ReplyDelay = 20ms;
// Stray replies keep coming this long after the request, every 100 ms.
constexpr auto StraysFor = 3s;
const std::uint32_t OtherHost = inet_addr("127.0.0.2");
// An identifier held by another datagram socket.
constexpr quint16 HeldId = 0x4321;
constexpr qint64 kNoStamp = std::numeric_limits<qint64>::min();

void respond(Answer how, TestResponder &host, const probetest::Request &r)
{
    const auto reply = [&r](std::uint32_t from, int idShift, int sequenceShift) {
        return datagram(from, r.source, echo(Icmp::kEchoReply, std::uint16_t(r.id + idShift),
                                             std::uint16_t(r.sequence + sequenceShift), r.payload));
    };
    switch (how) {
    case Answer::LateReply:
        host.sendAfter(r, ReplyDelay, genuineReply(r));
        break;
    case Answer::NetUnreachable:
        host.send(error(Icmp::kDestinationUnreachable, 0, r.packet, OtherHost));
        break;
    case Answer::TtlExpired:
        host.send(error(Icmp::kTimeExceeded, 0, r.packet, OtherHost));
        break;
    case Answer::StrayReplies:
        for (auto after = 0ms; after < StraysFor; after += 100ms)
            for (const Packet &stray : {reply(r.destination, 1, 0), reply(OtherHost, 0, 0)})
                host.sendAfter(r, after, stray);
        break;
    case Answer::Nothing:
        break;
    }
}

} // namespace

Q_DECLARE_METATYPE(Answer)

class TestSendEcho : public QObject {
    Q_OBJECT

private slots:
    void measuresRoundTrip_data()
    {
        // Times in microseconds from the send on the wall clock (stamps) or on
        // the monotonic clock (the reading), kNoStamp for a stamp not given.
        QTest::addColumn<qint64>("transmittedUs"); // the kernel's stamp of the request leaving
        QTest::addColumn<qint64>("arrivedUs");     // the kernel's stamp of the answer's arrival
        QTest::addColumn<qint64>("readUs");        // when the answer was read
        QTest::addColumn<qint64>("stepUs");        // the wall clock set by this much in between
        QTest::addColumn<qint64>("roundTripUs");
        QTest::addColumn<bool>("late"); // more than the time-out after the send
        const auto row = [](const char *what, qint64 transmitted, qint64 arrived, qint64 read, qint64 step,
                            qint64 roundTrip, bool late = false) {
            QTest::newRow(what) << transmitted << arrived << read << step << roundTrip << late;
        };
        row("stamped on arrival", kNoStamp, 20'500, 20'900, 0, 20'500);
        row("from the kernel's transmit stamp", 30, 20'500, 20'900, 0, 20'470);
        row("stamped at the moment of the send", kNoStamp, 0, 300, 0, 0);
        row("no stamp", kNoStamp, kNoStamp, 20'900, 0, 20'900);
        row("stamped before the send", kNoStamp, -1'000, 20'900, 0, 20'900);
        row("clocks read 3 us apart, no step", kNoStamp, 20'500, 20'900, 3, 20'500);
        // Read long after the deadline, as by a process that was not scheduled.
        row("arrived in time, read late", kNoStamp, 300'000, 700'000, 0, 300'000);
        row("arrived at the deadline, read late", 30, 500'030, 700'000, 0, 500'000);
        row("arrived too late", kNoStamp, 600'000, 700'000, 0, 600'000, true);
        row("arrived too late, seen soon", 30, 500'040, 500'100, 0, 500'010, true);
        row("no stamp, read late", kNoStamp, kNoStamp, 700'000, 0, 700'000, true);
        // A step of the wall clock of any size between the send and the
        // reading: the monotonic clock measures.
        row("clock set back 60 ms", kNoStamp, 40'000, 100'400, -60'000, 100'400);
        row("clock set back 1 ms", kNoStamp, 99'000, 100'400, -1'000, 100'400);
        row("clock set back 20 us", 30, 100'010, 100'400, -20, 100'400);
        row("clock set back after the arrival", kNoStamp, 100'000, 100'400, -60'000, 100'400);
        row("clock set back before the transmit stamp", -59'970, 40'000, 100'400, -60'000, 100'400);
        row("clock set back an hour", kNoStamp, 100'000 - 3'600'000'000ll, 100'400, -3'600'000'000ll, 100'400);
        row("clock set forward 60 ms", kNoStamp, 160'000, 100'400, 60'000, 100'400);
        row("clock set back, arrived too late", kNoStamp, 450'000, 700'000, -250'000, 700'000, true);
    }
    void measuresRoundTrip()
    {
        QFETCH(qint64, transmittedUs);
        QFETCH(qint64, arrivedUs);
        QFETCH(qint64, readUs);
        QFETCH(qint64, stepUs);
        QFETCH(qint64, roundTripUs);
        QFETCH(bool, late);
        // Sent at 1000 s wall-clock time and 50 s monotonic time.
        const auto steady = 50s, wall = 1000s;
        const auto stamp = [wall](qint64 us) {
            return us == kNoStamp ? std::nullopt : std::optional<std::chrono::nanoseconds>(wall + us * 1us);
        };
        const SendStamp sent{{steady, wall}, stamp(transmittedUs)};
        const ReceiveStamp received{stamp(arrivedUs), {steady + readUs * 1us, wall + (readUs + stepUs) * 1us}};
        const auto measured = roundTripTime(sent, received);
        QCOMPARE(qint64(measured.count()), roundTripUs * 1000);
        QCOMPARE(measured > kEchoTimeout, late);
    }

    void refusesUnusableAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("host name") << "localhost";
        QTest::newRow("empty") << "";
        QTest::newRow("all ones") << "255.255.255.255";
        QTest::newRow("part above 255") << "127.0.0.256";
        QTest::newRow("five parts") << "127.0.0.1.1";
        QTest::newRow("letters after the number") << "127.0.0.1x";
        QTest::newRow("NUL inside") << QStringLiteral("127.0.0\u0000.1");
        // Padded with zeros: inet_addr would read each of these as octal, as
        // 127.0.0.1 or 127.0.0.8, so even unrefused they stay on loopback.
        QTest::newRow("first part padded") << "0177.0.0.1";
        QTest::newRow("last part padded") << "127.0.0.01";
        QTest::newRow("last part padded, 010") << "127.0.0.010";
        QTest::newRow("double zero") << "127.00.0.1";
    }
    void refusesUnusableAddress()
    {
        QFETCH(QString, address);
        EchoReply reply{1, 2, 3};
        QCOMPARE(SendEcho(address.toStdString(), "****", reply), -1);
        QCOMPARE(reply.Address, 1u);
        QCOMPARE(reply.Status, 2);
        QCOMPARE(reply.RoundTripTime, 3);
    }

    void spotsMisleadingAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("misleading");
        const auto row = [](const char *what, const QString &address, bool misleading) {
            QTest::newRow(what) << address << misleading;
        };
        // Read by inet_addr as octal, so as another host than the eye sees.
        row("leading zero, first part", "010.0.0.1", true);
        row("leading zero, last part", "127.0.0.01", true);
        row("leading zeros, three digits", "192.168.001.001", true);
        row("double zero", "10.00.0.1", true);
        row("padded part after a hexadecimal one", "0x7f.01.0.1", true);
        row("padded single number", "017700000001", true);
        row("padded last of fewer parts", "127.01", true);
        row("NUL inside", QStringLiteral("127.0.0\u0000.1"), true);
        // Plain, or in a notation that shows what it means.
        row("dotted decimal", "192.168.100.10", false);
        row("single zeros", "0.0.0.0", false);
        row("zeros at the end of a part", "10.100.0.200", false);
        row("hexadecimal parts", "0x7f.0X0.0x00.0x1", false);
        row("fewer parts", "127.1", false);
        row("single 32-bit number", "2130706433", false);
        row("single zero", "0", false);
        row("empty", "", false);
        row("host name", "localhost", false);
    }
    // A pure check on the text: nothing is sent.
    void spotsMisleadingAddress()
    {
        QFETCH(QString, address);
        QFETCH(bool, misleading);
        QCOMPARE(isMisleadingAddress(address.toStdString()), misleading);
    }

    void repliesOnLoopback_data()
    {
        QTest::addColumn<EchoPath>("path");
        QTest::addColumn<int>("size");
        for (const auto &[path, name] : EchoPaths) {
            QTest::addRow("%s, empty payload", name) << path << 0;
            QTest::addRow("%s, 128 characters", name) << path << 128;
        }
    }
    void repliesOnLoopback()
    {
        QFETCH(EchoPath, path);
        QFETCH(int, size);
        TestNamespace space(path);
        if (!space.entered())
            QSKIP(NoNamespaces);

        const std::string payload(std::size_t(size), '*');
        QCOMPARE(echoOnce(inet_addr("127.0.0.1"), payload).path, path);
        EchoReply reply{0, IpStatus::kTimedOut, -1};
        const auto start = std::chrono::steady_clock::now();
        QCOMPARE(SendEcho("127.0.0.1", payload, reply), 0);
        const auto call = std::chrono::steady_clock::now() - start;
        QCOMPARE(reply.Status, 0);
        QVERIFY2(reply.RoundTripTime >= 0 && reply.RoundTripTime * 1ms <= call,
                 qPrintable(QString::number(reply.RoundTripTime)));
        QCOMPARE(reply.Address, inet_addr("127.0.0.1"));
    }

    void reportsOutcome_data()
    {
        QTest::addColumn<EchoPath>("path");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("status");
        for (const auto &[path, name] : EchoPaths) {
            const auto row = [&](const char *what, Answer answer, int size, int status,
                                 const QString &address = "127.0.0.1") {
                QTest::addRow("%s, %s", name, what) << path << answer << address << size << status;
            };
            row("late reply", Answer::LateReply, 32, 0);
            row("late reply, empty", Answer::LateReply, 0, 0);
            row("late reply, 128", Answer::LateReply, 128, 0);
            row("net unreachable", Answer::NetUnreachable, 32, IpStatus::kNetUnreachable);
            row("TTL expired", Answer::TtlExpired, 32, IpStatus::kTtlExpiredTransit);
            row("unreachable route", Answer::Nothing, 32, IpStatus::kHostUnreachable, "192.0.2.1");
            row("silent host", Answer::Nothing, 32, IpStatus::kTimedOut);
            row("stray replies only", Answer::StrayReplies, 32, IpStatus::kTimedOut);
        }
    }
    // The one time this asserts is the time-out: a probe without an answer
    // ends no sooner than kEchoTimeout after its send and, however many
    // stray packets keep coming, long before they stop; an answer ends it
    // sooner, a reply measured from the send, no less than the host's delay.
    void reportsOutcome()
    {
        QFETCH(EchoPath, path);
        QFETCH(Answer, answer);
        QFETCH(QString, address);
        QFETCH(int, size);
        QFETCH(int, status);
        TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        const std::string payload(std::size_t(size), '*');
        // Only a request carrying the payload as given is answered, so that
        // one changed on the way shows as a time-out.
        TestResponder host([answer, payload](TestResponder &self, const probetest::Request &r) {
            if (r.payload == payload)
                respond(answer, self, r);
        });
        QVERIFY(host.isRunning());

        // The record holds the opposite outcome from before, which must not survive.
        EchoReply reply{0, status == 0 ? IpStatus::kTimedOut : 0, 12345};
        const auto start = std::chrono::steady_clock::now();
        const ProbeStatus result = SendEcho(address.toStdString(), payload, reply);
        const auto call = std::chrono::steady_clock::now() - start;
        const QByteArray took = QByteArray::number(qint64(call / 1ms)) + " ms";

        QCOMPARE(result, status);
        QCOMPARE(reply.Status, status);
        if (status == IpStatus::kTimedOut)
            QVERIFY2(call >= kEchoTimeout && call < StraysFor - 1s, took.constData());
        else
            QVERIFY2(call < kEchoTimeout, took.constData());
        if (status == 0)
            QVERIFY2(reply.RoundTripTime * 1ms >= ReplyDelay && reply.RoundTripTime * 1ms <= call,
                     qPrintable(QString("round trip %1 ms in a call of %2").arg(reply.RoundTripTime).arg(took)));
        if (answer == Answer::NetUnreachable || answer == Answer::TtlExpired)
            QCOMPARE(reply.Address, OtherHost);
    }

    void carriesTheNumbersItIsGiven_data()
    {
        QTest::addColumn<EchoPath>("path");
        QTest::addColumn<QList<quint16>>("ids"); // drawn in turn, the last again and again
        QTest::addColumn<int>("carried");        // the draw whose numbers the request carries; -1 for none sent
        for (const auto &[path, name] : EchoPaths)
            QTest::newRow(name) << path << QList<quint16>{0x1234} << 0;
        QTest::newRow("datagram, drawn id held") << EchoPath::Datagram << QList<quint16>{HeldId, 0x1234} << 1;
        QTest::newRow("datagram, 0 drawn") << EchoPath::Datagram << QList<quint16>{0, 0x1234} << 1;
        QTest::newRow("datagram, every id drawn held") << EchoPath::Datagram << QList<quint16>{HeldId} << -1;
    }
    // The request carries the numbers drawn for it, the identifier too on the
    // datagram socket, whose kernel would otherwise choose one. An identifier
    // that the socket can't be bound to is drawn again, but not for ever and
    // never left to the kernel. A socket of the test's own holds HeldId.
    void carriesTheNumbersItIsGiven()
    {
        QFETCH(EchoPath, path);
        QFETCH(QList<quint16>, ids);
        QFETCH(int, carried);
        TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        std::atomic<std::uint32_t> seen{0};
        std::atomic<int> requests{0};
        TestResponder host([&](TestResponder &self, const probetest::Request &r) {
            seen = std::uint32_t(r.id) << 16 | r.sequence;
            ++requests;
            self.send(genuineReply(r));
        });
        QVERIFY(host.isRunning());
        Descriptor holder;
        if (path == EchoPath::Datagram) {
            holder = Descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
            sockaddr_in held{};
            held.sin_family = AF_INET;
            held.sin_port = htons(HeldId);
            QVERIFY(::bind(holder.get(), reinterpret_cast<const sockaddr *>(&held), sizeof held) == 0);
        }

        int draws = 0;
        const auto numbers = [&] {
            const auto draw = std::min<qsizetype>(draws++, ids.size() - 1);
            return RequestNumbers{ids[draw], std::uint16_t(0xbe00 + draw)};
        };
        const EchoOutcome outcome = echoOnce(inet_addr("127.0.0.1"), "****", numbers);
        QCOMPARE(outcome.path, path);
        if (carried < 0) {
            QCOMPARE(outcome.status, IpStatus::kGeneralFailure);
            QCOMPARE(requests.load(), 0);
            QVERIFY2(draws > 1, qPrintable(QString::number(draws)));
            return;
        }
        QCOMPARE(outcome.status, 0);
        QCOMPARE(requests.load(), 1);
        QCOMPARE(std::uint16_t(seen >> 16), ids[carried]);
        QCOMPARE(std::uint16_t(seen), std::uint16_t(0xbe00 + carried));
    }

    void refusesWithoutSocket_data()
    {
        QTest::addColumn<QByteArray>("helper"); // the stand-in's script
        QTest::addColumn<int>("status");
        QTest::addColumn<EchoPath>("path");
        QTest::newRow("a helper that reports")
            << QByteArray("echo accepted; echo 'status=11003 rtt_ns=0 from=127.0.0.2'")
            << int(IpStatus::kHostUnreachable) << EchoPath::Helper;
        QTest::newRow("a helper that refuses") << QByteArray("exit 2") << -1 << EchoPath::None;
    }
    void refusesWithoutSocket()
    {
        QFETCH(QByteArray, helper);
        QFETCH(int, status);
        QFETCH(EchoPath, path);
        TestNamespace space(EchoPath::Raw);
        if (!space.entered())
            QSKIP(NoNamespaces);
        // A stand-in for the helper, whatever is installed on this machine.
        QTemporaryDir dir;
        QFile script(dir.filePath("sondar-echo"));
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\n" + helper + "\n") > 0);
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        const QByteArray standIn = script.fileName().toLocal8Bit();

        // Neither socket opens: root's group is outside ping_group_range, and
        // this thread drops the capability for raw sockets. Both refusals
        // reach the caller as refusals, which is what sends it to the helper;
        // only what the helper says is the outcome.
        bool dropped = false;
        int datagramError = 0, rawError = 0;
        EchoOutcome outcome;
        std::thread([&] {
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
            if (::syscall(SYS_capget, &header, data) != 0)
                return;
            data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
            dropped = ::syscall(SYS_capset, &header, data) == 0;
            if (!dropped)
                return;
            if (!kDatagramSteps.open().isOpen())
                datagramError = errno;
            if (!kRawSteps.open().isOpen())
                rawError = errno;
            outcome = echoOnce(inet_addr("127.0.0.1"), "****", randomNumbers, nullptr, standIn.constData());
        }).join();
        QVERIFY(dropped);
        QVERIFY2(helperMaySend(datagramError, rawError),
                 qPrintable(QString("datagram: %1, raw: %2").arg(strerror(datagramError), strerror(rawError))));
        QCOMPARE(outcome.status, status);
        QCOMPARE(outcome.path, path);
    }
};

QTEST_APPLESS_MAIN(TestSendEcho)
#include "tst_sendecho.moc"
