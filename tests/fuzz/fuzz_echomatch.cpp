// The reply matchers driven with arbitrary bytes. The input is the request's
// target address (4 bytes, network order), identifier and sequence (2 bytes
// each, big-endian), the sender of a datagram (4 bytes), then the packet. The
// packet is copied into a buffer of its exact size, so that any read outside
// it is caught; each verdict is checked against a reading of the headers made
// here, field by field.
#include "probe/linux/EchoPacket.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

#define CHECK(condition)                                                                               \
    do {                                                                                               \
        if (!(condition)) {                                                                            \
            std::fprintf(stderr, "check failed: %s\n", #condition);                                     \
            std::abort();                                                                              \
        }                                                                                              \
    } while (false)

using Module1::ProbeStatus;

std::uint16_t be16(const std::uint8_t *p) { return std::uint16_t(p[0] << 8 | p[1]); }

std::uint32_t address(const std::uint8_t *p)
{
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// The ones' complement sum of a packet with a right checksum is all ones.
bool checksumHolds(const std::uint8_t *p, std::size_t n)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += i % 2 == 0 ? std::uint64_t(p[i]) << 8 : p[i];
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum == 0xffff;
}

struct Request {
    std::uint32_t target;
    std::uint16_t id;
    std::uint16_t sequence;
};

bool isEcho(const std::uint8_t *icmp, std::size_t n, std::uint8_t type, const Request &request)
{
    return n >= 8 && icmp[0] == type && be16(icmp + 4) == request.id && be16(icmp + 6) == request.sequence;
}

// The length of the IP header at `p`, when a whole one of ICMP is there; of
// IPv4 where `version` is asked for (a quoted header's version is not read).
std::optional<std::size_t> icmpOverIpv4(const std::uint8_t *p, std::size_t n, bool version = true)
{
    if (n < 20 || (version && p[0] >> 4 != 4) || p[9] != 1)
        return std::nullopt;
    const std::size_t header = std::size_t(p[0] & 0x0f) * 4;
    if (header < 20 || header > n)
        return std::nullopt;
    return header;
}

// What the raw path should make of `packet`: nullopt, 0 for the echo reply
// from the target, or an error status for an ICMP error about the request.
std::optional<ProbeStatus> expectedVerdict(const std::uint8_t *p, std::size_t n, const Request &request)
{
    const auto header = icmpOverIpv4(p, n);
    if (!header)
        return std::nullopt;
    const std::size_t total = be16(p + 2);
    if (total < *header || total > n)
        return std::nullopt;
    const std::uint8_t *icmp = p + *header;
    const std::size_t icmpSize = total - *header;
    if (icmpSize < 8 || !checksumHolds(icmp, icmpSize))
        return std::nullopt;

    if (icmp[0] == Module1::Icmp::kEchoReply) {
        if (address(p + 12) == request.target && isEcho(icmp, icmpSize, Module1::Icmp::kEchoReply, request))
            return 0;
        return std::nullopt;
    }
    const std::uint8_t type = icmp[0];
    if (type != 3 && type != 11 && type != 12)
        return std::nullopt;
    const std::uint8_t *quoted = icmp + 8;
    const std::size_t quotedSize = icmpSize - 8;
    const auto inner = icmpOverIpv4(quoted, quotedSize, false);
    if (!inner || address(quoted + 16) != request.target
        || !isEcho(quoted + *inner, quotedSize - *inner, Module1::Icmp::kEchoRequest, request)
        || quoted[*inner + 1] != 0)
        return std::nullopt;
    return Module1::statusForIcmpError(type, icmp[1]);
}

bool isErrorStatus(ProbeStatus status)
{
    using namespace Module1::IpStatus;
    for (const ProbeStatus known :
         {kNetUnreachable, kHostUnreachable, kProtocolUnreachable, kPortUnreachable, kPacketTooBig, kBadRoute,
          kTtlExpiredTransit, kParameterProblem, kGeneralFailure}) {
        if (status == known)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    constexpr std::size_t Prefix = 12;
    if (size < Prefix)
        return 0;
    const Request request{address(data), be16(data + 4), be16(data + 6)};
    const std::uint32_t from = address(data + 8);
    const std::vector<std::uint8_t> packet(data + Prefix, data + size);

    const auto verdict = Module1::matchRawPacket(packet, request.target, request.id, request.sequence);
    const auto expected = expectedVerdict(packet.data(), packet.size(), request);
    CHECK(verdict.has_value() == expected.has_value());
    if (verdict) {
        CHECK(verdict->status == *expected);
        CHECK(verdict->status == 0 || isErrorStatus(verdict->status));
        CHECK(verdict->from == address(packet.data() + 12));
    }

    const auto datagram = Module1::matchDatagramReply(packet, from, request.target, request.id, request.sequence);
    const bool guess = packet.size() >= Module1::Icmp::kHeaderSize && packet[0] == Module1::Icmp::kEchoReply
        && be16(packet.data() + 4) == request.id && be16(packet.data() + 6) != request.sequence;
    CHECK(datagram.has_value()
          == (guess || (from == request.target && isEcho(packet.data(), packet.size(), Module1::Icmp::kEchoReply, request))));
    CHECK(!datagram || datagram->status == (guess ? Module1::IpStatus::kGeneralFailure : 0));
    return 0;
}
