#include "probe/LinuxEcho.h"

#include "probe/EchoHelper.h"
#include "probe/EchoPacket.h"

#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <linux/net_tstamp.h>
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
using namespace std::chrono_literals;

// Two readings of the clocks further apart than this are taken again.
constexpr nanoseconds kClockReadSpread = 2us;
// A change of the difference between the clocks beyond what the two readings
// of it may be off by is a step of the wall clock.
constexpr nanoseconds kClockStepTolerance = 2 * kClockReadSpread;

// The kernel's stamps of the request as it leaves (software, wall clock),
// queued on the socket's error queue without a copy of the packet.
constexpr unsigned kTransmitStamps =
    SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;

// Room in a raw socket's queue for some dozens of answers of the largest
// size. Only packets about the request pass its filter, so this need not grow
// with the traffic around; set here, it doesn't hang on the system's default.
constexpr int kAnswerQueueBytes = 64 * 1024;

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

bool isRefusal(int error)
{
    return error == EACCES || error == EPERM;
}

// The datagram socket is refused where the caller's group lies outside
// net.ipv4.ping_group_range, and missing from kernels built without it.
bool datagramUnavailable(int error)
{
    return isRefusal(error) || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

// The unprivileged datagram socket where the system allows it, else a raw
// socket, which needs CAP_NET_RAW. Any other failure of the datagram socket,
// such as running out of descriptors, would fail the raw socket the same way,
// so it is not tried then. No socket, with path Helper where the helper is to
// send instead and None where nothing can.
std::pair<Socket, EchoPath> openEchoSocket()
{
    Socket datagram(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (datagram.isOpen())
        return {std::move(datagram), EchoPath::Datagram};
    const int datagramError = errno;
    if (!datagramUnavailable(datagramError))
        return {Socket(), EchoPath::None};
    Socket raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (raw.isOpen())
        return {std::move(raw), EchoPath::Raw};
    return {Socket(), helperMaySend(datagramError, errno) ? EchoPath::Helper : EchoPath::None};
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

// Lets into a raw socket's queue only packets about the request with `id`
// and `sequence`: its echo reply, and the errors that quote it in its place. Under a flood of
// other people's replies, or a burst of errors about their requests, the
// queue would otherwise be full when the answer comes, and the answer lost.
// The ICMP filter has already kept out every type but the reply and the
// errors. A packet too short for a field read here is dropped.
void keepOnlyRepliesTo(int fd, std::uint16_t id, std::uint16_t sequence)
{
    const std::uint32_t numbers = std::uint32_t(id) << 16 | sequence;
    sock_filter program[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                      // 0  X: the IP header's length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                       // 1  A: the ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Icmp::kEchoReply, 0, 2), // 2  an error: to 5
        BPF_STMT(BPF_LD | BPF_W | BPF_IND, 4),                       // 3  A: the reply's identifier and sequence
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, numbers, 7, 8),          // 4  to 12 or 13
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, Icmp::kHeaderSize),       // 5  A: the quoted IP header's first byte
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0f),                   // 6  A: its length in words
        BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),                      // 7  A: in bytes
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),                      // 8  A: plus the outer header's
        BPF_STMT(BPF_MISC | BPF_TAX, 0),                             // 9  X: A
        BPF_STMT(BPF_LD | BPF_W | BPF_IND, Icmp::kHeaderSize + 4),   // 10 A: the quoted identifier and sequence
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, numbers, 0, 1),          // 11
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),                       // 12 keep all of it
        BPF_STMT(BPF_RET | BPF_K, 0),                                // 13 drop
    };
    const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
        return;
    // Locked, so that no one who gets hold of the socket can take the filter
    // off or put a wider one in its place.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on);
    // What came in before the filter was in place can't be an answer yet.
    while (::recv(fd, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
}

// The two clocks read one right after the other. Should the process be
// interrupted between the readings, they are taken again, so that the
// difference between the clocks is known to within kClockReadSpread.
ClockReading readClocks()
{
    for (int attempt = 1;; ++attempt) {
        const nanoseconds before = clockNow(CLOCK_MONOTONIC);
        const nanoseconds wall = clockNow(CLOCK_REALTIME);
        const nanoseconds after = clockNow(CLOCK_MONOTONIC);
        if (after - before <= kClockReadSpread || attempt == 4)
            return ClockReading{before + (after - before) / 2, wall};
    }
}

// The kernel's transmit stamp comes later, from the error queue.
SendStamp stampNow()
{
    return SendStamp{readClocks(), std::nullopt};
}

struct Message {
    std::size_t size = 0;
    std::uint32_t peer = 0; // sender, or for a queued error the request's destination
    std::optional<nanoseconds> stamp; // the kernel's, wall clock
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

// The outcome for an answer with `status` that arrived at `arrived` (the
// kernel's stamp), judged by that arrival and not by when it is read: one
// that came more than kEchoTimeout after the send is no answer in time.
EchoOutcome judgeAnswer(const Request &request, std::optional<nanoseconds> arrived, ProbeStatus status,
                        std::uint32_t from)
{
    const nanoseconds roundTrip = roundTripTime(request.sent, ReceiveStamp{arrived, readClocks()});
    if (roundTrip > kEchoTimeout)
        return EchoOutcome{IpStatus::kTimedOut, nanoseconds::zero(), 0, request.path};
    return EchoOutcome{status, status == 0 ? roundTrip : nanoseconds::zero(), from, request.path};
}

// Reads the socket's error queue: the kernel's stamp of the request leaving,
// which is kept in `request`, and on a datagram socket an ICMP error about the
// request (the kernel quotes the request's ICMP header and gives its
// destination) or a local error of its send.
std::optional<EchoOutcome> takeQueuedError(Request &request, std::vector<std::uint8_t> &buffer)
{
    while (const auto message = receive(request.fd, buffer, MSG_ERRQUEUE)) {
        if (!message->error)
            continue;
        if (message->error->ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
            if (message->error->ee_info == SCM_TSTAMP_SND && message->stamp)
                request.sent.transmitted = message->stamp;
            continue;
        }
        if (message->peer != request.target)
            continue;
        const Bytes quoted(buffer.data(), message->size);
        std::optional<ProbeStatus> status;
        if (message->error->ee_origin == SO_EE_ORIGIN_ICMP && isQuotedRequest(quoted, request.id, request.sequence))
            status = statusForIcmpError(message->error->ee_type, message->error->ee_code);
        else if (message->error->ee_origin == SO_EE_ORIGIN_LOCAL)
            status = statusForSendError(static_cast<int>(message->error->ee_errno));
        if (status)
            return judgeAnswer(request, message->stamp, *status, message->offender);
    }
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
    return judgeAnswer(request, message.stamp, verdict.status, verdict.from);
}

// Waits for the answer until one deadline after the send, however many
// packets that are not the answer come in meanwhile. What has arrived is read
// before each wait, the error queue first: on loopback the answer is there by
// the time the send returns, and the kernel queues its stamp of the request
// leaving before any answer can come. Should an answer be read before that
// stamp, its round trip counts from the clocks read before the send.
EchoOutcome awaitAnswer(Request &request, std::vector<std::uint8_t> &buffer)
{
    const nanoseconds deadline = request.sent.clocks.steady + kEchoTimeout;
    for (;;) {
        if (auto outcome = takeQueuedError(request, buffer))
            return *outcome;
        while (const auto message = receive(request.fd, buffer, 0)) {
            if (auto outcome = answerIn(request, *message, buffer))
                return *outcome;
        }
        const nanoseconds left = deadline - clockNow(CLOCK_MONOTONIC);
        if (left <= nanoseconds::zero())
            return EchoOutcome{IpStatus::kTimedOut, nanoseconds::zero(), 0, request.path};
        pollfd waiting{request.fd, POLLIN, 0};
        const timespec timeout = toTimespec(left);
        if (::ppoll(&waiting, 1, &timeout, nullptr) < 0 && errno != EINTR)
            return EchoOutcome{IpStatus::kGeneralFailure, nanoseconds::zero(), 0, request.path};
        if (waiting.revents & POLLERR) {
            // A pending socket error would keep the socket readable for
            // errors even with the error queue read; reading it clears it.
            int pending = 0;
            socklen_t length = sizeof pending;
            ::getsockopt(request.fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        }
    }
}

} // namespace

bool helperMaySend(int datagramError, int rawError)
{
    return datagramUnavailable(datagramError) && isRefusal(rawError);
}

nanoseconds roundTripTime(const SendStamp &sent, const ReceiveStamp &received)
{
    const nanoseconds elapsed = received.clocks.steady - sent.clocks.steady;
    const nanoseconds offsetChange =
        (received.clocks.wall - received.clocks.steady) - (sent.clocks.wall - sent.clocks.steady);
    const bool wallClockStepped = offsetChange > kClockStepTolerance || offsetChange < -kClockStepTolerance;
    if (received.arrived && !wallClockStepped) {
        const nanoseconds stamped = *received.arrived - sent.transmitted.value_or(sent.clocks.wall);
        if (stamped >= nanoseconds::zero())
            return std::min(stamped, elapsed);
    }
    return elapsed;
}

namespace {

EchoOutcome echoThrough(Socket socket, EchoPath path, std::uint32_t target, std::string_view payload,
                        std::optional<nanoseconds> *kernelEntry)
{
    const int fd = socket.fd();

    // Without these options the probe still works: without receive stamps
    // the monotonic clock measures the round trip, without transmit stamps it
    // counts from the clocks read before the send, without the filter the raw
    // socket merely wakes for more packets, and without the error queue an
    // unreachable destination shows as a time-out.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &kTransmitStamps, sizeof kTransmitStamps);
    if (path == EchoPath::Datagram) {
        ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    } else {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kAnswerQueueBytes, sizeof kAnswerQueueBytes);
        const icmp_filter filter{~(1u << Icmp::kEchoReply | 1u << Icmp::kDestinationUnreachable
                                   | 1u << Icmp::kTimeExceeded | 1u << Icmp::kParameterProblem)};
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
            return EchoOutcome{IpStatus::kGeneralFailure, nanoseconds::zero(), 0, path};
        id = ntohs(local.sin_port);
    } else {
        keepOnlyRepliesTo(fd, id, sequence);
    }
    const std::vector<std::uint8_t> packet = buildEchoRequest(id, sequence, payload);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = target;
    // Room for the reply with the largest IP header, and for any error
    // message, which quotes at most 576 bytes of the request.
    std::vector<std::uint8_t> buffer(payload.size() + 60 + Icmp::kHeaderSize + 576);

    const SendStamp sent = stampNow();
    if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&destination),
                 sizeof destination)
        < 0)
        return EchoOutcome{statusForSendError(errno), nanoseconds::zero(), 0, path};
    Request request{fd, path, target, id, sequence, sent};
    const EchoOutcome outcome = awaitAnswer(request, buffer);
    if (kernelEntry && request.sent.transmitted)
        *kernelEntry = *request.sent.transmitted - request.sent.clocks.wall;
    return outcome;
}

} // namespace

// Where the system refuses this process both sockets for want of permission,
// the installed echo helper, which holds the one capability a raw socket
// needs, sends instead. Where a socket failed for any other reason, the probe
// fails at once.
EchoOutcome echoOnce(std::uint32_t target, std::string_view payload, std::optional<nanoseconds> *kernelEntry)
{
    auto [socket, path] = openEchoSocket();
    if (path == EchoPath::Helper)
        return echoThroughHelper(target, payload);
    if (!socket.isOpen())
        return EchoOutcome{};
    return echoThrough(std::move(socket), path, target, payload, kernelEntry);
}

EchoOutcome echoOnRawSocket(int fd, std::uint32_t target, std::string_view payload)
{
    return echoThrough(Socket(fd), EchoPath::Raw, target, payload, nullptr);
}

} // namespace Module1
