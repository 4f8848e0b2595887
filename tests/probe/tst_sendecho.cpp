// Echo probes over real sockets. Everything sent goes to loopback addresses
// inside network namespaces that the tests make and delete; those cases need
// root and skip themselves without it.
#include "EchoPacket.h"
#include "LinuxEcho.h"
#include "Module1.h"
#include "TestNamespace.h"

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/icmp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <thread>

using namespace Module1;
using namespace std::chrono_literals;
using Packet = std::vector<std::uint8_t>;

namespace {

// How the tests' own host answers an echo request.
enum class Answer { Nothing, LateReply, NetUnreachable, TtlExpired, StrayReplies };
constexpr auto ReplyDelay = 20ms;

// A host of the tests' own on a raw socket, for a loopback whose kernel ignores
// echo requests itself. Errors, and the right reply among the stray ones, come
// from 127.0.0.2: another host as far as the prober is concerned.
class Responder {
public:
    explicit Responder(Answer answer)
        : answer_(answer),
          listener_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)),
          other_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)),
          stop_(::eventfd(0, EFD_CLOEXEC))
    {
        const int on = 1;
        const icmp_filter requestsOnly{~(1u << Icmp::EchoRequest)};
        const icmp_filter nothing{~0u};
        sockaddr_in otherHost{};
        otherHost.sin_family = AF_INET;
        otherHost.sin_addr.s_addr = inet_addr("127.0.0.2");
        if (listener_ >= 0 && other_ >= 0 && stop_ >= 0
            && ::setsockopt(listener_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0
            && ::setsockopt(listener_, SOL_RAW, ICMP_FILTER, &requestsOnly, sizeof requestsOnly) == 0
            && ::setsockopt(other_, SOL_RAW, ICMP_FILTER, &nothing, sizeof nothing) == 0
            && ::bind(other_, reinterpret_cast<sockaddr *>(&otherHost), sizeof otherHost) == 0)
            thread_ = std::thread([this] { run(); });
    }
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;
    ~Responder()
    {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
            thread_.join();
        }
        for (const int fd : {listener_, other_, stop_})
            if (fd >= 0)
                ::close(fd);
    }

    bool isRunning() const { return thread_.joinable(); }

    // The payload of the last request, as it came over the wire.
    std::string lastPayload() const
    {
        std::lock_guard lock(mutex_);
        return lastPayload_;
    }

private:
    void run()
    {
        // Answer on time also on a busy machine.
        const sched_param priority{1};
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
        for (;;) {
            pollfd waiting[] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(waiting, 2, -1) < 0 || waiting[1].revents)
                return;
            Packet packet(2048);
            iovec data{packet.data(), packet.size()};
            alignas(cmsghdr) unsigned char control[64];
            msghdr header{};
            header.msg_iov = &data;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t size = ::recvmsg(listener_, &header, 0);
            const cmsghdr *stamp = CMSG_FIRSTHDR(&header);
            if (size < 28 || !stamp || stamp->cmsg_type != SCM_TIMESTAMPNS)
                continue;
            timespec arrival;
            std::memcpy(&arrival, CMSG_DATA(stamp), sizeof arrival);
            packet.resize(std::size_t(size));
            if (!answer(packet, std::size_t(packet[0] & 0x0f) * 4, arrival))
                return;
        }
    }

    // False when told to stop meanwhile.
    bool answer(const Packet &request, std::size_t headerLength, timespec arrival)
    {
        const Packet echo(request.begin() + std::ptrdiff_t(headerLength), request.end());
        {
            std::lock_guard lock(mutex_);
            lastPayload_.assign(echo.begin() + Icmp::HeaderSize, echo.end());
        }
        sockaddr_in asker{};
        asker.sin_family = AF_INET;
        std::memcpy(&asker.sin_addr.s_addr, request.data() + 12, 4);

        switch (answer_) {
        case Answer::LateReply: {
            // Counted from the kernel's arrival stamp, as the prober counts.
            const auto due = std::chrono::seconds(arrival.tv_sec) + std::chrono::nanoseconds(arrival.tv_nsec) + ReplyDelay;
            const auto dueSeconds = std::chrono::duration_cast<std::chrono::seconds>(due);
            const timespec wake{time_t(dueSeconds.count()), long((due - dueSeconds).count())};
            ::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &wake, nullptr);
            send(listener_, reply(echo, 0, 0), asker);
            return true;
        }
        case Answer::NetUnreachable:
            send(other_, error(Icmp::DestinationUnreachable, request, headerLength), asker);
            return true;
        case Answer::TtlExpired:
            send(other_, error(Icmp::TimeExceeded, request, headerLength), asker);
            return true;
        case Answer::StrayReplies:
            for (int round = 0; round < 7; ++round) {
                send(listener_, reply(echo, 1, 0), asker);
                send(listener_, reply(echo, 0, 1), asker);
                send(other_, reply(echo, 0, 0), asker);
                pollfd stopping{stop_, POLLIN, 0};
                if (::poll(&stopping, 1, 100) > 0)
                    return false;
            }
            return true;
        case Answer::Nothing:
            break;
        }
        return true;
    }

    // An ICMP message: type, code, checksum, then `rest`.
    static Packet icmp(std::uint8_t type, const Packet &rest)
    {
        Packet message{type, 0, 0, 0};
        message.insert(message.end(), rest.begin(), rest.end());
        const std::uint16_t checksum = internetChecksum(message);
        message[2] = std::uint8_t(checksum >> 8);
        message[3] = std::uint8_t(checksum);
        return message;
    }

    // The reply to `echo`, with its identifier and sequence shifted by the
    // given amounts.
    static Packet reply(Packet echo, int idShift, int sequenceShift)
    {
        echo[5] = std::uint8_t(echo[5] + idShift);
        echo[7] = std::uint8_t(echo[7] + sequenceShift);
        return icmp(Icmp::EchoReply, Packet(echo.begin() + 4, echo.end()));
    }

    // An error quoting the request's IP header and the first 8 bytes after it.
    static Packet error(std::uint8_t type, const Packet &request, std::size_t headerLength)
    {
        Packet rest(4, 0);
        rest.insert(rest.end(), request.begin(), request.begin() + std::ptrdiff_t(headerLength + 8));
        return icmp(type, rest);
    }

    static void send(int fd, const Packet &packet, const sockaddr_in &to)
    {
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }

    Answer answer_;
    int listener_;
    int other_;
    int stop_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string lastPayload_;
};

} // namespace

Q_DECLARE_METATYPE(Module1::EchoPath)
Q_DECLARE_METATYPE(Answer)

class TestSendEcho : public QObject {
    Q_OBJECT

private slots:
    void measuresRoundTrip_data();
    void measuresRoundTrip();
    void refusesUnusableAddress_data();
    void refusesUnusableAddress();
    void repliesOnLoopback_data();
    void repliesOnLoopback();
    void reportsOutcome_data();
    void reportsOutcome();
    void refusesWithoutSocket();
};

void TestSendEcho::measuresRoundTrip_data()
{
    QTest::addColumn<qint64>("receivedUs"); // wall clock; -1 for a packet without a stamp
    QTest::addColumn<qint64>("readUs");     // monotonic clock, when the packet was read
    QTest::addColumn<qint64>("roundTripUs");
    // Sent at 1000 s wall-clock time and 50 s monotonic time.
    QTest::newRow("stamped on arrival") << 1000'000'020'500ll << 50'000'020'900ll << 20'500ll;
    QTest::newRow("stamped at the moment of the send") << 1000'000'000'000ll << 50'000'000'300ll << 0ll;
    QTest::newRow("no stamp") << -1ll << 50'000'020'900ll << 20'900ll;
    QTest::newRow("clock set back") << 999'999'000'000ll << 50'000'020'900ll << 20'900ll;
    QTest::newRow("clock set forward") << 1000'003'600'000ll << 50'000'020'900ll << 20'900ll;
}

void TestSendEcho::measuresRoundTrip()
{
    QFETCH(qint64, receivedUs);
    QFETCH(qint64, readUs);
    QFETCH(qint64, roundTripUs);
    const SendStamp sent{50'000'000'000us, 1000'000'000'000us};
    std::optional<std::chrono::nanoseconds> received;
    if (receivedUs >= 0)
        received = std::chrono::microseconds(receivedUs);
    const auto measured = roundTripTime(sent, received, std::chrono::microseconds(readUs));
    QCOMPARE(qint64(measured.count()), roundTripUs * 1000);
}

void TestSendEcho::refusesUnusableAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("host name") << "localhost";
    QTest::newRow("empty") << "";
    QTest::newRow("all ones") << "255.255.255.255";
    QTest::newRow("part above 255") << "127.0.0.256";
    QTest::newRow("five parts") << "127.0.0.1.1";
    QTest::newRow("letters after the number") << "127.0.0.1x";
    QTest::newRow("NUL inside") << QStringLiteral("127.0.0\u0000.1");
}

void TestSendEcho::refusesUnusableAddress()
{
    QFETCH(QString, address);
    EchoReply reply{1, 2, 3};
    QCOMPARE(SendEcho(address.toStdString(), "****", reply), -1);
    QCOMPARE(reply.Address, 1u);
    QCOMPARE(reply.Status, 2);
    QCOMPARE(reply.RoundTripTime, 3);
}

void TestSendEcho::repliesOnLoopback_data()
{
    QTest::addColumn<EchoPath>("path");
    QTest::addColumn<int>("size");
    for (const auto &[path, name] : {std::pair{EchoPath::Datagram, "datagram"}, std::pair{EchoPath::Raw, "raw"}}) {
        QTest::addRow("%s, empty payload", name) << path << 0;
        QTest::addRow("%s, 128 characters", name) << path << 128;
    }
}

void TestSendEcho::repliesOnLoopback()
{
    QFETCH(EchoPath, path);
    QFETCH(int, size);
    TestNamespace space(path);
    if (!space.entered())
        QSKIP(NoNamespaces);

    const std::string payload(std::size_t(size), '*');
    QCOMPARE(echoOnce(inet_addr("127.0.0.1"), payload).path, path);
    EchoReply reply{0, IpStatus::TimedOut, 12345};
    QCOMPARE(SendEcho("127.0.0.1", payload, reply), 0);
    QCOMPARE(reply.Status, 0);
    QVERIFY2(reply.RoundTripTime >= 0 && reply.RoundTripTime < 10, qPrintable(QString::number(reply.RoundTripTime)));
    QCOMPARE(reply.Address, inet_addr("127.0.0.1"));
}

void TestSendEcho::reportsOutcome_data()
{
    QTest::addColumn<EchoPath>("path");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("fastestMs"); // the whole call
    QTest::addColumn<int>("slowestMs");

    const QString loopback = "127.0.0.1";
    for (const auto &[path, name] : {std::pair{EchoPath::Datagram, "datagram"}, std::pair{EchoPath::Raw, "raw"}}) {
        QTest::addRow("%s, late reply", name) << path << Answer::LateReply << loopback << 32 << 0 << 20 << 100;
        QTest::addRow("%s, late reply, empty", name) << path << Answer::LateReply << loopback << 0 << 0 << 20 << 100;
        QTest::addRow("%s, late reply, 128", name) << path << Answer::LateReply << loopback << 128 << 0 << 20 << 100;
        QTest::addRow("%s, net unreachable", name)
            << path << Answer::NetUnreachable << loopback << 32 << IpStatus::NetUnreachable << 0 << 100;
        QTest::addRow("%s, TTL expired", name)
            << path << Answer::TtlExpired << loopback << 32 << IpStatus::TtlExpiredTransit << 0 << 100;
        QTest::addRow("%s, unreachable route", name)
            << path << Answer::Nothing << "192.0.2.1" << 32 << IpStatus::HostUnreachable << 0 << 100;
        QTest::addRow("%s, silent host", name)
            << path << Answer::Nothing << loopback << 32 << IpStatus::TimedOut << 450 << 550;
        // One deadline for the whole call, however many wrong packets come.
        QTest::addRow("%s, stray replies only", name)
            << path << Answer::StrayReplies << loopback << 32 << IpStatus::TimedOut << 450 << 550;
    }
}

void TestSendEcho::reportsOutcome()
{
    QFETCH(EchoPath, path);
    QFETCH(Answer, answer);
    QFETCH(QString, address);
    QFETCH(int, size);
    QFETCH(int, status);
    QFETCH(int, fastestMs);
    QFETCH(int, slowestMs);

    TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
    if (!space.entered())
        QSKIP(NoNamespaces);
    std::optional<Responder> responder;
    if (answer != Answer::Nothing) {
        responder.emplace(answer);
        QVERIFY(responder->isRunning());
    }

    // The record holds the opposite outcome from before, which must not survive.
    EchoReply reply{0, status == 0 ? IpStatus::TimedOut : 0, 12345};
    const std::string payload(std::size_t(size), '*');
    QElapsedTimer timer;
    timer.start();
    const ProbeStatus result = SendEcho(address.toStdString(), payload, reply);
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(result, status);
    QCOMPARE(reply.Status, status);
    QVERIFY2(elapsed >= fastestMs && elapsed <= slowestMs, qPrintable(QString("call took %1 ms").arg(elapsed)));
    if (status == 0) {
        QVERIFY2(reply.RoundTripTime >= 20 && reply.RoundTripTime <= 22,
                 qPrintable(QString("round trip %1 ms").arg(reply.RoundTripTime)));
        QCOMPARE(responder->lastPayload(), payload);
    }
    if (answer == Answer::NetUnreachable || answer == Answer::TtlExpired)
        QCOMPARE(reply.Address, inet_addr("127.0.0.2"));
}

void TestSendEcho::refusesWithoutSocket()
{
    TestNamespace space(EchoPath::Raw);
    if (!space.entered())
        QSKIP(NoNamespaces);

    // Neither socket opens: root's group is outside ping_group_range, and this
    // thread drops the capability for raw sockets.
    bool dropped = false;
    ProbeStatus result = 0;
    EchoReply reply{0, 7, 8};
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        if (::syscall(SYS_capget, &header, data) != 0)
            return;
        data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
        dropped = ::syscall(SYS_capset, &header, data) == 0;
        if (dropped)
            result = SendEcho("127.0.0.1", "****", reply);
    }).join();
    QVERIFY(dropped);
    QCOMPARE(result, -1);
    QCOMPARE(reply.Status, 7);
    QCOMPARE(reply.RoundTripTime, 8);
}

QTEST_APPLESS_MAIN(TestSendEcho)
#include "tst_sendecho.moc"
