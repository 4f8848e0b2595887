// The ICMP datagram socket, which the system gives processes whose group lies
// within net.ipv4.ping_group_range: the kernel fills in the identifier and
// the checksum, hands over replies without their IP header, and queues ICMP
// errors about the request on the socket's error queue.
#include "probe/EchoExchange.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace Module1 {

namespace {

Descriptor openDatagram()
{
    return Descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
}

// Bound, the socket has the identifier the kernel gave it, which the kernel
// puts into every request sent through it in place of ours.
std::optional<std::uint16_t> identifyDatagram(const Descriptor &socket, std::uint16_t)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t length = sizeof local;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0
        || ::getsockname(socket.get(), reinterpret_cast<sockaddr *>(&local), &length) < 0)
        return std::nullopt;
    return ntohs(local.sin_port);
}

// The kernel lets in only replies to this socket's identifier. Without the
// error queue an unreachable destination merely shows as a time-out.
bool filterDatagram(const Descriptor &socket, std::uint16_t, std::uint16_t)
{
    const int on = 1;
    ::setsockopt(socket.get(), SOL_IP, IP_RECVERR, &on, sizeof on);
    return true;
}

std::optional<Verdict> matchDatagram(const Request &request, Bytes message, std::uint32_t peer)
{
    if (!isDatagramReply(message, peer, request.target, request.id, request.sequence))
        return std::nullopt;
    return Verdict{0, peer};
}

// An ICMP error about the request (the kernel quotes the request's ICMP
// header and gives its destination) or a local error of its send.
std::optional<Verdict> readDatagramError(const Request &request, const QueuedError &queued)
{
    if (queued.destination != request.target)
        return std::nullopt;
    std::optional<ProbeStatus> status;
    if (queued.error.ee_origin == SO_EE_ORIGIN_ICMP && isQuotedRequest(queued.quoted, request.id, request.sequence))
        status = statusForIcmpError(queued.error.ee_type, queued.error.ee_code);
    else if (queued.error.ee_origin == SO_EE_ORIGIN_LOCAL)
        status = statusForSendError(static_cast<int>(queued.error.ee_errno));
    if (!status)
        return std::nullopt;
    return Verdict{*status, queued.offender};
}

} // namespace

const ProbeSteps kDatagramSteps{EchoPath::Datagram, openDatagram, identifyDatagram, filterDatagram, matchDatagram,
                                readDatagramError};

} // namespace Module1
