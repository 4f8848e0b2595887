// A host of a test's own on raw sockets, for a namespace whose kernel ignores
// echo requests (net.ipv4.icmp_echo_ignore_all=1). Every echo request that
// comes in goes to the test's `answer`, which sends whole IPv4 datagrams, from
// any source address it likes, at once or a while after the request arrived,
// and may have other things done at a set time after it.
#pragma once

#include "TestPackets.h"
#include "os/posix/Descriptor.h"

#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <thread>

namespace probetest {

struct Request {
    Packet packet; // IP header, then ICMP
    std::size_t headerLength;
    std::uint32_t source;
    std::uint32_t destination;
    std::uint16_t id;
    std::uint16_t sequence;
    std::string payload;
    std::chrono::nanoseconds arrival; // the kernel's stamp, wall clock
};

// The reply the asked host would send.
inline Packet genuineReply(const Request &r)
{
    return datagram(r.destination, r.source, echo(Module1::Icmp::kEchoReply, r.id, r.sequence, r.payload));
}

class TestResponder {
public:
    // Called on the responder's thread, the only one to call sendAfter() and callAfter().
    using Answer = std::function<void(TestResponder &, const Request &)>;

    explicit TestResponder(Answer answer)
        : answer_(std::move(answer)),
          listener_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)),
          sender_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW)),
          stop_(::eventfd(0, EFD_CLOEXEC))
    {
        const int on = 1;
        const int roomy = 8 << 20; // a flood must not crowd out the probes' requests
        const icmp_filter requestsOnly{~(1u << Module1::Icmp::kEchoRequest)};
        if (listener_.isOpen() && sender_.isOpen() && stop_.isOpen()
            && ::setsockopt(listener_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0
            && ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &roomy, sizeof roomy) == 0
            && ::setsockopt(listener_.get(), SOL_RAW, ICMP_FILTER, &requestsOnly, sizeof requestsOnly) == 0)
            thread_ = std::thread([this] { run(); });
    }
    TestResponder(const TestResponder &) = delete;
    TestResponder &operator=(const TestResponder &) = delete;
    ~TestResponder()
    {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(stop_.get(), &one, sizeof one);
            thread_.join();
        }
    }

    bool isRunning() const { return thread_.joinable(); }

    void send(const Packet &datagram) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr.s_addr, datagram.data() + 16, 4);
        ::sendto(sender_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    // Counted from the request's arrival, as the prober counts its round trip;
    // still unsent when the responder stops, it is dropped.
    void sendAfter(const Request &request, std::chrono::nanoseconds delay, Packet datagram)
    {
        callAfter(request, delay, [this, datagram = std::move(datagram)] { send(datagram); });
    }
    // The same for any other action, run on the responder's thread.
    void callAfter(const Request &request, std::chrono::nanoseconds delay, std::function<void()> action)
    {
        due_.emplace(request.arrival + delay, std::move(action));
    }

private:
    static std::chrono::nanoseconds wallNow()
    {
        return std::chrono::system_clock::now().time_since_epoch();
    }

    void run()
    {
        // Answers leave on time also on a busy machine.
        const sched_param priority{1};
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
        for (;;) {
            timespec wait{};
            if (!due_.empty()) {
                const auto left = std::max(due_.begin()->first - wallNow(), std::chrono::nanoseconds::zero());
                wait = {time_t(left.count() / 1'000'000'000), long(left.count() % 1'000'000'000)};
            }
            pollfd waiting[] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
            if (::ppoll(waiting, 2, due_.empty() ? nullptr : &wait, nullptr) < 0 || waiting[1].revents)
                return;
            // A bounded batch, so that due answers are not held up by a flood.
            for (int n = 0; n < 64; ++n) {
                const auto request = receive();
                if (!request)
                    break;
                answer_(*this, *request);
            }
            while (!due_.empty() && due_.begin()->first <= wallNow()) {
                const auto action = std::move(due_.begin()->second);
                due_.erase(due_.begin());
                action();
            }
        }
    }

    // The next request waiting, if any.
    std::optional<Request> receive() const
    {
        Request r{Packet(2048), 0, 0, 0, 0, 0, {}, wallNow()};
        iovec data{r.packet.data(), r.packet.size()};
        alignas(cmsghdr) unsigned char control[64];
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(listener_.get(), &header, MSG_DONTWAIT);
        r.headerLength = size > 0 ? std::size_t(r.packet[0] & 0x0f) * 4 : 0;
        if (r.headerLength < 20 || std::size_t(size) < r.headerLength + Module1::Icmp::kHeaderSize)
            return std::nullopt;
        r.packet.resize(std::size_t(size));
        const auto message = r.packet.cbegin() + std::ptrdiff_t(r.headerLength);
        r.id = std::uint16_t(message[4] << 8 | message[5]);
        r.sequence = std::uint16_t(message[6] << 8 | message[7]);
        r.payload.assign(message + Module1::Icmp::kHeaderSize, r.packet.cend());
        std::memcpy(&r.source, r.packet.data() + 12, 4);
        std::memcpy(&r.destination, r.packet.data() + 16, 4);
        if (const cmsghdr *stamp = CMSG_FIRSTHDR(&header); stamp && stamp->cmsg_type == SCM_TIMESTAMPNS) {
            timespec arrival;
            std::memcpy(&arrival, CMSG_DATA(stamp), sizeof arrival);
            r.arrival = std::chrono::seconds(arrival.tv_sec) + std::chrono::nanoseconds(arrival.tv_nsec);
        }
        return r;
    }

    Answer answer_;
    os::posix::Descriptor listener_;
    os::posix::Descriptor sender_;
    os::posix::Descriptor stop_;
    std::multimap<std::chrono::nanoseconds, std::function<void()>> due_;
    std::thread thread_;
};

} // namespace probetest
