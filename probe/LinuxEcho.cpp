#include "LinuxEcho.h"

#include "EchoHelper.h"
#include "EchoPacket.h"

#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace Module1 {

namespace {

using std::chrono::nanoseconds;

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The unprivileged datagram socket where the system allows it (the caller's
// group lies in net.ipv4.ping_group_range), else a raw socket, which needs
// CAP_NET_RAW. Any other failure, such as running out of descriptors, would
// fail the raw socket the same way, so it is not tried then.
std::pair<Socket, EchoPath> openEchoSocket()
{
    Socket datagram(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (datagram.isOpen())
        return {std::move(datagram), EchoPath::Datagram};
    if (errno != EACCES && errno != EPERM && errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT)
        return {Socket(), EchoPath::None};
    Socket raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (raw.isOpen())
        return {std::move(raw), EchoPath::Raw};
    return {Socket(), EchoPath::None};
}

nanoseconds toDuration(const timespec &time)
{
    return std::chrono::seconds(time.tv_sec) + nanoseconds(time.tv_nsec);
}

nanoseconds clockNow(clockid_t clock)
{
    timespec now;
    ::clock_gettime(clock, &now);
    return toDuration(now);
}

timespec toTimespec(nanoseconds duration)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

// Random bits for the identifier and sequence of a request. Should the
// kernel's generator not answer yet, the clock's nanoseconds still differ
// from one request to the next.
std::uint32_t freshNumbers()
{
    std::uint32_t value;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == sizeof value)
        return value;
    return static_cast<std::uint32_t>(clockNow(CLOCK_MONOTONIC).count());
}

// Lets into a raw socket's queue no echo replies but those with `id`: under
// a flood of other people's replies the queue would otherwise be full when
// the answer comes, and the answer lost. Errors pass; the ICMP filter has
// already kept out every other type.
void keepOnlyRepliesTo(int fd, std::uint16_t id)
{
    sock_filter program[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                     // X: the IP header's length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                      // A: the ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Icmp::EchoReply, 0, 2), // not a reply: keep
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                      // A: the identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff), // keep all of it
        BPF_STMT(BPF_RET | BPF_K, 0),          // drop
    };
    const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
}

SendStamp stampNow()
{
    const nanoseconds steady = clockNow(CLOCK_MONOTONIC);
    return SendStamp{steady, clockNow(CLOCK_REALTIME)};
}

struct Message {
    std::size_t size = 0;
    std::uint32_t peer = 0; // sender, or for a queued error the request's destination
    std::optional<nanoseconds> stamp;
    std::optional<sock_extended_err> error;
    std::uint32_t offender = 0;
};

// One message from the socket without blocking; nullopt when none is there.
std::optional<Message> receive(int fd, std::vector<std::uint8_t> &buffer, int flags)
{
    sockaddr_in peer{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) unsigned char control[512];
    msghdr header{};
    header.msg_name = &peer;
    header.msg_namelen = sizeof peer;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;

    const ssize_t size = ::recvmsg(fd, &header, flags | MSG_DONTWAIT);
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
        } else if (item->cmsg_level == SOL_IP && item->cmsg_type == IP_RECVERR
                   && item->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in))) {
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(item), sizeof error);
            message.error = error;
            sockaddr_in offender;
            std::memcpy(&offender, CMSG_DATA(item) + sizeof error, sizeof offender);
            message.offender = offender.sin_addr.s_addr;
        }
    }
    return message;
}

// Everything a waiting prober needs to know about its one request.
struct Request {
    int fd;
    EchoPath path;
    std::uint32_t target;
    std::uint16_t id;
    std::uint16_t sequence;
    SendStamp sent;
};

// Looks through the queued errors of a datagram socket for an ICMP error
// about the request (the kernel quotes the request's ICMP header and gives
// its destination), or a local error of its send.
std::optional<EchoOutcome> takeQueuedError(const Request &request, std::vector<std::uint8_t> &buffer)
{
    while (const auto message = receive(request.fd, buffer, MSG_ERRQUEUE)) {
        if (!message->error || message->peer != request.target)
            continue;
        const Bytes quoted(buffer.data(), message->size);
        std::optional<ProbeStatus> status;
        if (message->error->ee_origin == SO_EE_ORIGIN_ICMP && isQuotedRequest(quoted, request.id, request.sequence))
            status = statusForIcmpError(message->error->ee_type, message->error->ee_code);
        else if (message->error->ee_origin == SO_EE_ORIGIN_LOCAL)
            status = statusForSendError(static_cast<int>(message->error->ee_errno));
        if (status)
            return EchoOutcome{*status, nanoseconds::zero(), message->offender, request.path};
    }
    // A pending socket error without a queued message would keep the socket
    // readable for errors; reading it clears it.
    int pending = 0;
    socklen_t length = sizeof pending;
    ::getsockopt(request.fd, SOL_SOCKET, SO_ERROR, &pending, &length);
    return std::nullopt;
}

// Whether a received message answers the request: an echo reply, or on the
// raw socket an ICMP error quoting it.
std::optional<EchoOutcome> answerIn(const Request &request, const Message &message,
                                    const std::vector<std::uint8_t> &buffer)
{
    const Bytes packet(buffer.data(), message.size);
    RawVerdict verdict{0, message.peer};
    if (request.path == EchoPath::Datagram) {
        if (!isDatagramReply(packet, message.peer, request.target, request.id, request.sequence))
            return std::nullopt;
    } else if (const auto matched = matchRawPacket(packet, request.target, request.id, request.sequence)) {
        verdict = *matched;
    } else {
        return std::nullopt;
    }
    const nanoseconds roundTrip = verdict.status == 0
        ? roundTripTime(request.sent, message.stamp, clockNow(CLOCK_MONOTONIC))
        : nanoseconds::zero();
    return EchoOutcome{verdict.status, roundTrip, verdict.from, request.path};
}

// Waits for the answer until one deadline after the send, however many
// packets that are not the answer come in meanwhile. What has arrived is read
// before each wait: on loopback the answer is there by the time the send
// returns, and where the kernel has not stamped it on arrival, the stamp is
// taken as it is read.
EchoOutcome awaitAnswer(const Request &request, std::vector<std::uint8_t> &buffer)
{
    const nanoseconds deadline = request.sent.steady + EchoTimeout;
    for (;;) {
        while (const auto message = receive(request.fd, buffer, 0)) {
            if (auto outcome = answerIn(request, *message, buffer))
                return *outcome;
        }
        const nanoseconds left = deadline - clockNow(CLOCK_MONOTONIC);
        if (left <= nanoseconds::zero())
            return EchoOutcome{IpStatus::TimedOut, nanoseconds::zero(), 0, request.path};
        pollfd waiting{request.fd, POLLIN, 0};
        const timespec timeout = toTimespec(left);
        if (::ppoll(&waiting, 1, &timeout, nullptr) < 0 && errno != EINTR)
            return EchoOutcome{IpStatus::GeneralFailure, nanoseconds::zero(), 0, request.path};
        if (waiting.revents & POLLERR) {
            if (auto outcome = takeQueuedError(request, buffer))
                return *outcome;
        }
    }
}

} // namespace

nanoseconds roundTripTime(const SendStamp &sent, std::optional<nanoseconds> receivedAt, nanoseconds steadyNow)
{
    const nanoseconds elapsed = steadyNow - sent.steady;
    if (receivedAt) {
        const nanoseconds wall = *receivedAt - sent.wall;
        if (wall >= nanoseconds::zero() && wall <= elapsed)
            return wall;
    }
    return elapsed;
}

namespace {

EchoOutcome echoThrough(Socket socket, EchoPath path, std::uint32_t target, std::string_view payload)
{
    const int fd = socket.fd();

    // Without these options the probe still works: without stamps the
    // monotonic clock measures the round trip, without the filter the raw
    // socket merely wakes for more packets, and without the error queue an
    // unreachable destination shows as a time-out.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (path == EchoPath::Datagram) {
        ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    } else {
        const icmp_filter filter{~(1u << Icmp::EchoReply | 1u << Icmp::DestinationUnreachable
                                   | 1u << Icmp::TimeExceeded | 1u << Icmp::ParameterProblem)};
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }

    // A random identifier and sequence; on the datagram socket the kernel
    // puts the identifier it gives the socket on binding in place of ours.
    const std::uint32_t draw = freshNumbers();
    std::uint16_t id = static_cast<std::uint16_t>(draw);
    const std::uint16_t sequence = static_cast<std::uint16_t>(draw >> 16);
    if (path == EchoPath::Datagram) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t localLength = sizeof local;
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) < 0)
            return EchoOutcome{IpStatus::GeneralFailure, nanoseconds::zero(), 0, path};
        id = ntohs(local.sin_port);
    } else {
        keepOnlyRepliesTo(fd, id);
    }
    const std::vector<std::uint8_t> packet = buildEchoRequest(id, sequence, payload);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = target;
    // Room for the reply with the largest IP header, and for any error
    // message, which quotes at most 576 bytes of the request.
    std::vector<std::uint8_t> buffer(payload.size() + 60 + Icmp::HeaderSize + 576);

    const SendStamp sent = stampNow();
    if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&destination),
                 sizeof destination)
        < 0)
        return EchoOutcome{statusForSendError(errno), nanoseconds::zero(), 0, path};
    return awaitAnswer(Request{fd, path, target, id, sequence, sent}, buffer);
}

} // namespace

// Where the system refuses this process both sockets, the installed echo
// helper, which holds the one capability a raw socket needs, sends instead.
EchoOutcome echoOnce(std::uint32_t target, std::string_view payload)
{
    auto [socket, path] = openEchoSocket();
    if (!socket.isOpen())
        return echoThroughHelper(target, payload);
    return echoThrough(std::move(socket), path, target, payload);
}

EchoOutcome echoOnRawSocket(int fd, std::uint32_t target, std::string_view payload)
{
    return echoThrough(Socket(fd), EchoPath::Raw, target, payload);
}

} // namespace Module1
