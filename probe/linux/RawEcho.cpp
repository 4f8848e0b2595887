// The raw ICMP socket, which needs CAP_NET_RAW: this process builds the whole
// request, and every ICMP packet that reaches the machine would come in, IP
// header and all, but for the filters set here. ICMP errors come as packets
// like any other.
#include "probe/linux/EchoExchange.h"

#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Module1 {

namespace {

// Room in the socket's queue for some dozens of answers of the largest size.
// Only packets about the request pass its filter, so this need not grow with
// the traffic around; set here, it doesn't hang on the system's default.
constexpr int kAnswerQueueBytes = 64 * 1024;

// Opened with filters that let nothing in, and emptied of what came in
// before them: until filterRaw opens the answer's types and puts the
// answer's filter in place, the socket holds no copy of the ICMP around it,
// however long its holder takes to get there (the helper, which its caller
// may stop or block before it sends). The ICMP filter denies every type it
// can name (0 to 31), so that the kernel makes the socket no copy of those
// at all; the program that lets nothing in drops the rest (types 32 and up,
// which the ICMP filter lets through). No socket where either can't be set.
// A refused socket returns at once, so that errno still says why (the caller
// turns to the helper on a refusal only).
Descriptor openRaw()
{
    Descriptor raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!raw.isOpen())
        return raw;
    const icmp_filter noTypes{~0u};
    sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    const sock_fprog nothing{static_cast<unsigned short>(std::size(dropAll)), dropAll};
    if (::setsockopt(raw.get(), SOL_RAW, ICMP_FILTER, &noTypes, sizeof noTypes) != 0
        || ::setsockopt(raw.get(), SOL_SOCKET, SO_ATTACH_FILTER, &nothing, sizeof nothing) != 0)
        return Descriptor();
    while (::recv(raw.get(), nullptr, 0, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
    return raw;
}

std::optional<std::uint16_t> identifyRaw(const Descriptor &, std::uint16_t drawn)
{
    return drawn;
}

// Lets into the socket's queue only packets about the request with `id` and
// `sequence`: its echo reply, and the errors that quote it in its place.
// Under a flood of other people's replies, or a burst of errors about their
// requests, the queue would otherwise be full when the answer comes, and the
// answer lost. The ICMP filter, which let no type in since the opening,
// now lets in the reply and the errors, before the program runs; the probe
// does not go on where it can't, as the answer could not come in. A packet
// too short for a field read here is dropped. The program is locked, so
// that no one who gets hold of the socket can take it off or put a wider
// one in its place; without it the probe does not go on.
bool filterRaw(const Descriptor &socket, std::uint16_t id, std::uint16_t sequence)
{
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &kAnswerQueueBytes, sizeof kAnswerQueueBytes);
    const icmp_filter types{~(1u << Icmp::kEchoReply | 1u << Icmp::kDestinationUnreachable
                              | 1u << Icmp::kTimeExceeded | 1u << Icmp::kParameterProblem)};
    if (::setsockopt(socket.get(), SOL_RAW, ICMP_FILTER, &types, sizeof types) != 0)
        return false;

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
    const int on = 1;
    return ::setsockopt(socket.get(), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0
        && ::setsockopt(socket.get(), SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) == 0;
}

std::optional<Verdict> matchRaw(const Request &request, Bytes packet, std::uint32_t)
{
    return matchRawPacket(packet, request.target, request.id, request.sequence);
}

} // namespace

const ProbeSteps kRawSteps{EchoPath::Raw, openRaw, identifyRaw, filterRaw, matchRaw, nullptr};

EchoOutcome echoOnRawSocket(Descriptor socket, std::uint32_t target, std::string_view payload)
{
    return exchange(std::move(socket), kRawSteps, target, payload, randomNumbers);
}

} // namespace Module1
