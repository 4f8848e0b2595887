// ICMP echo packets as plain bytes: building a request, and deciding whether a
// received packet answers it. No sockets and no system headers here, so that
// the matchers can be driven with any bytes at all.
#pragma once

#include "probe/Module1.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace Module1 {

// Status codes with the meanings the platform's echo service gives them.
namespace IpStatus {
constexpr ProbeStatus kNetUnreachable = 11002;
constexpr ProbeStatus kHostUnreachable = 11003;
constexpr ProbeStatus kProtocolUnreachable = 11004;
constexpr ProbeStatus kPortUnreachable = 11005;
constexpr ProbeStatus kPacketTooBig = 11009;
constexpr ProbeStatus kTimedOut = 11010;
constexpr ProbeStatus kBadRoute = 11012;
constexpr ProbeStatus kTtlExpiredTransit = 11013;
constexpr ProbeStatus kParameterProblem = 11015;
constexpr ProbeStatus kGeneralFailure = 11050;
} // namespace IpStatus

namespace Icmp {
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr std::size_t kHeaderSize = 8;
} // namespace Icmp

using Bytes = std::span<const std::uint8_t>;

// The Internet checksum (RFC 1071) over `data`; 0 when summed over a packet
// whose checksum field is right.
std::uint16_t internetChecksum(Bytes data);

// An echo request: 8-byte header with a valid checksum, then `payload` as given.
std::vector<std::uint8_t> buildEchoRequest(std::uint16_t id, std::uint16_t sequence, std::string_view payload);

// The status for an ICMP error of `type` and `code` about one of our requests;
// nullopt for messages that are not errors about a request (echo replies,
// source quench and the like), and for those that the kernel never hands an
// ICMP datagram socket (a destination unreachable with a code above 15, a
// time-out of fragment reassembly), so that a raw socket counts none of them
// either.
std::optional<ProbeStatus> statusForIcmpError(std::uint8_t type, std::uint8_t code);

// The status for a failed send, by its errno value.
ProbeStatus statusForSendError(int error);

// True when `quoted`, the ICMP part of a packet quoted in an error message,
// is the echo request with `id` and `sequence` and code 0, as every request
// is (the kernel hands a datagram socket no error about one of another code).
bool isQuotedRequest(Bytes quoted, std::uint16_t id, std::uint16_t sequence);

// What a packet about a request says: 0 for its echo reply, a positive
// status for an ICMP error about it, and who sent it.
struct Verdict {
    ProbeStatus status;
    std::uint32_t from; // network byte order
};

// The verdict on one packet as a raw ICMP socket delivers it (IPv4 header,
// then ICMP) for the request with `id` and `sequence` to `target` (both
// addresses in network byte order, as they stand in the header); nullopt
// when the packet is not about that request. An error counts as it would on
// a datagram socket under the kernel's default settings: its quoted IP header
// is read as the kernel reads it for one (its length and protocol, not its
// version), its quoted request judged by isQuotedRequest.
std::optional<Verdict> matchRawPacket(Bytes packet, std::uint32_t target, std::uint16_t id, std::uint16_t sequence);

// True when `icmp` is an ICMP message of `type` with `id` and a sequence
// other than `sequence`. The identifier of a datagram socket shows in
// /proc/net/icmp while the socket is open, so any local user can read it;
// such a message is then someone guessing the sequence, since nobody else can
// bind that identifier while the probe holds it.
bool guessesSequence(Bytes icmp, std::uint8_t type, std::uint16_t id, std::uint16_t sequence);

// The verdict on `message`, as an ICMP datagram socket delivers it (no IP
// header, the kernel has checked the checksum), received from `from`, for the
// request with `id` and `sequence` sent to `target`: 0 for its echo reply,
// nullopt for what is not about it. An echo reply that guesses the sequence
// ends the probe without a reply (kGeneralFailure), so that no run of guesses
// can come through as an answer.
std::optional<Verdict> matchDatagramReply(Bytes message, std::uint32_t from, std::uint32_t target, std::uint16_t id,
                                          std::uint16_t sequence);

} // namespace Module1
