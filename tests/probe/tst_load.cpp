// The echo probe under load and under attack, over real sockets inside network
// namespaces of the test's own: a ping flood, a second prober in another
// process, and forged packets aimed at the prober. The kernel there ignores
// echo requests; a host of the test's own answers each probe only after
// AnswerDelay, so a probe that returns sooner, or with a reply from anyone
// but 127.0.0.1, took a packet that was not its answer. Needs root.
#include "EchoPacket.h"
#include "LinuxEcho.h"
#include "TestNamespace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

using namespace Module1;
using namespace std::chrono_literals;
using Packet = std::vector<std::uint8_t>;
using std::chrono::steady_clock;

namespace {

constexpr auto AnswerDelay = 15ms;
constexpr int Probes = 50;
const std::string ProbePayload(32, '*');
const std::uint32_t Loopback = inet_addr("127.0.0.1");
const std::uint32_t OtherHost = inet_addr("127.0.0.2");
const std::uint32_t ThirdHost = inet_addr("127.0.0.3");

std::uint16_t read16(const Packet &bytes, std::size_t at)
{
    return std::uint16_t(bytes[at] << 8 | bytes[at + 1]);
}

// An ICMP message with its checksum: type, code, then `rest` after the checksum.
Packet icmp(std::uint8_t type, std::uint8_t code, const Packet &rest)
{
    Packet message{type, code, 0, 0};
    message.insert(message.end(), rest.begin(), rest.end());
    const std::uint16_t checksum = internetChecksum(message);
    message[2] = std::uint8_t(checksum >> 8);
    message[3] = std::uint8_t(checksum);
    return message;
}

Packet echo(std::uint8_t type, std::uint16_t id, std::uint16_t sequence, const std::string &payload)
{
    Packet rest{std::uint8_t(id >> 8), std::uint8_t(id), std::uint8_t(sequence >> 8), std::uint8_t(sequence)};
    rest.insert(rest.end(), payload.begin(), payload.end());
    return icmp(type, 0, rest);
}

// A whole IPv4 datagram for a socket that sends its own headers; the kernel
// fills in the length, identification and checksum where the header is at
// least 20 bytes. `words` is the header length field; four no-operation
// options fill a sixth word.
Packet datagram(std::uint32_t source, std::uint32_t destination, const Packet &body, std::uint8_t words = 5)
{
    Packet packet(20, 0);
    packet[0] = std::uint8_t(0x40 | words);
    packet[8] = 64;
    packet[9] = IPPROTO_ICMP;
    std::memcpy(packet.data() + 12, &source, 4);
    std::memcpy(packet.data() + 16, &destination, 4);
    if (words == 6)
        packet.insert(packet.end(), 4, 1);
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

// An echo request as the test's host received it.
struct Request {
    Packet packet; // IP header, then ICMP
    std::size_t headerLength;
    std::uint32_t source;
    std::uint16_t id;
    std::uint16_t sequence;
    std::string payload;
};

// Forged packets sent to the prober the moment its request comes in.
enum class Forgery {
    ForeignId,
    OtherSequence,
    OtherSource,
    BadChecksum,
    Truncated,
    RequestWithOurNumbers,
    ShortIpHeader,
    ErrorForeignId,
    ErrorOtherSequence,
    ErrorOtherDestination,
    ErrorQuotedHeaderTooLong,
    ErrorPartialQuote,
    // Controls: genuine answers forged the same way, which must count.
    ReplyAfterOptions,
    ErrorAboutOurs,
    // Many replies with a foreign identifier, more than a socket's queue holds.
    Burst,
};

// An ICMP error from 127.0.0.2 quoting the request's IP header and the first
// `icmpBytes` of its ICMP message, altered by `edit`.
template <typename Edit>
Packet errorAbout(const Request &request, Edit edit, std::size_t icmpBytes = Icmp::HeaderSize)
{
    Packet quoted(request.packet.begin(), request.packet.begin() + std::ptrdiff_t(request.headerLength + icmpBytes));
    edit(quoted);
    Packet rest{0, 0, 0, 0};
    rest.insert(rest.end(), quoted.begin(), quoted.end());
    return datagram(OtherHost, request.source, icmp(Icmp::DestinationUnreachable, 1, rest));
}

std::vector<Packet> forge(Forgery forgery, const Request &r)
{
    const Packet reply = echo(Icmp::EchoReply, r.id, r.sequence, r.payload);
    const std::size_t at = r.headerLength; // where the quoted ICMP header starts
    switch (forgery) {
    case Forgery::ForeignId:
        return {datagram(Loopback, r.source, echo(Icmp::EchoReply, r.id ^ 0x8000, r.sequence, r.payload))};
    case Forgery::OtherSequence:
        return {datagram(Loopback, r.source, echo(Icmp::EchoReply, r.id, r.sequence + 1, r.payload))};
    case Forgery::OtherSource:
        return {datagram(OtherHost, r.source, reply)};
    case Forgery::BadChecksum: {
        Packet corrupt = reply;
        corrupt[3] ^= 1;
        return {datagram(Loopback, r.source, corrupt)};
    }
    case Forgery::Truncated: {
        // Type, code, checksum and identifier, but no sequence.
        const Packet start{Icmp::EchoReply, 0, 0, 0, std::uint8_t(r.id >> 8), std::uint8_t(r.id)};
        const std::uint16_t checksum = internetChecksum(start);
        Packet cut = start;
        cut[2] = std::uint8_t(checksum >> 8);
        cut[3] = std::uint8_t(checksum);
        return {datagram(Loopback, r.source, cut)};
    }
    case Forgery::RequestWithOurNumbers:
        return {datagram(Loopback, r.source, echo(Icmp::EchoRequest, r.id, r.sequence, "forged"))};
    case Forgery::ShortIpHeader:
        return {datagram(Loopback, r.source, reply, 4)};
    case Forgery::ErrorForeignId:
        return {errorAbout(r, [at](Packet &q) { q[at + 4] ^= 0x80; })};
    case Forgery::ErrorOtherSequence:
        return {errorAbout(r, [at](Packet &q) { ++q[at + 7]; })};
    case Forgery::ErrorOtherDestination:
        return {errorAbout(r, [](Packet &q) { std::memcpy(q.data() + 16, &ThirdHost, 4); })};
    case Forgery::ErrorQuotedHeaderTooLong:
        return {errorAbout(r, [](Packet &q) { q[0] = 0x4f; })};
    case Forgery::ErrorPartialQuote:
        return {errorAbout(r, [](Packet &) {}, 4)};
    case Forgery::ReplyAfterOptions:
        return {datagram(Loopback, r.source, reply, 6)};
    case Forgery::ErrorAboutOurs:
        return {errorAbout(r, [](Packet &) {})};
    case Forgery::Burst:
        return std::vector<Packet>(1000, datagram(Loopback, r.source,
                                                  echo(Icmp::EchoReply, r.id ^ 0x8000, r.sequence, std::string(1000, '#'))));
    }
    Q_UNREACHABLE();
}

// The test's own host on raw sockets. It answers each probe (a payload of
// asterisks) AnswerDelay after reading its request, sending the forgery, if
// any, at once; with `answerStrangers` it answers every other request at
// once, so that a flood runs at full speed. Given a prober process to hold,
// it stops that process, sends the forgery and the answer, and lets it go
// on: whatever the prober's socket cannot hold meanwhile is lost.
class Host {
public:
    Host(std::optional<Forgery> forgery, bool answerStrangers, pid_t hold = 0)
        : forgery_(forgery), answerStrangers_(answerStrangers), hold_(hold),
          listener_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)),
          forger_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW)), stop_(::eventfd(0, EFD_CLOEXEC))
    {
        const icmp_filter requestsOnly{~(1u << Icmp::EchoRequest)};
        const int roomy = 8 << 20; // a flood must not crowd out the probes' requests
        if (listener_ >= 0 && forger_ >= 0 && stop_ >= 0
            && ::setsockopt(listener_, SOL_RAW, ICMP_FILTER, &requestsOnly, sizeof requestsOnly) == 0
            && ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUFFORCE, &roomy, sizeof roomy) == 0)
            thread_ = std::thread([this] { run(); });
    }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;
    ~Host()
    {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
            thread_.join();
        }
        for (const int fd : {listener_, forger_, stop_})
            if (fd >= 0)
                ::close(fd);
    }

    bool isRunning() const { return thread_.joinable(); }
    int probesAnswered() const { return probes_; }
    int strangersAnswered() const { return strangers_; }

private:
    struct Due {
        steady_clock::time_point at;
        Packet reply;
        std::uint32_t to;
    };

    void run()
    {
        std::deque<Due> due;
        Packet buffer(2048);
        for (;;) {
            int wait = -1;
            if (!due.empty())
                wait = int(std::max<std::int64_t>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(due.front().at - steady_clock::now()).count()));
            pollfd waiting[] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(waiting, 2, wait) < 0 || waiting[1].revents)
                return;
            for (int n = 0; n < 256; ++n) {
                const ssize_t size = ::recv(listener_, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (size < 28)
                    break;
                if (const auto request = parse(Packet(buffer.begin(), buffer.begin() + size)))
                    answer(*request, due);
            }
            while (!due.empty() && due.front().at <= steady_clock::now()) {
                send(due.front().reply, due.front().to);
                due.pop_front();
            }
        }
    }

    static std::optional<Request> parse(Packet packet)
    {
        const std::size_t header = std::size_t(packet[0] & 0x0f) * 4;
        if (header < 20 || packet.size() < header + Icmp::HeaderSize || packet[header] != Icmp::EchoRequest)
            return std::nullopt;
        Request request{{}, header, 0, read16(packet, header + 4), read16(packet, header + 6), {}};
        std::memcpy(&request.source, packet.data() + 12, 4);
        request.payload.assign(packet.begin() + std::ptrdiff_t(header + Icmp::HeaderSize), packet.end());
        request.packet = std::move(packet);
        return request;
    }

    void answer(const Request &request, std::deque<Due> &due)
    {
        const Packet reply = echo(Icmp::EchoReply, request.id, request.sequence, request.payload);
        const bool isProbe =
            !request.payload.empty() && request.payload.find_first_not_of('*') == std::string::npos;
        if (isProbe) {
            ++probes_;
            if (hold_ > 0 && (::kill(hold_, SIGSTOP) != 0 || ::waitpid(hold_, nullptr, WUNTRACED) != hold_))
                return;
            if (forgery_)
                for (const Packet &forged : forge(*forgery_, request))
                    send(forged, request.source);
            if (hold_ > 0) {
                send(datagram(Loopback, request.source, reply), request.source);
                ::kill(hold_, SIGCONT);
                return;
            }
            due.push_back({steady_clock::now() + AnswerDelay, datagram(Loopback, request.source, reply),
                           request.source});
        } else if (answerStrangers_) {
            ++strangers_;
            send(datagram(Loopback, request.source, reply), request.source);
        }
    }

    void send(const Packet &packet, std::uint32_t to) const
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = to;
        ::sendto(forger_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&address),
                 sizeof address);
    }

    std::optional<Forgery> forgery_;
    bool answerStrangers_;
    pid_t hold_;
    int listener_;
    int forger_;
    int stop_;
    std::atomic<int> probes_{0};
    std::atomic<int> strangers_{0};
    std::thread thread_;
};

// One probe's outcome, as plain bytes that cross a pipe.
struct Probe {
    ProbeStatus status;
    std::int64_t roundTripNs;
    std::uint32_t from;
    EchoPath path;
};

std::vector<Probe> probeLoopback(int count)
{
    std::vector<Probe> probes;
    for (int i = 0; i < count; ++i) {
        const EchoOutcome outcome = echoOnce(Loopback, ProbePayload);
        probes.push_back({outcome.status, std::int64_t(outcome.roundTrip.count()), outcome.from, outcome.path});
    }
    return probes;
}

// The probes that did not get their own answer: status 0 from 127.0.0.1, no
// sooner than the host answers and within the prober's time-out.
QStringList wrongAnswers(const std::vector<Probe> &probes, EchoPath path)
{
    QStringList wrong;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const Probe &p = probes[i];
        if (p.status != 0 || p.from != Loopback || p.path != path || p.roundTripNs < AnswerDelay / 1ns
            || p.roundTripNs >= EchoTimeout / 1ns)
            wrong << QString("probe %1: status %2, from %3, %4 us")
                         .arg(i + 1)
                         .arg(p.status)
                         .arg(inet_ntoa(in_addr{p.from}))
                         .arg(p.roundTripNs / 1000);
    }
    return wrong;
}

// A second prober in a process of its own, forked before the test starts its
// own threads. It waits for go(), probes, and hands its outcomes back through
// a pipe.
class ChildProber {
public:
    explicit ChildProber(int count) : count_(count)
    {
        if (::pipe2(go_, O_CLOEXEC) != 0 || ::pipe2(results_, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ != 0)
            return;
        char signal;
        if (::read(go_[0], &signal, 1) != 1)
            ::_exit(1);
        const std::vector<Probe> probes = probeLoopback(count);
        const auto size = ssize_t(probes.size() * sizeof(Probe));
        ::_exit(::write(results_[1], probes.data(), std::size_t(size)) == size ? 0 : 1);
    }
    ChildProber(const ChildProber &) = delete;
    ChildProber &operator=(const ChildProber &) = delete;
    ~ChildProber()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {go_[0], go_[1], results_[0], results_[1]})
            if (fd >= 0)
                ::close(fd);
    }

    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void go() const { [[maybe_unused]] const auto written = ::write(go_[1], "g", 1); }

    // Its outcomes; fewer when it failed or took longer than `within`.
    std::vector<Probe> outcomes(std::chrono::milliseconds within)
    {
        std::vector<Probe> probes(static_cast<std::size_t>(count_));
        auto *into = reinterpret_cast<char *>(probes.data());
        const std::size_t wanted = probes.size() * sizeof(Probe);
        std::size_t got = 0;
        const auto deadline = steady_clock::now() + within;
        while (got < wanted && steady_clock::now() < deadline) {
            pollfd readable{results_[0], POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(results_[0], into + got, wanted - got);
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        probes.resize(got / sizeof(Probe));
        return probes;
    }

private:
    int count_;
    pid_t pid_ = -1;
    int go_[2] = {-1, -1};
    int results_[2] = {-1, -1};
};

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}

// Flood pings from the test's namespace, stopped by an interrupt so that ping
// prints its summary; `-w` bounds it should the test never get that far.
class Flood {
public:
    explicit Flood(const QString &space)
    {
        process_.start("ip", {"netns", "exec", space, "ping", "-f", "-q", "-w", "10", "127.0.0.1"});
        process_.waitForStarted(2000);
    }
    bool isRunning() const { return process_.state() == QProcess::Running; }

    // Requests sent and replies received, from ping's summary.
    std::optional<std::pair<qint64, qint64>> stop()
    {
        if (process_.state() != QProcess::Running)
            return std::nullopt;
        ::kill(pid_t(process_.processId()), SIGINT);
        if (!process_.waitForFinished(3000))
            return std::nullopt;
        const QString summary = QString::fromLocal8Bit(process_.readAllStandardOutput());
        const auto match =
            QRegularExpression(R"((\d+) packets transmitted, (\d+) received)").match(summary);
        if (!match.hasMatch())
            return std::nullopt;
        return std::pair{match.captured(1).toLongLong(), match.captured(2).toLongLong()};
    }

private:
    QProcess process_;
};

const std::pair<EchoPath, const char *> Paths[] = {{EchoPath::Datagram, "datagram"}, {EchoPath::Raw, "raw"}};

} // namespace

Q_DECLARE_METATYPE(Module1::EchoPath)
Q_DECLARE_METATYPE(Forgery)

class TestLoad : public QObject {
    Q_OBJECT

private slots:
    void holdsUnderFlood_data();
    void holdsUnderFlood();
    void ignoresForgeries_data();
    void ignoresForgeries();
    void keepsItsAnswerBehindABurst_data();
    void keepsItsAnswerBehindABurst();
};

void TestLoad::holdsUnderFlood_data()
{
    QTest::addColumn<EchoPath>("path");
    for (const auto &[path, name] : Paths)
        QTest::newRow(name) << path;
}

// Two processes probe 127.0.0.1 at once while ping floods it: neither the
// flood's replies nor the other prober's may pass for a probe's own answer.
void TestLoad::holdsUnderFlood()
{
    QFETCH(EchoPath, path);
    TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
    if (!space.entered())
        QSKIP(NoNamespaces);
    if (QStandardPaths::findExecutable("ping").isEmpty())
        QSKIP("needs ping (Debian: iputils-ping) for the flood");

    ChildProber child(Probes);
    QVERIFY(child.isRunning());
    Host host(std::nullopt, true);
    QVERIFY(host.isRunning());
    Flood flood(space.name());
    QVERIFY(flood.isRunning());
    QElapsedTimer started;
    started.start();
    while (host.strangersAnswered() < 500 && started.elapsed() < 3000)
        QTest::qSleep(10);
    QVERIFY2(host.strangersAnswered() >= 500, "the flood did not get going");

    const int descriptors = openDescriptors();
    const int strangersBefore = host.strangersAnswered();
    child.go();
    QElapsedTimer took;
    took.start();
    const std::vector<Probe> ours = probeLoopback(Probes);
    const int descriptorsLeft = openDescriptors();
    const std::vector<Probe> theirs = child.outcomes(10s);
    const qint64 probingMs = took.elapsed();
    const int strangersDuring = host.strangersAnswered() - strangersBefore;
    const auto flooded = flood.stop();

    QCOMPARE(int(ours.size()), Probes);
    QCOMPARE(int(theirs.size()), Probes);
    const QStringList wrong = wrongAnswers(ours, path) + wrongAnswers(theirs, path);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
    QCOMPARE(host.probesAnswered(), 2 * Probes);
    QCOMPARE(descriptorsLeft, descriptors);
    QVERIFY2(flooded, "ping gave no summary");
    QVERIFY2(strangersDuring >= 100, qPrintable(QString("only %1 flood replies while probing").arg(strangersDuring)));

    qInfo("%s path: ping sent %lld requests and got %lld replies (%d of them while %d probes ran for %lld ms "
          "in two processes); false matches %lld",
          QTest::currentDataTag(), flooded->first, flooded->second, strangersDuring, 2 * Probes, probingMs,
          qint64(wrong.size()));
}

void TestLoad::ignoresForgeries_data()
{
    QTest::addColumn<EchoPath>("path");
    QTest::addColumn<Forgery>("forgery");
    QTest::addColumn<int>("status");     // what the probe must return
    QTest::addColumn<bool>("ownAnswer"); // from the host's answer, not from the forgery
    for (const auto &[path, name] : Paths) {
        const auto row = [&](const char *what, Forgery forgery, int status = 0, bool ownAnswer = true) {
            QTest::addRow("%s, %s", name, what) << path << forgery << status << ownAnswer;
        };
        row("reply with a foreign identifier", Forgery::ForeignId);
        row("reply with another sequence", Forgery::OtherSequence);
        row("reply from another host", Forgery::OtherSource);
        row("reply with a bad checksum", Forgery::BadChecksum);
        row("reply cut off before its sequence", Forgery::Truncated);
        row("request with our numbers", Forgery::RequestWithOurNumbers);
        row("IP header length below 20 bytes", Forgery::ShortIpHeader);
        row("error quoting a foreign identifier", Forgery::ErrorForeignId);
        row("error quoting another sequence", Forgery::ErrorOtherSequence);
        row("error quoting a request to another host", Forgery::ErrorOtherDestination);
        row("error quoting a header longer than the quote", Forgery::ErrorQuotedHeaderTooLong);
        row("error quoting half an echo header", Forgery::ErrorPartialQuote);
        // The same channel delivers what must count.
        row("control: reply after IP options", Forgery::ReplyAfterOptions, 0, false);
        row("control: error quoting our request", Forgery::ErrorAboutOurs, IpStatus::HostUnreachable, false);
    }
}

void TestLoad::ignoresForgeries()
{
    QFETCH(EchoPath, path);
    QFETCH(Forgery, forgery);
    QFETCH(int, status);
    QFETCH(bool, ownAnswer);
    TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
    if (!space.entered())
        QSKIP(NoNamespaces);
    Host host(forgery, false);
    QVERIFY(host.isRunning());

    const EchoOutcome outcome = echoOnce(Loopback, ProbePayload);
    QCOMPARE(outcome.path, path);
    QCOMPARE(outcome.status, status);
    const auto roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(outcome.roundTrip);
    if (ownAnswer) {
        QCOMPARE(outcome.from, Loopback);
        QVERIFY2(roundTrip >= AnswerDelay && roundTrip < EchoTimeout,
                 qPrintable(QString("%1 us: not the host's answer").arg(roundTrip.count())));
    } else if (status == 0) {
        QVERIFY2(roundTrip < AnswerDelay, qPrintable(QString("%1 us: the forged reply was missed").arg(roundTrip.count())));
    } else {
        QCOMPARE(outcome.from, OtherHost);
    }
}

void TestLoad::keepsItsAnswerBehindABurst_data()
{
    holdsUnderFlood_data();
}

// A prober that has no time to read while a burst of other people's replies
// comes in still finds its answer behind them.
void TestLoad::keepsItsAnswerBehindABurst()
{
    QFETCH(EchoPath, path);
    TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
    if (!space.entered())
        QSKIP(NoNamespaces);
    ChildProber child(1);
    QVERIFY(child.isRunning());
    Host host(Forgery::Burst, false, child.pid());
    QVERIFY(host.isRunning());

    child.go();
    const std::vector<Probe> outcomes = child.outcomes(5s);
    QCOMPARE(int(outcomes.size()), 1);
    QCOMPARE(outcomes[0].path, path);
    QCOMPARE(outcomes[0].status, 0);
    QCOMPARE(outcomes[0].from, Loopback);
}

QTEST_APPLESS_MAIN(TestLoad)
#include "tst_load.moc"
