#include "probe/linux/EchoPacket.h"

#include <cerrno>
#include <cstring>

namespace Module1 {

namespace {

constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::size_t kMinimumIpHeader = 20;

std::uint16_t read16(Bytes bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// An address as it stands in a header, so in network byte order in memory.
std::uint32_t readAddress(Bytes bytes, std::size_t at)
{
    std::uint32_t address;
    std::memcpy(&address, bytes.data() + at, sizeof address);
    return address;
}

struct Ipv4Header {
    std::uint8_t version;
    std::size_t length;
    std::uint16_t totalLength;
    std::uint8_t protocol;
    std::uint32_t source;
    std::uint32_t destination;
};

// The IP header at the start of `bytes`, when all of it is there. The version
// and the total length are returned as written, not checked: a header quoted
// in an error message is followed by only part of its packet, and the kernel
// reads no version there.
std::optional<Ipv4Header> readIpv4Header(Bytes bytes)
{
    if (bytes.size() < kMinimumIpHeader)
        return std::nullopt;
    const std::size_t length = std::size_t(bytes[0] & 0x0f) * 4;
    if (length < kMinimumIpHeader || length > bytes.size())
        return std::nullopt;
    return Ipv4Header{std::uint8_t(bytes[0] >> 4), length, read16(bytes, 2), bytes[9], readAddress(bytes, 12),
                      readAddress(bytes, 16)};
}

bool isEcho(Bytes icmp, std::uint8_t type, std::uint16_t id, std::uint16_t sequence)
{
    return icmp.size() >= Icmp::kHeaderSize && icmp[0] == type && read16(icmp, 4) == id
        && read16(icmp, 6) == sequence;
}

} // namespace

std::uint16_t internetChecksum(Bytes data)
{
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < data.size(); i += 2)
        sum += read16(data, i);
    if (i < data.size())
        sum += std::uint32_t(data[i]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> buildEchoRequest(std::uint16_t id, std::uint16_t sequence, std::string_view payload)
{
    std::vector<std::uint8_t> packet(Icmp::kHeaderSize + payload.size());
    packet[0] = Icmp::kEchoRequest;
    packet[4] = static_cast<std::uint8_t>(id >> 8);
    packet[5] = static_cast<std::uint8_t>(id);
    packet[6] = static_cast<std::uint8_t>(sequence >> 8);
    packet[7] = static_cast<std::uint8_t>(sequence);
    std::memcpy(packet.data() + Icmp::kHeaderSize, payload.data(), payload.size());
    const std::uint16_t checksum = internetChecksum(packet);
    packet[2] = static_cast<std::uint8_t>(checksum >> 8);
    packet[3] = static_cast<std::uint8_t>(checksum);
    return packet;
}

std::optional<ProbeStatus> statusForIcmpError(std::uint8_t type, std::uint8_t code)
{
    switch (type) {
    case Icmp::kDestinationUnreachable:
        switch (code) {
        case 0:  // network unreachable
        case 6:  // network unknown
        case 9:  // network administratively prohibited
        case 11: // network unreachable for the type of service
            return IpStatus::kNetUnreachable;
        case 1:  // host unreachable
        case 7:  // host unknown
        case 10: // host administratively prohibited
        case 12: // host unreachable for the type of service
            return IpStatus::kHostUnreachable;
        case 2:
            return IpStatus::kProtocolUnreachable;
        case 3:
            return IpStatus::kPortUnreachable;
        case 4: // fragmentation needed but not allowed (a datagram socket
                // gets it unless net.ipv4.ip_no_pmtu_disc is set)
            return IpStatus::kPacketTooBig;
        case 5: // source route failed
            return IpStatus::kBadRoute;
        case 8:  // source host isolated
        case 13: // communication administratively prohibited
        case 14: // host precedence violation
        case 15: // precedence cutoff
            return IpStatus::kGeneralFailure;
        default:
            return std::nullopt;
        }
    case Icmp::kTimeExceeded:
        if (code == 1) // fragment reassembly
            return std::nullopt;
        return IpStatus::kTtlExpiredTransit;
    case Icmp::kParameterProblem:
        return IpStatus::kParameterProblem;
    default:
        return std::nullopt;
    }
}

ProbeStatus statusForSendError(int error)
{
    switch (error) {
    case ENETUNREACH:
        return IpStatus::kNetUnreachable;
    case EHOSTUNREACH:
        return IpStatus::kHostUnreachable;
    case EMSGSIZE:
        return IpStatus::kPacketTooBig;
    default:
        return IpStatus::kGeneralFailure;
    }
}

bool isQuotedRequest(Bytes quoted, std::uint16_t id, std::uint16_t sequence)
{
    return isEcho(quoted, Icmp::kEchoRequest, id, sequence) && quoted[1] == 0;
}

std::optional<Verdict> matchRawPacket(Bytes packet, std::uint32_t target, std::uint16_t id, std::uint16_t sequence)
{
    const auto outer = readIpv4Header(packet);
    if (!outer || outer->version != 4 || outer->protocol != kProtocolIcmp || outer->totalLength < outer->length
        || outer->totalLength > packet.size())
        return std::nullopt;
    const Bytes icmp = packet.subspan(outer->length, outer->totalLength - outer->length);
    if (icmp.size() < Icmp::kHeaderSize || internetChecksum(icmp) != 0)
        return std::nullopt;

    if (icmp[0] == Icmp::kEchoReply) {
        if (outer->source == target && isEcho(icmp, Icmp::kEchoReply, id, sequence))
            return Verdict{0, outer->source};
        return std::nullopt;
    }

    const auto status = statusForIcmpError(icmp[0], icmp[1]);
    if (!status)
        return std::nullopt;
    const Bytes quoted = icmp.subspan(Icmp::kHeaderSize);
    const auto inner = readIpv4Header(quoted);
    if (!inner || inner->protocol != kProtocolIcmp || inner->destination != target
        || !isQuotedRequest(quoted.subspan(inner->length), id, sequence))
        return std::nullopt;
    return Verdict{*status, outer->source};
}

bool guessesSequence(Bytes icmp, std::uint8_t type, std::uint16_t id, std::uint16_t sequence)
{
    return icmp.size() >= Icmp::kHeaderSize && icmp[0] == type && read16(icmp, 4) == id && read16(icmp, 6) != sequence;
}

std::optional<Verdict> matchDatagramReply(Bytes message, std::uint32_t from, std::uint32_t target, std::uint16_t id,
                                          std::uint16_t sequence)
{
    if (guessesSequence(message, Icmp::kEchoReply, id, sequence))
        return Verdict{IpStatus::kGeneralFailure, from};
    if (from == target && isEcho(message, Icmp::kEchoReply, id, sequence))
        return Verdict{0, from};
    return std::nullopt;
}

} // namespace Module1
