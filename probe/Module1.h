// The system's only network code: one ICMP echo probe to one IPv4 address, and
// the opening and closing of the socket library around it. Free of Qt, so that
// it also builds where only the compiler and the platform's headers are at hand.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace Module1 {

// 0: a reply came; positive: no reply, the echo service's status code, also
// where the system refused to send the request (a broadcast address, no
// route, a firewall's rule); -1: no request was tried, as the address was
// unusable or the echo service did not open.
using ProbeStatus = std::int32_t;

// How long a probe waits for its reply, counted from the send.
inline constexpr std::chrono::milliseconds kEchoTimeout{500};

// The most characters a probe carries: a run asks for no more, and the echo
// helper refuses more.
inline constexpr std::size_t kMaxPayload = 128;

// The caller-owned reply record. The caller zeroes it once per run and hands
// the same record to every probe; SendEcho writes Status and RoundTripTime for
// every request it is given.
struct EchoReply {
    std::uint32_t Address = 0;      // address that replied, network byte order
    std::int32_t Status = 0;        // 0 for a reply, a positive code otherwise
    std::int32_t RoundTripTime = 0; // milliseconds, fraction dropped
};

// Sends one echo request carrying `payload` to `address` (numeric IPv4 text in
// the narrow code page; host names are never resolved) and waits at most
// 500 ms for the reply. Fills `reply` in place and returns its Status, or -1
// with `reply` unchanged where no request was tried: the address is unusable,
// or the echo service did not open (on Linux: no ICMP socket opened, and no
// echo helper accepted the request). A request the system refuses to send
// counts as one without a reply, with its positive status.
ProbeStatus SendEcho(const std::string &address, const std::string &payload, EchoReply &reply);

// Opens the socket library; true when it opened.
bool StartSockets();

// Closes the socket library. Where that fails, `warn` is given the text of the
// warning box, "Windows Sockets error occurred in Cleanup.".
void StopSockets(const std::function<void(const std::string &text)> &warn);

// The three procedures as one replaceable service, so that a window can be run
// against a scripted network in tests.
class EchoService {
public:
    virtual ~EchoService() = default;
    virtual bool StartSockets() = 0;
    virtual ProbeStatus SendEcho(const std::string &address, const std::string &payload, EchoReply &reply) = 0;
    virtual void StopSockets() = 0;
};

// The real network through the procedures above.
class SystemEcho final : public EchoService {
public:
    explicit SystemEcho(std::function<void(const std::string &text)> cleanupWarning)
        : cleanupWarning_(std::move(cleanupWarning)) {}
    bool StartSockets() override { return Module1::StartSockets(); }
    ProbeStatus SendEcho(const std::string &address, const std::string &payload, EchoReply &reply) override
    {
        return Module1::SendEcho(address, payload, reply);
    }
    void StopSockets() override { Module1::StopSockets(cleanupWarning_); }

private:
    std::function<void(const std::string &text)> cleanupWarning_;
};

} // namespace Module1
