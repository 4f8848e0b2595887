// The echo probe under load and under attack, over real sockets inside network
// namespaces of the test's own: a ping flood, a second prober in another
// process, and forged packets aimed at the prober. The kernel there ignores
// echo requests; the test's own host answers each probe only after
// AnswerDelay, so a probe that returns sooner, or with a reply from anyone
// but 127.0.0.1, took a packet that was not its answer. Needs root.
#include "probe/linux/LinuxEcho.h"
#include "TestNamespace.h"
#include "TestResponder.h"
#include "os/posix/Descriptor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace Module1;
using namespace probetest;
using namespace std::chrono_literals;
using os::posix::Descriptor;

namespace {

constexpr auto AnswerDelay = 15ms;
constexpr int Probes = 50;
constexpr int BurstSize = 1000;
const std::string ProbePayload(32, '*');
const std::uint32_t Loopback = inet_addr("127.0.0.1");
const std::uint32_t OtherHost = inet_addr("127.0.0.2");
const std::uint32_t ThirdHost = inet_addr("127.0.0.3");

// A packet forged from the request it answers.
using Forge = std::function<Packet(const Request &)>;

Packet fromLoopback(const Request &r, const Packet &message, std::uint8_t words = 5)
{
    return datagram(Loopback, r.source, message, words);
}

Packet reply(const Request &r, std::uint16_t id, std::uint16_t sequence)
{
    return echo(Icmp::kEchoReply, id, sequence, r.payload);
}

// A host-unreachable error from 127.0.0.2 quoting the request's IP header and
// the first `icmpBytes` of its ICMP message.
Packet errorAbout(const Request &r, std::size_t icmpBytes = Icmp::kHeaderSize)
{
    return error(Icmp::kDestinationUnreachable, 1, r.packet, OtherHost, r.headerLength + icmpBytes);
}

// One probe's outcome, as plain bytes that pass between processes.
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
            || p.roundTripNs >= kEchoTimeout / 1ns)
            wrong << QString("probe %1: status %2, from %3, %4 us")
                         .arg(i + 1)
                         .arg(p.status)
                         .arg(inet_ntoa(in_addr{p.from}))
                         .arg(p.roundTripNs / 1000);
    }
    return wrong;
}

// A second prober in a process of its own, forked before the test starts its
// own threads. It waits for go(), probes, and hands its outcomes back in one
// message.
class ChildProber {
public:
    explicit ChildProber(int count) : count_(count)
    {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        ours_ = Descriptor(ends[0]);
        Descriptor theirs(ends[1]); // closed here once forked, so that it closes when the child dies
        pid_ = ::fork();
        if (pid_ != 0)
            return;
        char signal;
        if (::read(theirs.get(), &signal, 1) != 1)
            ::_exit(1);
        const std::vector<Probe> probes = probeLoopback(count);
        const auto size = ssize_t(probes.size() * sizeof(Probe));
        ::_exit(::write(theirs.get(), probes.data(), std::size_t(size)) == size ? 0 : 1);
    }
    ChildProber(const ChildProber &) = delete;
    ChildProber &operator=(const ChildProber &) = delete;
    ~ChildProber()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void go() const { [[maybe_unused]] const auto written = ::write(ours_.get(), "g", 1); }

    // Its outcomes; none when it failed or took longer than `within`.
    std::vector<Probe> outcomes(std::chrono::milliseconds within)
    {
        std::vector<Probe> probes(static_cast<std::size_t>(count_));
        pollfd readable{ours_.get(), POLLIN, 0};
        const ssize_t size = ::poll(&readable, 1, int(within.count())) == 1
            ? ::recv(ours_.get(), probes.data(), probes.size() * sizeof(Probe), 0)
            : 0;
        probes.resize(std::size_t(std::max<ssize_t>(size, 0)) / sizeof(Probe));
        return probes;
    }

private:
    int count_;
    pid_t pid_ = -1;
    Descriptor ours_;
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

} // namespace

Q_DECLARE_METATYPE(Forge)

class TestLoad : public QObject {
    Q_OBJECT

private slots:
    void holdsUnderFlood_data()
    {
        QTest::addColumn<EchoPath>("path");
        for (const auto &[path, name] : EchoPaths)
            QTest::newRow(name) << path;
    }
    // Two processes probe 127.0.0.1 at once while ping floods it: neither the
    // flood's replies nor the other prober's may pass for a probe's own answer.
    void holdsUnderFlood()
    {
        QFETCH(EchoPath, path);
        TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        if (QStandardPaths::findExecutable("ping").isEmpty())
            QSKIP("needs ping (Debian: iputils-ping) for the flood");

        ChildProber child(Probes);
        QVERIFY(child.isRunning());
        // Probes are answered late, the flood's requests at once so that it runs at full speed.
        std::atomic<int> probes{0}, strangers{0};
        std::mutex counting;
        std::condition_variable counted;
        TestResponder host([&](TestResponder &self, const Request &r) {
            if (r.payload == ProbePayload) {
                ++probes;
                self.sendAfter(r, AnswerDelay, genuineReply(r));
            } else {
                self.send(genuineReply(r));
                const std::lock_guard lock(counting);
                if (++strangers == 500)
                    counted.notify_all();
            }
        });
        QVERIFY(host.isRunning());
        Flood flood(space.name());
        QVERIFY(flood.isRunning());
        {
            std::unique_lock lock(counting);
            QVERIFY2(counted.wait_for(lock, 5s, [&] { return strangers >= 500; }), "the flood did not get going");
        }

        const int descriptors = openDescriptors();
        const int strangersBefore = strangers;
        child.go();
        QElapsedTimer took;
        took.start();
        const std::vector<Probe> ours = probeLoopback(Probes);
        const int descriptorsLeft = openDescriptors();
        const std::vector<Probe> theirs = child.outcomes(10s);
        const qint64 probingMs = took.elapsed();
        const int strangersDuring = strangers - strangersBefore;
        const auto flooded = flood.stop();

        QCOMPARE(int(ours.size()), Probes);
        QCOMPARE(int(theirs.size()), Probes);
        const QStringList wrong = wrongAnswers(ours, path) + wrongAnswers(theirs, path);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("; ")));
        QCOMPARE(probes.load(), 2 * Probes);
        QCOMPARE(descriptorsLeft, descriptors);
        QVERIFY2(flooded, "ping gave no summary");
        QVERIFY2(strangersDuring >= 100,
                 qPrintable(QString("only %1 flood replies while probing").arg(strangersDuring)));
        qInfo("%s path: ping sent %lld requests and got %lld replies (%d of them while %d probes ran for %lld ms "
              "in two processes); false matches %lld",
              QTest::currentDataTag(), flooded->first, flooded->second, strangersDuring, 2 * Probes, probingMs,
              qint64(wrong.size()));
    }

    // Each forgery reaches the prober the moment its request comes in, the
    // host's answer AnswerDelay later.
    void ignoresForgeries_data()
    {
        QTest::addColumn<EchoPath>("path");
        QTest::addColumn<Forge>("forge");
        QTest::addColumn<int>("status");     // what the probe must return
        QTest::addColumn<bool>("ownAnswer"); // from the host's answer, not from the forgery
        for (const auto &[path, name] : EchoPaths) {
            const auto row = [&](const char *what, Forge forge, int status = 0, bool ownAnswer = true) {
                QTest::addRow("%s, %s", name, what) << path << forge << status << ownAnswer;
            };
            row("reply with a foreign identifier",
                [](const Request &r) { return fromLoopback(r, reply(r, r.id ^ 0x8000, r.sequence)); });
            // The datagram socket's identifier can be read while it is open: a
            // guess at its sequence ends the probe there, where the raw
            // socket's filter keeps it out.
            const bool readable = path == EchoPath::Datagram;
            const int guessed = readable ? IpStatus::kGeneralFailure : 0;
            row("reply with another sequence",
                [](const Request &r) { return fromLoopback(r, reply(r, r.id, r.sequence + 1)); }, guessed, !readable);
            row("reply from another host",
                [](const Request &r) { return datagram(OtherHost, r.source, reply(r, r.id, r.sequence)); });
            row("reply with a bad checksum", [](const Request &r) {
                Packet corrupt = reply(r, r.id, r.sequence);
                corrupt[3] ^= 1;
                return fromLoopback(r, corrupt);
            });
            // Type, code, checksum and identifier, but no sequence.
            row("reply cut off before its sequence", [](const Request &r) {
                return fromLoopback(r, icmp(Icmp::kEchoReply, 0, {std::uint8_t(r.id >> 8), std::uint8_t(r.id)}));
            });
            row("request with our numbers",
                [](const Request &r) { return fromLoopback(r, echo(Icmp::kEchoRequest, r.id, r.sequence, "forged")); });
            row("IP header length below 20 bytes",
                [](const Request &r) { return fromLoopback(r, reply(r, r.id, r.sequence), 4); });
            // Errors quoting the request altered.
            row("error quoting a foreign identifier", [](Request r) {
                r.packet[r.headerLength + 4] ^= 0x80;
                return errorAbout(r);
            });
            row("error quoting another sequence", [](Request r) {
                ++r.packet[r.headerLength + 7];
                return errorAbout(r);
            }, guessed, !readable);
            row("error quoting a request to another host", [](Request r) {
                std::memcpy(r.packet.data() + 16, &ThirdHost, 4);
                return errorAbout(r);
            });
            row("error quoting a header longer than the quote", [](Request r) {
                r.packet[0] = 0x4f;
                return errorAbout(r);
            });
            row("error quoting half an echo header", [](const Request &r) { return errorAbout(r, 4); });
            // Answers go to the request's source, not to another of the machine's addresses.
            row("reply sent to another address of ours",
                [](const Request &r) { return datagram(Loopback, ThirdHost, reply(r, r.id, r.sequence)); });
            row("error about our request as sent from another address of ours", [](Request r) {
                std::memcpy(r.packet.data() + 12, &ThirdHost, 4);
                return errorAbout(r);
            });
            // The kernel hands a datagram socket no error about a request of another code.
            row("error quoting a request of code 1", [](Request r) {
                r.packet[r.headerLength + 1] = 1;
                return errorAbout(r);
            });
            // The same channel delivers what must count.
            row("control: reply after IP options",
                [](const Request &r) { return fromLoopback(r, reply(r, r.id, r.sequence), 6); }, 0, false);
            row("control: error quoting our request", [](const Request &r) { return errorAbout(r); },
                IpStatus::kHostUnreachable, false);
            row("control: reply 2000 bytes longer than the request", [](const Request &r) {
                return fromLoopback(r, echo(Icmp::kEchoReply, r.id, r.sequence, r.payload + std::string(2000, '+')));
            }, 0, false);
        }
    }
    void ignoresForgeries()
    {
        QFETCH(EchoPath, path);
        QFETCH(Forge, forge);
        QFETCH(int, status);
        QFETCH(bool, ownAnswer);
        TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        TestResponder host([forge](TestResponder &self, const Request &r) {
            self.send(forge(r));
            self.sendAfter(r, AnswerDelay, genuineReply(r));
        });
        QVERIFY(host.isRunning());

        const EchoOutcome outcome = echoOnce(Loopback, ProbePayload);
        QCOMPARE(outcome.path, path);
        QCOMPARE(outcome.status, status);
        const auto roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(outcome.roundTrip);
        if (ownAnswer) {
            QCOMPARE(outcome.from, Loopback);
            QVERIFY2(roundTrip >= AnswerDelay && roundTrip < kEchoTimeout,
                     qPrintable(QString("%1 us: not the host's answer").arg(roundTrip.count())));
        } else if (status == 0) {
            QVERIFY2(roundTrip < AnswerDelay,
                     qPrintable(QString("%1 us: the forged reply was missed").arg(roundTrip.count())));
        } else if (status != IpStatus::kGeneralFailure) { // a guess ends the probe, whoever sent it
            QCOMPARE(outcome.from, OtherHost);
        }
    }

    void keepsItsAnswerBehindABurst_data()
    {
        QTest::addColumn<EchoPath>("path");
        QTest::addColumn<Forge>("stranger");
        for (const auto &[path, name] : EchoPaths) {
            QTest::addRow("%s, replies to another prober", name) << path << Forge([](const Request &r) {
                return fromLoopback(r, echo(Icmp::kEchoReply, r.id ^ 0x8000, r.sequence, std::string(1000, '#')));
            });
            QTest::addRow("%s, errors about other requests", name) << path << Forge([](Request r) {
                r.packet[r.headerLength + 4] ^= 0x80;
                return errorAbout(r);
            });
        }
    }
    // A prober that has no time to read while a burst of packets about other
    // people's requests comes in still finds its answer behind them.
    void keepsItsAnswerBehindABurst()
    {
        QFETCH(EchoPath, path);
        QFETCH(Forge, stranger);
        TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        ChildProber child(1);
        QVERIFY(child.isRunning());
        // The prober is stopped while a thousand of them, more than its
        // socket would hold, and then its answer come in.
        TestResponder host([pid = child.pid(), stranger](TestResponder &self, const Request &r) {
            if (::kill(pid, SIGSTOP) != 0 || ::waitpid(pid, nullptr, WUNTRACED) != pid)
                return;
            const Packet burst = stranger(r);
            for (int n = 0; n < BurstSize; ++n)
                self.send(burst);
            self.send(genuineReply(r));
            ::kill(pid, SIGCONT);
        });
        QVERIFY(host.isRunning());

        child.go();
        const std::vector<Probe> outcomes = child.outcomes(5s);
        QCOMPARE(int(outcomes.size()), 1);
        QCOMPARE(outcomes[0].path, path);
        QCOMPARE(outcomes[0].status, 0);
        QCOMPARE(outcomes[0].from, Loopback);
    }

    void judgesLateAnswersByArrival_data()
    {
        QTest::addColumn<EchoPath>("path");
        QTest::addColumn<bool>("error");        // a host-unreachable error in place of the reply
        QTest::addColumn<int>("answerMs");      // after the request came in
        QTest::addColumn<int>("status");
        for (const auto &[path, name] : EchoPaths) {
            QTest::addRow("%s, reply in time", name) << path << false << 300 << 0;
            QTest::addRow("%s, reply too late", name) << path << false << 600 << int(IpStatus::kTimedOut);
            QTest::addRow("%s, error in time", name) << path << true << 300 << int(IpStatus::kHostUnreachable);
            QTest::addRow("%s, error too late", name) << path << true << 600 << int(IpStatus::kTimedOut);
        }
    }
    // The prober is stopped from the moment its request comes in until 700 ms
    // later, so it reads whatever answered only after its deadline: what came
    // within 500 ms of the send counts, with its own round trip, and what came
    // later does not, however late it is read.
    void judgesLateAnswersByArrival()
    {
        QFETCH(EchoPath, path);
        QFETCH(bool, error);
        QFETCH(int, answerMs);
        QFETCH(int, status);
        TestNamespace space(path, "net.ipv4.icmp_echo_ignore_all=1");
        if (!space.entered())
            QSKIP(NoNamespaces);
        ChildProber child(1);
        QVERIFY(child.isRunning());
        TestResponder host([pid = child.pid(), error, answerMs](TestResponder &self, const Request &r) {
            if (::kill(pid, SIGSTOP) != 0 || ::waitpid(pid, nullptr, WUNTRACED) != pid)
                return;
            self.sendAfter(r, answerMs * 1ms, error ? errorAbout(r) : genuineReply(r));
            self.callAfter(r, 700ms, [pid] { ::kill(pid, SIGCONT); });
        });
        QVERIFY(host.isRunning());

        child.go();
        const std::vector<Probe> outcomes = child.outcomes(5s);
        QCOMPARE(int(outcomes.size()), 1);
        QCOMPARE(outcomes[0].path, path);
        const auto roundTripMs = outcomes[0].roundTripNs / 1'000'000;
        QVERIFY2(outcomes[0].status == status,
                 qPrintable(QString("status %1 after %2 ms").arg(outcomes[0].status).arg(roundTripMs)));
        // Measured to the answer's arrival, which the responder's delay puts
        // no sooner than answerMs after the send, not to its reading, no
        // sooner than 700 ms after it.
        if (status == 0)
            QVERIFY2(roundTripMs >= answerMs && roundTripMs < 700,
                     qPrintable(QString("round trip %1 ms").arg(roundTripMs)));
    }
};

QTEST_APPLESS_MAIN(TestLoad)
#include "tst_load.moc"
