// The echo service on Linux: one ICMP echo request through a socket of its own,
// with the round-trip time to the microsecond for those who want more than the
// whole milliseconds of EchoReply.
#pragma once

#include "Module1.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Module1 {

// Which socket carried the request: the unprivileged ICMP datagram socket,
// the raw ICMP socket where the system refuses the former, or the installed
// echo helper's raw socket where this process may open neither.
enum class EchoPath { None, Datagram, Raw, Helper };

struct EchoOutcome {
    ProbeStatus status = -1;               // as SendEcho returns it
    std::chrono::nanoseconds roundTrip{0}; // with status 0: from the send to the kernel's receive stamp
    std::uint32_t from = 0;                // who answered or reported an error, network byte order; 0 for nobody
    EchoPath path = EchoPath::None;
};

// The prober's own cut-off, counted from the send.
constexpr std::chrono::milliseconds EchoTimeout{500};

// The moment of a send on both clocks: the wall clock, on which the kernel
// stamps received packets, and the monotonic clock for the deadline. The
// monotonic reading comes first, so that the wall-clock round trip can never
// come out longer than the monotonic time since the send.
struct SendStamp {
    std::chrono::nanoseconds steady;
    std::chrono::nanoseconds wall;
};

// The round trip from the send to the kernel's receive stamp (wall clock), so
// that delays in waking this process don't count. Where the wall clock was
// set in between, the figure is negative or longer than the monotonic time
// since the send; then, and for a packet without a stamp, the monotonic time
// from the send to `steadyNow` is taken.
std::chrono::nanoseconds roundTripTime(const SendStamp &sent, std::optional<std::chrono::nanoseconds> receivedAt,
                                       std::chrono::nanoseconds steadyNow);

// Sends one echo request carrying `payload` to `target` (network byte order)
// through a socket opened and closed in here, or through the echo helper where
// neither socket opens, and waits for its answer until EchoTimeout after the
// send. Status -1 and path None when no socket opened, the helper's neither.
EchoOutcome echoOnce(std::uint32_t target, std::string_view payload);

} // namespace Module1
