#include "probe/linux/EchoPacket.h"
#include "TestPackets.h"

#include <QTest>

#include <arpa/inet.h>

#include <climits>

using namespace Module1;
using namespace probetest;

Q_DECLARE_METATYPE(Packet)

namespace {

constexpr std::uint16_t Id = 0x1234;
constexpr std::uint16_t Sequence = 0xbeef;
const std::uint32_t Target = inet_addr("192.0.2.7");
const std::uint32_t Us = inet_addr("192.0.2.1");
const std::uint32_t Router = inet_addr("198.51.100.1");
const std::string Payload(32, '*');
constexpr int NotOurs = INT_MIN;

Packet reply(std::uint16_t id = Id, std::uint16_t sequence = Sequence)
{
    return echo(Icmp::kEchoReply, id, sequence, Payload);
}

// Our request as it left, to `to`, with `words` of IP header.
Packet request(std::uint32_t to = Target, std::uint16_t sequence = Sequence, std::uint8_t words = 5,
               std::uint8_t protocol = 1)
{
    return datagram(Us, to, echo(Icmp::kEchoRequest, Id, sequence, Payload), words, protocol);
}

Packet routerError(std::uint8_t type, std::uint8_t code, const Packet &offending = request(), std::size_t quoted = 0)
{
    return error(type, code, offending, Router, quoted);
}

} // namespace

class TestEchoPacket : public QObject {
    Q_OBJECT

private slots:
    void checksumMatchesReference()
    {
        // The worked example of RFC 1071, and the same with an odd byte left over.
        QCOMPARE(internetChecksum(Packet{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x220d);
        QCOMPARE(internetChecksum(Packet{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0x01}), 0x210d);
    }

    void matchesRawPacket_data()
    {
        QTest::addColumn<Packet>("packet");
        QTest::addColumn<int>("status");
        QTest::addColumn<quint32>("from");

        QTest::newRow("reply") << datagram(Target, Us, reply()) << 0 << Target;
        QTest::newRow("reply, header with options") << datagram(Target, Us, reply(), 15) << 0 << Target;
        QTest::newRow("reply, 2000 bytes of payload")
            << datagram(Target, Us, echo(Icmp::kEchoReply, Id, Sequence, std::string(2000, '*'))) << 0 << Target;
        QTest::newRow("reply, other id") << datagram(Target, Us, reply(Id + 1)) << NotOurs << 0u;
        QTest::newRow("reply, other sequence") << datagram(Target, Us, reply(Id, Sequence - 1)) << NotOurs << 0u;
        QTest::newRow("reply from another host") << datagram(Router, Us, reply()) << NotOurs << 0u;
        Packet corrupted = reply();
        corrupted.back() ^= 0x40;
        QTest::newRow("reply, bad checksum") << datagram(Target, Us, corrupted) << NotOurs << 0u;
        QTest::newRow("own request looped back") << request() << NotOurs << 0u;

        Packet notVersion4 = datagram(Target, Us, reply());
        notVersion4[0] = 0x65;
        QTest::newRow("not IPv4") << notVersion4 << NotOurs << 0u;
        Packet longHeader = datagram(Target, Us, Packet(4, 0));
        longHeader[0] = 0x4f;
        QTest::newRow("header length beyond the packet") << longHeader << NotOurs << 0u;
        Packet overlong = datagram(Target, Us, reply());
        overlong[3] += 1;
        QTest::newRow("total length beyond the packet") << overlong << NotOurs << 0u;

        QTest::newRow("net unreachable") << routerError(3, 0) << IpStatus::kNetUnreachable << Router;
        QTest::newRow("host unreachable") << routerError(3, 1) << IpStatus::kHostUnreachable << Router;
        QTest::newRow("TTL expired in transit") << routerError(11, 0) << IpStatus::kTtlExpiredTransit << Router;
        QTest::newRow("error quoting a header with options")
            << routerError(11, 0, request(Target, Sequence, 6)) << IpStatus::kTtlExpiredTransit << Router;
        QTest::newRow("error about another destination") << routerError(3, 1, request(Router)) << NotOurs << 0u;
        QTest::newRow("error about another sequence")
            << routerError(3, 1, request(Target, Sequence + 1)) << NotOurs << 0u;
        QTest::newRow("error about a UDP datagram")
            << routerError(3, 3, request(Target, Sequence, 5, 17)) << NotOurs << 0u;
        QTest::newRow("source quench") << routerError(4, 0) << NotOurs << 0u;
        QTest::newRow("error quoting only the IP header") << routerError(3, 1, request(), 20) << NotOurs << 0u;
        QTest::newRow("error quoting a header below 20 bytes")
            << routerError(3, 1, request(Target, Sequence, 4)) << NotOurs << 0u;
        // As the kernel judges errors for a datagram socket: the request's
        // code and the kinds of error it hands on, not the quoted version.
        const Packet ourNumbers{Id >> 8, Id & 0xff, Sequence >> 8, Sequence & 0xff};
        QTest::newRow("error quoting a request of code 1")
            << routerError(3, 1, datagram(Us, Target, icmp(Icmp::kEchoRequest, 1, ourNumbers))) << NotOurs << 0u;
        Packet version6 = request();
        version6[0] = 0x65;
        QTest::newRow("error quoting a header of version 6")
            << routerError(3, 1, version6) << IpStatus::kHostUnreachable << Router;
        QTest::newRow("precedence cutoff") << routerError(3, 15) << IpStatus::kGeneralFailure << Router;
        QTest::newRow("unreachable, code 16") << routerError(3, 16) << NotOurs << 0u;
        QTest::newRow("fragment reassembly time exceeded") << routerError(11, 1) << NotOurs << 0u;
    }

    void matchesRawPacket()
    {
        QFETCH(Packet, packet);
        QFETCH(int, status);
        QFETCH(quint32, from);

        const auto verdict = matchRawPacket(packet, Target, Id, Sequence);
        if (status == NotOurs) {
            QVERIFY(!verdict);
            return;
        }
        QVERIFY(verdict);
        QCOMPARE(verdict->status, status);
        QCOMPARE(verdict->from, from);
    }

    void matchesDatagramReply_data()
    {
        QTest::addColumn<Packet>("message"); // ICMP only, as the datagram socket hands it over
        QTest::addColumn<quint32>("from");
        QTest::addColumn<int>("status"); // -1 for none
        const Packet whole = reply();
        QTest::newRow("reply") << whole << Target << 0;
        QTest::newRow("reply, other id") << reply(Id + 1) << Target << -1;
        QTest::newRow("reply guessing the sequence") << reply(Id, Sequence - 1) << Target << int(IpStatus::kGeneralFailure);
        QTest::newRow("reply from another host") << whole << Router << -1;
        QTest::newRow("request with our numbers") << echo(Icmp::kEchoRequest, Id, Sequence, Payload) << Target << -1;
        QTest::newRow("cut before its sequence") << Packet(whole.begin(), whole.begin() + 6) << Target << -1;
    }

    void matchesDatagramReply()
    {
        QFETCH(Packet, message);
        QFETCH(quint32, from);
        QFETCH(int, status);
        const auto verdict = matchDatagramReply(message, from, Target, Id, Sequence);
        QCOMPARE(verdict ? verdict->status : -1, status);
    }

    void rejectsEveryTruncation_data()
    {
        QTest::addColumn<Packet>("packet");
        QTest::newRow("reply") << datagram(Target, Us, reply());
        QTest::newRow("error") << routerError(3, 1);
    }

    // Whatever a raw socket hands over is read within its length: every cut of
    // a matching packet is refused, and none reads past its end (which the
    // sanitizers would report).
    void rejectsEveryTruncation()
    {
        QFETCH(Packet, packet);
        QVERIFY(matchRawPacket(packet, Target, Id, Sequence));
        for (std::size_t size = 0; size < packet.size(); ++size) {
            const Packet cut(packet.begin(), packet.begin() + std::ptrdiff_t(size));
            QVERIFY2(!matchRawPacket(cut, Target, Id, Sequence), qPrintable(QString("cut at %1").arg(size)));
        }
    }
};

QTEST_APPLESS_MAIN(TestEchoPacket)
#include "tst_echopacket.moc"
