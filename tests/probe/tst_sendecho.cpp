// Echo probes over real sockets. Everything that is sent goes to loopback
// addresses or into network namespaces that the tests make and delete; those
// need root and skip themselves without it.
#include "EchoPacket.h"
#include "LinuxEcho.h"
#include "Module1.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <thread>

using namespace Module1;
using namespace std::chrono_literals;

namespace {

const char *const NoNamespaces = "needs root and `ip netns` to make network namespaces of its own";

bool runIp(const QStringList &arguments)
{
    return QProcess::execute("ip", arguments) == 0;
}

// A network namespace of the test's own with its loopback up, deleted again
// when the object goes, also when the test fails.
class TestNamespace {
public:
    TestNamespace() : name_(QString("sondar-probe-%1-%2").arg(::getpid()).arg(++made_))
    {
        created_ = ::geteuid() == 0 && runIp({"netns", "add", name_});
        ready_ = created_ && ip({"link", "set", "lo", "up"});
    }
    TestNamespace(const TestNamespace &) = delete;
    TestNamespace &operator=(const TestNamespace &) = delete;
    ~TestNamespace()
    {
        if (created_)
            runIp({"netns", "delete", name_});
    }

    bool isReady() const { return ready_; }
    QString path() const { return "/run/netns/" + name_; }
    bool ip(const QStringList &arguments) const { return runIp(QStringList{"-n", name_} + arguments); }
    bool sysctl(const QString &setting) const
    {
        return runIp({"netns", "exec", name_, "sysctl", "-qw", setting});
    }
    // The datagram socket is allowed where ping_group_range holds our group,
    // root's 0; elsewhere the prober falls back to the raw socket.
    bool selectPath(EchoPath path) const
    {
        return sysctl(path == EchoPath::Datagram ? "net.ipv4.ping_group_range=0 2147483647"
                                                 : "net.ipv4.ping_group_range=1 0");
    }

private:
    static inline int made_ = 0;
    QString name_;
    bool created_ = false;
    bool ready_ = false;
};

// Moves the calling thread into a namespace, and back when it goes. Sockets
// opened meanwhile, and threads started meanwhile, belong to that namespace.
class Inside {
public:
    explicit Inside(const TestNamespace &space) : home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
    {
        const int target = ::open(qPrintable(space.path()), O_RDONLY | O_CLOEXEC);
        entered_ = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            ::close(target);
    }
    Inside(const Inside &) = delete;
    Inside &operator=(const Inside &) = delete;
    ~Inside()
    {
        if (entered_)
            ::setns(home_, CLONE_NEWNET);
        if (home_ >= 0)
            ::close(home_);
    }

    bool entered() const { return entered_; }

private:
    int home_;
    bool entered_ = false;
};

using Packet = std::vector<std::uint8_t>;

// A host of the tests' own on a raw socket, for the loopback of a namespace
// whose kernel ignores echo requests itself. It answers every request in the
// chosen way; errors and stray replies come from 127.0.0.2, another host as
// far as the prober is concerned.
class Responder {
public:
    enum class Behaviour { Reply, NetUnreachable, TtlExpired, StrayReplies };

    explicit Responder(Behaviour behaviour, std::chrono::milliseconds delay = 0ms)
        : behaviour_(behaviour),
          delay_(delay),
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
        if (listener_ < 0 || other_ < 0 || stop_ < 0
            || ::setsockopt(listener_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0
            || ::setsockopt(listener_, SOL_RAW, ICMP_FILTER, &requestsOnly, sizeof requestsOnly) < 0
            || ::setsockopt(other_, SOL_RAW, ICMP_FILTER, &nothing, sizeof nothing) < 0
            || ::bind(other_, reinterpret_cast<sockaddr *>(&otherHost), sizeof otherHost) < 0)
            return;
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
    std::optional<std::string> lastPayload() const
    {
        std::lock_guard lock(mutex_);
        return lastPayload_;
    }

private:
    void run()
    {
        // Answer on time also on a busy machine; where the priority can't be
        // raised, a late answer shows as a longer round trip.
        const sched_param priority{1};
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
        Packet buffer(2048);
        for (;;) {
            pollfd waiting[] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(waiting, 2, -1) < 0)
                continue;
            if (waiting[1].revents)
                return;
            iovec data{buffer.data(), buffer.size()};
            alignas(cmsghdr) unsigned char control[64];
            msghdr header{};
            header.msg_iov = &data;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t size = ::recvmsg(listener_, &header, 0);
            if (size < 28)
                continue;
            timespec arrival;
            ::clock_gettime(CLOCK_REALTIME, &arrival);
            for (cmsghdr *item = CMSG_FIRSTHDR(&header); item; item = CMSG_NXTHDR(&header, item))
                if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS)
                    std::memcpy(&arrival, CMSG_DATA(item), sizeof arrival);
            const Packet packet(buffer.begin(), buffer.begin() + size);
            const std::size_t headerLength = std::size_t(packet[0] & 0x0f) * 4;
            if (packet.size() >= headerLength + Icmp::HeaderSize && packet[headerLength] == Icmp::EchoRequest
                && !answer(packet, headerLength, arrival))
                return;
        }
    }

    // False when told to stop meanwhile.
    bool answer(const Packet &request, std::size_t headerLength, timespec arrival)
    {
        const Packet echo(request.begin() + std::ptrdiff_t(headerLength), request.end());
        {
            std::lock_guard lock(mutex_);
            lastPayload_ = std::string(echo.begin() + Icmp::HeaderSize, echo.end());
        }
        sockaddr_in asker{};
        asker.sin_family = AF_INET;
        std::memcpy(&asker.sin_addr.s_addr, request.data() + 12, 4);

        switch (behaviour_) {
        case Behaviour::Reply: {
            // Counted from the kernel's arrival stamp, as the prober counts.
            arrival.tv_nsec += std::chrono::nanoseconds(delay_).count();
            arrival.tv_sec += arrival.tv_nsec / 1'000'000'000;
            arrival.tv_nsec %= 1'000'000'000;
            ::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &arrival, nullptr);
            send(listener_, reply(echo, 0, 0), asker);
            return true;
        }
        case Behaviour::NetUnreachable:
            send(other_, error(request, headerLength, Icmp::DestinationUnreachable, 0), asker);
            return true;
        case Behaviour::TtlExpired:
            send(other_, error(request, headerLength, Icmp::TimeExceeded, 0), asker);
            return true;
        case Behaviour::StrayReplies:
            for (int round = 0; round < 7; ++round) {
                send(listener_, reply(echo, 1, 0), asker);
                send(listener_, reply(echo, 0, 1), asker);
                send(other_, reply(echo, 0, 0), asker);
                pollfd stopping{stop_, POLLIN, 0};
                if (::poll(&stopping, 1, 100) > 0)
                    return false;
            }
            return true;
        }
        return true;
    }

    static Packet withChecksum(Packet icmp)
    {
        icmp[2] = icmp[3] = 0;
        const std::uint16_t checksum = internetChecksum(icmp);
        icmp[2] = std::uint8_t(checksum >> 8);
        icmp[3] = std::uint8_t(checksum);
        return icmp;
    }

    // The echo turned into a reply, its identifier and sequence shifted by the
    // given amounts.
    static Packet reply(Packet echo, int idShift, int sequenceShift)
    {
        echo[0] = Icmp::EchoReply;
        echo[5] = std::uint8_t(echo[5] + idShift);
        echo[7] = std::uint8_t(echo[7] + sequenceShift);
        return withChecksum(std::move(echo));
    }

    static Packet error(const Packet &request, std::size_t headerLength, std::uint8_t type, std::uint8_t code)
    {
        Packet message{type, code, 0, 0, 0, 0, 0, 0};
        message.insert(message.end(), request.begin(), request.begin() + std::ptrdiff_t(headerLength + 8));
        return withChecksum(std::move(message));
    }

    static void send(int fd, const Packet &packet, const sockaddr_in &to)
    {
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }

    Behaviour behaviour_;
    std::chrono::milliseconds delay_;
    int listener_;
    int other_; // sends from 127.0.0.2
    int stop_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::optional<std::string> lastPayload_;
};

// Drops CAP_NET_RAW from the calling thread alone, which then may open no raw
// socket.
bool dropRawSockets()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
    return ::syscall(SYS_capset, &header, data) == 0;
}

enum class Scenario { LateReply, NetUnreachable, TtlExpired, StrayReplies, Silent, UnreachableRoute };

} // namespace

Q_DECLARE_METATYPE(Module1::EchoPath)
Q_DECLARE_METATYPE(Scenario)

class TestSendEcho : public QObject {
    Q_OBJECT

private slots:
    void refusesUnusableAddress_data();
    void refusesUnusableAddress();
    void repliesOnLoopback_data();
    void repliesOnLoopback();
    void reportsOutcome_data();
    void reportsOutcome();
    void refusesWithoutSocket();
};

void TestSendEcho::refusesUnusableAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("host name") << "localhost";
    QTest::newRow("empty") << "";
    QTest::newRow("all ones") << "255.255.255.255";
    QTest::newRow("part above 255") << "127.0.0.256";
    QTest::newRow("five parts") << "127.0.0.1.1";
    QTest::newRow("letters after the number") << "127.0.0.1x";
}

void TestSendEcho::refusesUnusableAddress()
{
    QFETCH(QString, address);
    EchoReply reply;
    reply.Address = 1;
    reply.Status = 2;
    reply.RoundTripTime = 3;
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
    TestNamespace space;
    if (!space.isReady())
        QSKIP(NoNamespaces);
    QVERIFY(space.selectPath(path));
    Inside inside(space);
    QVERIFY(inside.entered());

    const std::string payload(std::size_t(size), '*');
    QCOMPARE(echoOnce(inet_addr("127.0.0.1"), payload).path, path);
    EchoReply reply;
    reply.Status = IpStatus::TimedOut;
    reply.RoundTripTime = 12345;
    QCOMPARE(SendEcho("127.0.0.1", payload, reply), 0);
    QCOMPARE(reply.Status, 0);
    QVERIFY2(reply.RoundTripTime >= 0 && reply.RoundTripTime < 10, qPrintable(QString::number(reply.RoundTripTime)));
    QCOMPARE(reply.Address, inet_addr("127.0.0.1"));
}

void TestSendEcho::reportsOutcome_data()
{
    QTest::addColumn<EchoPath>("path");
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("fastestMs"); // the whole call
    QTest::addColumn<int>("slowestMs");

    for (const auto &[path, name] : {std::pair{EchoPath::Datagram, "datagram"}, std::pair{EchoPath::Raw, "raw"}}) {
        QTest::addRow("%s, late reply", name) << path << Scenario::LateReply << 32 << 0 << 20 << 100;
        QTest::addRow("%s, late reply, empty", name) << path << Scenario::LateReply << 0 << 0 << 20 << 100;
        QTest::addRow("%s, late reply, 128", name) << path << Scenario::LateReply << 128 << 0 << 20 << 100;
        QTest::addRow("%s, net unreachable", name)
            << path << Scenario::NetUnreachable << 32 << IpStatus::NetUnreachable << 0 << 100;
        QTest::addRow("%s, TTL expired", name)
            << path << Scenario::TtlExpired << 32 << IpStatus::TtlExpiredTransit << 0 << 100;
        QTest::addRow("%s, unreachable route", name)
            << path << Scenario::UnreachableRoute << 32 << IpStatus::HostUnreachable << 0 << 100;
        QTest::addRow("%s, silent host", name) << path << Scenario::Silent << 32 << IpStatus::TimedOut << 450 << 550;
        // One deadline for the whole call, however many wrong packets come.
        QTest::addRow("%s, stray replies only", name)
            << path << Scenario::StrayReplies << 32 << IpStatus::TimedOut << 450 << 550;
    }
}

void TestSendEcho::reportsOutcome()
{
    QFETCH(EchoPath, path);
    QFETCH(Scenario, scenario);
    QFETCH(int, size);
    QFETCH(int, status);
    QFETCH(int, fastestMs);
    QFETCH(int, slowestMs);

    TestNamespace space;
    if (!space.isReady())
        QSKIP(NoNamespaces);
    QVERIFY(space.selectPath(path));
    QVERIFY(space.sysctl("net.ipv4.icmp_echo_ignore_all=1"));
    QVERIFY(space.ip({"route", "add", "unreachable", "192.0.2.0/24"}));
    Inside inside(space);
    QVERIFY(inside.entered());

    std::optional<Responder> responder;
    switch (scenario) {
    case Scenario::LateReply:
        responder.emplace(Responder::Behaviour::Reply, 20ms);
        break;
    case Scenario::NetUnreachable:
        responder.emplace(Responder::Behaviour::NetUnreachable);
        break;
    case Scenario::TtlExpired:
        responder.emplace(Responder::Behaviour::TtlExpired);
        break;
    case Scenario::StrayReplies:
        responder.emplace(Responder::Behaviour::StrayReplies);
        break;
    case Scenario::Silent:
    case Scenario::UnreachableRoute:
        break;
    }
    QVERIFY(!responder || responder->isRunning());

    // The record holds the opposite outcome from before, which must not survive.
    EchoReply reply;
    reply.Status = status == 0 ? IpStatus::TimedOut : 0;
    reply.RoundTripTime = 12345;
    const std::string payload(std::size_t(size), '*');
    const char *address = scenario == Scenario::UnreachableRoute ? "192.0.2.1" : "127.0.0.1";
    QElapsedTimer timer;
    timer.start();
    const ProbeStatus result = SendEcho(address, payload, reply);
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(result, status);
    QCOMPARE(reply.Status, status);
    QVERIFY2(elapsed >= fastestMs && elapsed <= slowestMs, qPrintable(QString("call took %1 ms").arg(elapsed)));
    if (status == 0) {
        QVERIFY2(reply.RoundTripTime >= 20 && reply.RoundTripTime <= 22,
                 qPrintable(QString("round trip %1 ms").arg(reply.RoundTripTime)));
        QCOMPARE(responder->lastPayload(), payload);
    }
    if (scenario == Scenario::NetUnreachable || scenario == Scenario::TtlExpired)
        QCOMPARE(reply.Address, inet_addr("127.0.0.2"));
}

void TestSendEcho::refusesWithoutSocket()
{
    TestNamespace space;
    if (!space.isReady())
        QSKIP(NoNamespaces);
    QVERIFY(space.selectPath(EchoPath::Raw));
    Inside inside(space);
    QVERIFY(inside.entered());

    // Neither socket opens: our group is outside ping_group_range, and the
    // thread lacks the capability for raw sockets.
    bool dropped = false;
    ProbeStatus result = 0;
    EchoReply reply;
    reply.Status = 7;
    reply.RoundTripTime = 8;
    std::thread([&] {
        dropped = dropRawSockets();
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
