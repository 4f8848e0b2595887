#include "EchoPacket.h"

#include <QTest>

#include <arpa/inet.h>

#include <climits>

using namespace Module1;
using Packet = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Packet)

namespace {

constexpr std::uint16_t Id = 0x1234;
constexpr std::uint16_t Sequence = 0xbeef;
const std::uint32_t Target = inet_addr("192.0.2.7");
const std::uint32_t Us = inet_addr("192.0.2.1");
const std::uint32_t Router = inet_addr("198.51.100.1");
constexpr int NotOurs = INT_MIN;

Packet icmp(std::uint8_t type, std::uint8_t code, std::uint16_t id, std::uint16_t sequence, const Packet &body)
{
    Packet packet{type, code, 0, 0, std::uint8_t(id >> 8), std::uint8_t(id), std::uint8_t(sequence >> 8),
                  std::uint8_t(sequence)};
    packet.insert(packet.end(), body.begin(), body.end());
    const std::uint16_t checksum = internetChecksum(packet);
    packet[2] = std::uint8_t(checksum >> 8);
    packet[3] = std::uint8_t(checksum);
    return packet;
}

Packet echo(std::uint8_t type, std::uint16_t id, std::uint16_t sequence, std::size_t size = 32)
{
    return icmp(type, 0, id, sequence, Packet(size, '*'));
}

// An IPv4 packet around `body`; `words` is the header length in 32-bit words,
// any beyond five being no-operation options.
Packet ipv4(std::uint32_t source, std::uint32_t destination, const Packet &body, std::uint8_t protocol = 1,
            std::uint8_t words = 5)
{
    const std::size_t total = words * 4u + body.size();
    Packet packet(words * 4u, 1);
    std::fill_n(packet.begin(), 20, 0);
    packet[0] = std::uint8_t(0x40 | words);
    packet[2] = std::uint8_t(total >> 8);
    packet[3] = std::uint8_t(total);
    packet[8] = 64;
    packet[9] = protocol;
    std::memcpy(packet.data() + 12, &source, 4);
    std::memcpy(packet.data() + 16, &destination, 4);
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

// An ICMP error as a router sends it: the offending packet's IP header and
// the first eight bytes after it.
Packet error(std::uint8_t type, std::uint8_t code, const Packet &offending, std::uint32_t from = Router)
{
    const std::size_t quoted = std::size_t(offending[0] & 0x0f) * 4 + 8;
    return ipv4(from, Us, icmp(type, code, 0, 0, Packet(offending.begin(), offending.begin() + quoted)));
}

const Packet Request = ipv4(Us, Target, echo(Icmp::EchoRequest, Id, Sequence));

} // namespace

class TestEchoPacket : public QObject {
    Q_OBJECT

private slots:
    void checksumMatchesReference();
    void matchesRawPacket_data();
    void matchesRawPacket();
    void rejectsEveryTruncation_data();
    void rejectsEveryTruncation();
};

void TestEchoPacket::checksumMatchesReference()
{
    // The worked example of RFC 1071, and the same with an odd byte left over.
    QCOMPARE(internetChecksum(Packet{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x220d);
    QCOMPARE(internetChecksum(Packet{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0x01}), 0x210d);
}

void TestEchoPacket::matchesRawPacket_data()
{
    QTest::addColumn<Packet>("packet");
    QTest::addColumn<int>("status");
    QTest::addColumn<quint32>("from");

    const Packet reply = echo(Icmp::EchoReply, Id, Sequence);
    QTest::newRow("reply") << ipv4(Target, Us, reply) << 0 << Target;
    QTest::newRow("reply, header with options") << ipv4(Target, Us, reply, 1, 15) << 0 << Target;
    QTest::newRow("reply, other id") << ipv4(Target, Us, echo(Icmp::EchoReply, Id + 1, Sequence)) << NotOurs << 0u;
    QTest::newRow("reply, other sequence") << ipv4(Target, Us, echo(Icmp::EchoReply, Id, Sequence - 1)) << NotOurs
                                           << 0u;
    QTest::newRow("reply from another host") << ipv4(Router, Us, reply) << NotOurs << 0u;
    Packet corrupted = reply;
    corrupted.back() ^= 0x40;
    QTest::newRow("reply, bad checksum") << ipv4(Target, Us, corrupted) << NotOurs << 0u;
    QTest::newRow("own request looped back") << Request << NotOurs << 0u;

    Packet version6 = ipv4(Target, Us, reply);
    version6[0] = 0x65;
    QTest::newRow("not IPv4") << version6 << NotOurs << 0u;
    Packet longHeader = ipv4(Target, Us, Packet(4, 0));
    longHeader[0] = 0x4f;
    QTest::newRow("header length beyond the packet") << longHeader << NotOurs << 0u;
    Packet overlong = ipv4(Target, Us, reply);
    overlong[3] += 1;
    QTest::newRow("total length beyond the packet") << overlong << NotOurs << 0u;

    QTest::newRow("net unreachable") << error(3, 0, Request) << IpStatus::NetUnreachable << Router;
    QTest::newRow("host unreachable") << error(3, 1, Request) << IpStatus::HostUnreachable << Router;
    QTest::newRow("TTL expired in transit") << error(11, 0, Request) << IpStatus::TtlExpiredTransit << Router;
    QTest::newRow("error quoting a header with options")
        << error(11, 0, ipv4(Us, Target, echo(Icmp::EchoRequest, Id, Sequence), 1, 6)) << IpStatus::TtlExpiredTransit
        << Router;
    QTest::newRow("error about another destination")
        << error(3, 1, ipv4(Us, Router, echo(Icmp::EchoRequest, Id, Sequence))) << NotOurs << 0u;
    QTest::newRow("error about another sequence")
        << error(3, 1, ipv4(Us, Target, echo(Icmp::EchoRequest, Id, Sequence + 1))) << NotOurs << 0u;
    QTest::newRow("error about a UDP datagram")
        << error(3, 3, ipv4(Us, Target, echo(Icmp::EchoRequest, Id, Sequence), 17)) << NotOurs << 0u;
    QTest::newRow("source quench") << error(4, 0, Request) << NotOurs << 0u;
    QTest::newRow("error quoting only the IP header")
        << ipv4(Router, Us, icmp(3, 1, 0, 0, Packet(Request.begin(), Request.begin() + 20))) << NotOurs << 0u;
}

void TestEchoPacket::matchesRawPacket()
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

void TestEchoPacket::rejectsEveryTruncation_data()
{
    QTest::addColumn<Packet>("packet");
    QTest::newRow("reply") << ipv4(Target, Us, echo(Icmp::EchoReply, Id, Sequence));
    QTest::newRow("error") << error(3, 1, Request);
}

// Whatever a raw socket hands over is read within its length: every cut of
// a matching packet is refused, and none reads past its end (which the
// sanitizers would report).
void TestEchoPacket::rejectsEveryTruncation()
{
    QFETCH(Packet, packet);
    QVERIFY(matchRawPacket(packet, Target, Id, Sequence));
    for (std::size_t size = 0; size < packet.size(); ++size) {
        const Packet cut(packet.begin(), packet.begin() + std::ptrdiff_t(size));
        QVERIFY2(!matchRawPacket(cut, Target, Id, Sequence), qPrintable(QString("cut at %1").arg(size)));
    }
}

QTEST_APPLESS_MAIN(TestEchoPacket)
#include "tst_echopacket.moc"
