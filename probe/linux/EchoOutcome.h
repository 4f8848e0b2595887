// What one echo request on Linux came to, and the numbers it carries: the
// types that the sockets' exchange, the echo helper and its caller share,
// apart from the choice of path (LinuxEcho.h), which the helper never makes.
#pragma once

#include "probe/Module1.h"

#include <chrono>
#include <cstdint>
#include <functional>

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

// The identifier and sequence a request carries, on every socket. Where the
// identifier is one that a datagram socket can't be bound to (0, or one that
// another socket holds), the numbers are drawn again, a bounded number of
// times.
struct RequestNumbers {
    std::uint16_t id;
    std::uint16_t sequence;
};
using NumberSource = std::function<RequestNumbers()>;

// Fresh random numbers for each request, from the kernel's generator.
RequestNumbers randomNumbers();

} // namespace Module1
