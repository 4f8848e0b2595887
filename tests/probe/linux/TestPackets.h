// ICMP messages and IPv4 datagrams built byte by byte, for the matchers and
// for raw sockets that send their own IP headers.
#pragma once

#include "probe/linux/EchoPacket.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace probetest {

using Packet = std::vector<std::uint8_t>;

// Type, code, checksum, then `rest`.
inline Packet icmp(std::uint8_t type, std::uint8_t code, const Packet &rest)
{
    Packet message{type, code, 0, 0};
    message.insert(message.end(), rest.begin(), rest.end());
    const std::uint16_t checksum = Module1::internetChecksum(message);
    message[2] = std::uint8_t(checksum >> 8);
    message[3] = std::uint8_t(checksum);
    return message;
}

inline Packet echo(std::uint8_t type, std::uint16_t id, std::uint16_t sequence, const std::string &payload)
{
    Packet rest{std::uint8_t(id >> 8), std::uint8_t(id), std::uint8_t(sequence >> 8), std::uint8_t(sequence)};
    rest.insert(rest.end(), payload.begin(), payload.end());
    return icmp(type, 0, rest);
}

// `words` is the header length field; words beyond five are no-operation
// options. The header checksum stays 0: the matchers don't read it, and a raw
// socket's kernel fills it in (for a header of at least 20 bytes).
inline Packet datagram(std::uint32_t source, std::uint32_t destination, const Packet &body, std::uint8_t words = 5,
                       std::uint8_t protocol = 1)
{
    Packet packet(std::max(words * 4u, 20u), 1);
    std::fill_n(packet.begin(), 20, 0);
    const std::size_t total = packet.size() + body.size();
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

// An ICMP error from `from` to the sender of `offending`, quoting its first
// `quoted` bytes; by default its IP header and the eight bytes after it, as
// routers do.
inline Packet error(std::uint8_t type, std::uint8_t code, const Packet &offending, std::uint32_t from,
                    std::size_t quoted = 0)
{
    if (quoted == 0)
        quoted = std::size_t(offending[0] & 0x0f) * 4 + 8;
    Packet rest(4, 0);
    rest.insert(rest.end(), offending.begin(), offending.begin() + std::ptrdiff_t(quoted));
    std::uint32_t sender;
    std::memcpy(&sender, offending.data() + 12, 4);
    return datagram(from, sender, icmp(type, code, rest));
}

} // namespace probetest
