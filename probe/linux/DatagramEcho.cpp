// The ICMP datagram socket, which the system gives processes whose group lies
// within net.ipv4.ping_group_range: the kernel fills in the identifier the
// socket is bound to and the checksum, hands over replies without their IP
// header, and queues ICMP errors about the request on the socket's error
// queue.
#include "probe/linux/EchoExchange.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace Module1 {

namespace {

Descriptor openDatagram()
{
    return Descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
}

// Bound to the identifier drawn, which the kernel then puts into every
// request sent through the socket; any process may bind any identifier.
// Left to choose, the kernel would take the next of a counter that any local
// user reads by opening a socket of their own, before the request is sent.
// (While the socket is open, its identifier shows in /proc/net/icmp.) Bound
// to 0 the socket would get the kernel's choice, so 0 counts as held. The
// kernel opens these sockets with SO_REUSEADDR on, which lets two of them
// bind the same identifier, the one bound last taking the answers; off, the
// bind fails where another socket holds the identifier, and no socket can
// bind it after this one.
std::optional<std::uint16_t> identifyDatagram(const Descriptor &socket, std::uint16_t drawn)
{
    if (drawn == 0) {
        errno = EADDRINUSE;
        return std::nullopt;
    }
    const int off = 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(drawn);
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0
        || ::bind(socket.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return std::nullopt;
    return drawn;
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
    return matchDatagramReply(message, peer, request.target, request.id, request.sequence);
}

// An ICMP error about the request (the kernel quotes the request's ICMP
// header and gives its destination) or a local error of its send. An error
// whose quoted request guesses the sequence ends the probe without a reply,
// as such a reply does.
std::optional<Verdict> readDatagramError(const Request &request, const QueuedError &queued)
{
    if (queued.destination != request.target)
        return std::nullopt;
    std::optional<ProbeStatus> status;
    if (queued.error.ee_origin == SO_EE_ORIGIN_ICMP && isQuotedRequest(queued.quoted, request.id, request.sequence))
        status = statusForIcmpError(queued.error.ee_type, queued.error.ee_code);
    else if (queued.error.ee_origin == SO_EE_ORIGIN_ICMP
             && guessesSequence(queued.quoted, Icmp::kEchoRequest, request.id, request.sequence))
        status = IpStatus::kGeneralFailure;
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
