#include "probe/linux/EchoExchange.h"

#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

namespace Module1 {

namespace {

using std::chrono::nanoseconds;

// The kernel's stamps of the request as it leaves (software, wall clock),
// queued on the socket's error queue without a copy of the packet.
constexpr unsigned kTransmitStamps =
    SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;

// Room for any packet whole, the largest IPv4 datagram: a reply may carry
// more than the request did, an error may quote more than its first 576 bytes,
// and one cut short would not be judged as the same packet on another path.
constexpr std::size_t kLargestIpPacket = 65535;

// How often the numbers are drawn for one request where the identifier drawn
// is held by another socket: others hold few of the 65,535, but someone who
// held nearly all of them would have the probe fail rather than take one
// they could foresee.
constexpr int kDraws = 16;

struct Message {
    std::size_t size = 0;
    std::uint32_t peer = 0;           // sender, or for a queued error the request's destination
    std::optional<nanoseconds> stamp; // the kernel's, wall clock
    std::optional<sock_extended_err> error;
    std::uint32_t offender = 0;
    std::optional<std::uint32_t> addressee; // where the packet, or the ICMP error, was sent
};

// The address a request to `target` leaves from, as the kernel's routes give
// it to a UDP socket connected there (which sends nothing); nullopt, with
// errno set, where there is no route, the address is a broadcast one (the
// socket does not ask for broadcasts) or no socket opens.
std::optional<std::uint32_t> sourceFor(std::uint32_t target)
{
    const Descriptor lookup(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = target;
    socklen_t length = sizeof address;
    if (!lookup.isOpen() || ::connect(lookup.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::getsockname(lookup.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return std::nullopt;
    return address.sin_addr.s_addr;
}

// A message's header: one address, one buffer, and room for control messages.
msghdr messageHeader(sockaddr_in &address, iovec &data, std::span<unsigned char> control)
{
    msghdr header{};
    header.msg_name = &address;
    header.msg_namelen = sizeof address;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    return header;
}

// Sends `packet` to `target` from `source`, whatever address the kernel would
// have chosen for an ICMP packet.
bool sendFrom(const Descriptor &socket, std::uint32_t source, std::uint32_t target,
              const std::vector<std::uint8_t> &packet)
{
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = target;
    iovec data{const_cast<std::uint8_t *>(packet.data()), packet.size()};
    in_pktinfo from{};
    from.ipi_spec_dst.s_addr = source;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof from)]{};
    msghdr header = messageHeader(destination, data, control);
    cmsghdr *item = CMSG_FIRSTHDR(&header);
    item->cmsg_level = SOL_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof from);
    std::memcpy(CMSG_DATA(item), &from, sizeof from);
    return ::sendmsg(socket.get(), &header, 0) >= 0;
}

// One message from the socket without blocking; nullopt when none is there.
std::optional<Message> receive(const Descriptor &socket, std::vector<std::uint8_t> &buffer, int flags)
{
    sockaddr_in peer{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) unsigned char control[512];
    msghdr header = messageHeader(peer, data, control);

    const ssize_t size = ::recvmsg(socket.get(), &header, flags | MSG_DONTWAIT);
    if (size < 0)
        return std::nullopt;

    Message message;
    message.size = std::min(static_cast<std::size_t>(size), buffer.size());
    message.peer = peer.sin_addr.s_addr;
    for (cmsghdr *item = CMSG_FIRSTHDR(&header); item; item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS
            && item->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
            message.stamp = toDuration(stamp);
        } else if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPING
                   && item->cmsg_len >= CMSG_LEN(sizeof(scm_timestamping)) && !message.stamp) {
            scm_timestamping stamps;
            std::memcpy(&stamps, CMSG_DATA(item), sizeof stamps);
            if (stamps.ts[0].tv_sec != 0 || stamps.ts[0].tv_nsec != 0)
                message.stamp = toDuration(stamps.ts[0]);
        } else if (item->cmsg_level == SOL_IP && item->cmsg_type == IP_RECVERR
                   && item->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in))) {
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(item), sizeof error);
            message.error = error;
            sockaddr_in offender;
            std::memcpy(&offender, CMSG_DATA(item) + sizeof error, sizeof offender);
            message.offender = offender.sin_addr.s_addr;
        } else if (item->cmsg_level == SOL_IP && item->cmsg_type == IP_PKTINFO
                   && item->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(item), sizeof info);
            message.addressee = info.ipi_addr.s_addr;
        }
    }
    return message;
}

EchoOutcome noAnswer(ProbeStatus status, EchoPath path)
{
    return EchoOutcome{status, nanoseconds::zero(), 0, path};
}

// The outcome for an answer that arrived at `arrived` (the kernel's stamp),
// judged by that arrival and not by when it is read: one that came more than
// kEchoTimeout after the send is no answer in time.
EchoOutcome judgeAnswer(const Request &request, EchoPath path, std::optional<nanoseconds> arrived, Verdict verdict)
{
    const nanoseconds roundTrip = roundTripTime(request.sent, ReceiveStamp{arrived, readClocks()});
    if (roundTrip > kEchoTimeout)
        return noAnswer(IpStatus::kTimedOut, path);
    return EchoOutcome{verdict.status, verdict.status == 0 ? roundTrip : nanoseconds::zero(), verdict.from, path};
}

// Reads the socket's error queue: the kernel's stamp of the request leaving,
// which is kept in `request`, and whatever error about the request the steps
// make out there.
std::optional<EchoOutcome> takeQueuedError(const ProbeSteps &steps, Request &request,
                                           std::vector<std::uint8_t> &buffer)
{
    while (const auto message = receive(request.socket, buffer, MSG_ERRQUEUE)) {
        if (!message->error)
            continue;
        if (message->error->ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
            if (message->error->ee_info == SCM_TSTAMP_SND && message->stamp)
                request.sent.transmitted = message->stamp;
            continue;
        }
        // An ICMP error came over the network, unlike an error of the send.
        if (!steps.readError
            || (message->error->ee_origin == SO_EE_ORIGIN_ICMP && message->addressee != request.source))
            continue;
        const QueuedError queued{*message->error, message->peer, message->offender, Bytes(buffer.data(), message->size)};
        if (const auto verdict = steps.readError(request, queued))
            return judgeAnswer(request, steps.path, message->stamp, *verdict);
    }
    return std::nullopt;
}

// Waits for the answer until one deadline after the send, however many
// packets that are not the answer come in meanwhile. What came over the
// network counts only where it was sent to the request's source, as every
// answer is: the datagram socket would otherwise take in what was sent to any
// of the machine's addresses, and the raw socket also what was sent to a
// broadcast or multicast address, which the kernel keeps from the datagram
// socket. What has arrived is read before each wait, the error queue first:
// on loopback the answer is there by the time the send returns, and the
// kernel queues its stamp of the request leaving before any answer can come.
// Should an answer be read before that stamp, its round trip counts from the
// clocks read before the send.
EchoOutcome awaitAnswer(const ProbeSteps &steps, Request &request, std::vector<std::uint8_t> &buffer)
{
    const nanoseconds deadline = request.sent.clocks.steady + kEchoTimeout;
    for (;;) {
        if (auto outcome = takeQueuedError(steps, request, buffer))
            return *outcome;
        while (const auto message = receive(request.socket, buffer, 0)) {
            if (message->addressee != request.source)
                continue;
            if (const auto verdict = steps.match(request, Bytes(buffer.data(), message->size), message->peer))
                return judgeAnswer(request, steps.path, message->stamp, *verdict);
        }
        const nanoseconds left = deadline - monotonicNow();
        if (left <= nanoseconds::zero())
            return noAnswer(IpStatus::kTimedOut, steps.path);
        pollfd waiting{request.socket.get(), POLLIN, 0};
        const timespec timeout = toTimespec(left);
        if (::ppoll(&waiting, 1, &timeout, nullptr) < 0 && errno != EINTR)
            return noAnswer(IpStatus::kGeneralFailure, steps.path);
        if (waiting.revents & POLLERR) {
            // A pending socket error would keep the socket readable for
            // errors even with the error queue read; reading it clears it.
            int pending = 0;
            socklen_t length = sizeof pending;
            ::getsockopt(request.socket.get(), SOL_SOCKET, SO_ERROR, &pending, &length);
        }
    }
}

} // namespace

// Should the kernel's generator not answer yet, the clock's nanoseconds still
// differ from one request to the next.
RequestNumbers randomNumbers()
{
    std::uint32_t value;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value)
        value = static_cast<std::uint32_t>(monotonicNow().count());
    return RequestNumbers{static_cast<std::uint16_t>(value), static_cast<std::uint16_t>(value >> 16)};
}

EchoOutcome exchange(Descriptor socket, const ProbeSteps &steps, std::uint32_t target, std::string_view payload,
                     const NumberSource &numbers, std::optional<nanoseconds> *kernelEntry)
{
    // Without stamps the probe still works: without receive stamps the
    // monotonic clock measures the round trip, without transmit stamps it
    // counts from the clocks read before the send.
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_TIMESTAMPING, &kTransmitStamps, sizeof kTransmitStamps);
    if (::setsockopt(socket.get(), SOL_IP, IP_PKTINFO, &on, sizeof on) != 0)
        return noAnswer(IpStatus::kGeneralFailure, steps.path);
    const std::optional<std::uint32_t> source = sourceFor(target);
    if (!source)
        return noAnswer(statusForSendError(errno), steps.path);

    RequestNumbers drawn{};
    std::optional<std::uint16_t> id;
    for (int draw = 0; draw < kDraws && !id; ++draw) {
        drawn = numbers();
        id = steps.identify(socket, drawn.id);
        if (!id && errno != EADDRINUSE)
            break;
    }
    if (!id || !steps.filter(socket, *id, drawn.sequence))
        return noAnswer(IpStatus::kGeneralFailure, steps.path);
    const std::vector<std::uint8_t> packet = buildEchoRequest(*id, drawn.sequence, payload);
    std::vector<std::uint8_t> buffer(kLargestIpPacket);

    Request request{socket, target, *source, *id, drawn.sequence, SendStamp{readClocks(), std::nullopt}};
    if (!sendFrom(socket, *source, target, packet))
        return noAnswer(statusForSendError(errno), steps.path);
    const EchoOutcome outcome = awaitAnswer(steps, request, buffer);
    if (kernelEntry && request.sent.transmitted)
        *kernelEntry = *request.sent.transmitted - request.sent.clocks.wall;
    return outcome;
}

} // namespace Module1
