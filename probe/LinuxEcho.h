// The echo service on Linux: one ICMP echo request through a socket of its own,
// with the round-trip time to the microsecond for those who want more than the
// whole milliseconds of EchoReply.
#pragma once

#include "Module1.h"

#include <chrono>
#include <cstdint>
#include <string_view>

namespace Module1 {

// Which socket carried the request: the unprivileged ICMP datagram socket, or
// the raw ICMP socket where the system refuses the former.
enum class EchoPath { None, Datagram, Raw };

struct EchoOutcome {
    ProbeStatus status = -1;               // as SendEcho returns it
    std::chrono::nanoseconds roundTrip{0}; // with status 0: from the send to the kernel's receive stamp
    std::uint32_t from = 0;                // who answered or reported an error, network byte order; 0 for nobody
    EchoPath path = EchoPath::None;
};

// The prober's own cut-off, counted from the send.
constexpr std::chrono::milliseconds EchoTimeout{500};

// Sends one echo request carrying `payload` to `target` (network byte order)
// through a socket opened and closed in here, and waits for its answer until
// EchoTimeout after the send. Status -1 and path None when no socket opened.
EchoOutcome echoOnce(std::uint32_t target, std::string_view payload);

} // namespace Module1
