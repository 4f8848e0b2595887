// One echo request on an ICMP socket of this process's own and the wait for
// its answer. What differs between the kinds of socket is a set of steps that
// each kind gives the wait (open and identify, filter, match, read errors);
// the exchange itself is the same for all.
#pragma once

#include "probe/linux/EchoClock.h"
#include "probe/linux/EchoPacket.h"
#include "probe/linux/EchoOutcome.h"
#include "os/posix/Descriptor.h"

#include <linux/errqueue.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Module1 {

using os::posix::Descriptor;

// Everything the steps need to know about the request waiting for its answer.
struct Request {
    const Descriptor &socket;
    std::uint32_t target; // network byte order
    std::uint32_t source; // where the request leaves from and its answers go to, network byte order
    std::uint16_t id;
    std::uint16_t sequence;
    SendStamp sent;
};

// An error the kernel queued on the socket about a request it sent.
struct QueuedError {
    const sock_extended_err &error;
    std::uint32_t destination; // of the request, network byte order
    std::uint32_t offender;    // who reported it, network byte order
    Bytes quoted;              // for an ICMP error, the request's ICMP part as quoted
};

struct ProbeSteps {
    EchoPath path;
    // A new socket of this kind; not open, with errno set, where the system
    // refuses it.
    Descriptor (*open)();
    // The identifier the request carries on `socket`: `drawn`, to which it
    // may bind the socket; nullopt where the socket can't be used with it,
    // with errno EADDRINUSE where `drawn` is held by another socket and
    // another may do.
    std::optional<std::uint16_t> (*identify)(const Descriptor &socket, std::uint16_t drawn);
    // Sets the socket up to take in what may be the answer to the request
    // with these numbers and as little else as it can; false where the probe
    // can't go on without what failed.
    bool (*filter)(const Descriptor &socket, std::uint16_t id, std::uint16_t sequence);
    // The verdict on a packet read from the socket, as the socket delivers
    // it, sent by `peer`; nullopt when it is not about the request.
    std::optional<Verdict> (*match)(const Request &request, Bytes packet, std::uint32_t peer);
    // The verdict on an error queued on the socket; nullptr where this kind
    // of socket hands errors over as packets.
    std::optional<Verdict> (*readError)(const Request &request, const QueuedError &queued);
};

extern const ProbeSteps kDatagramSteps;
extern const ProbeSteps kRawSteps;

// Sends one echo request carrying `payload` to `target` through `socket`, of
// the kind `steps` serve, and waits for its answer until kEchoTimeout after
// the send. The socket is closed when it is done. `numbers` and `kernelEntry`
// as for echoOnce.
EchoOutcome exchange(Descriptor socket, const ProbeSteps &steps, std::uint32_t target, std::string_view payload,
                     const NumberSource &numbers, std::optional<std::chrono::nanoseconds> *kernelEntry = nullptr);

// The echo helper's request through `socket`, the raw ICMP socket it opened
// while it still had the capability.
EchoOutcome echoOnRawSocket(Descriptor socket, std::uint32_t target, std::string_view payload);

} // namespace Module1
