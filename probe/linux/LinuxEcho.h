// The echo service on Linux: one ICMP echo request through a socket of its own,
// with the round-trip time to the microsecond for those who want more than the
// whole milliseconds of EchoReply.
#pragma once

#include "probe/linux/EchoOutcome.h"
#include "probe/Module1.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Module1 {

// Whether the echo helper is to send for a process whose datagram socket
// failed with `datagramError` and raw socket with `rawError` (errno values):
// only when the raw socket was refused for want of permission and the
// datagram socket refused as well, or missing from the kernel. Other failures,
// such as running out of descriptors, buffers or memory, would fail the
// helper just the same.
bool helperMaySend(int datagramError, int rawError);

// Where the package installs the echo helper, a path fixed when this is
// built: no search path or environment variable can put another in its place.
extern const char *const kInstalledHelper;

// Sends one echo request carrying `payload` to `target` (network byte order)
// through a socket opened and closed in here, or through the echo helper at
// `helper` where the system refuses this process both sockets for want of
// permission, and waits for its answer until kEchoTimeout after the send.
// Status -1 and path None when no socket opened, the helper's neither.
// `numbers` gives the request's identifier and sequence (the helper draws its
// own). Where the kernel stamped the request as it went out, `kernelEntry`
// (when given) gets the time from the clocks read before the send to that
// stamp, which the round trip leaves out.
EchoOutcome echoOnce(std::uint32_t target, std::string_view payload, const NumberSource &numbers = randomNumbers,
                     std::optional<std::chrono::nanoseconds> *kernelEntry = nullptr,
                     const char *helper = kInstalledHelper);

} // namespace Module1
