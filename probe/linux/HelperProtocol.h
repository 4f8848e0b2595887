// What passes between the echo helper, sondar-echo, and its caller: the
// helper's command line, the report it writes, and its exit codes. The helper
// is a small program installed with cap_net_raw (or setuid root where the file
// system keeps no capabilities) that sends one echo request through a raw
// socket for a caller who may open no ICMP socket of its own. This half is
// the helper's: it reads the command line and writes the report. The
// caller's half, which runs it and reads the report, is in EchoHelper.h.
//
// Command line: sondar-echo ADDRESS PAYLOAD_HEX
//   ADDRESS      dotted-decimal IPv4 address, four parts 0-255 without leading
//                zeros; 255.255.255.255, multicast (224.0.0.0/4) and reserved
//                (240.0.0.0/4) addresses are refused
//   PAYLOAD_HEX  the payload, two hexadecimal digits a byte, at most 128
//                bytes; "" for none
// Output on stdout, two lines, exit code 0:
//   accepted
//   status=STATUS rtt_ns=NANOSECONDS from=ADDRESS
// The first is written once the command line is read and the privileges are
// given up, just before the request is sent; the second is the report of the
// request's outcome. A refusal (exit code 2 to 4) writes neither.
#pragma once

#include "probe/linux/EchoOutcome.h"

#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace Module1 {

// The line that says the request is accepted and about to be sent.
inline constexpr std::string_view kHelperAccepted = "accepted\n";

// The longest report line, newline included: the longest status, round trip
// and address with room to spare.
constexpr std::size_t kHelperMaxReport = 64;

// Nothing legitimate takes the helper this long: its own wait ends 500 ms
// after the send. Its caller kills a helper still running then.
inline constexpr std::chrono::milliseconds kHelperDeadline{3000};

// The helper ends itself this long after it starts (SIGKILL), should its
// caller hold it (by not reading its output, or stopped) and never kill it:
// a second past the caller's deadline, so that a caller that keeps to its
// own deadline finds the helper still there to be killed.
inline constexpr std::chrono::seconds kHelperOwnDeadline =
    std::chrono::ceil<std::chrono::seconds>(kHelperDeadline) + std::chrono::seconds(1);

namespace HelperExit {
constexpr int kReported = 0; // one request sent, its acceptance and outcome on stdout
constexpr int kRefused = 2;  // the command line asked for anything else
constexpr int kNoSocket = 3; // no raw socket: the helper lacks cap_net_raw
constexpr int kUnsafe = 4;   // no deadline of its own, or descriptors or privileges not in order
} // namespace HelperExit

struct HelperRequest {
    std::uint32_t target = 0; // network byte order
    std::string payload;
};

// A number in plain decimal digits, no sign; nullopt for anything else and
// for a value beyond `Number`.
template <typename Number>
std::optional<Number> parseDecimal(std::string_view text)
{
    Number value{};
    if (text.empty() || text.front() == '+' || text.front() == '-')
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// A numeric IPv4 address in strict dotted decimal, network byte order.
// Shorter forms and leading zeros (which other parsers read as octal) are
// refused, so that the helper's idea of the address is the only one.
std::optional<std::uint32_t> parseDottedDecimal(std::string_view text);
std::string dottedDecimal(std::uint32_t address);

// The arguments after the program name, checked; a refusal is the message
// the helper prints.
std::variant<HelperRequest, std::string> parseHelperArguments(std::span<const char *const> arguments);

// The helper's one report line.
std::string formatHelperReport(const EchoOutcome &outcome);

} // namespace Module1
