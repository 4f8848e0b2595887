// The privileged echo helper, sondar-echo: a small program installed with
// cap_net_raw (or setuid root where the file system keeps no capabilities)
// that sends one echo request through a raw socket for a caller who may open
// no ICMP socket of its own. Here: its command line, the report it writes to
// its caller, and the caller's side, which runs it and reads that report.
//
// Command line: sondar-echo ADDRESS PAYLOAD_HEX
//   ADDRESS      dotted-decimal IPv4 address, four parts 0-255 without leading
//                zeros; 255.255.255.255 is refused
//   PAYLOAD_HEX  the payload, two hexadecimal digits a byte, at most 128
//                bytes; "" for none
// Report on stdout, one line, exit code 0:
//   status=STATUS rtt_ns=NANOSECONDS from=ADDRESS
#pragma once

#include "probe/LinuxEcho.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace Module1 {

// The longest report line, newline included: the longest status, round trip
// and address with room to spare.
constexpr std::size_t kHelperMaxReport = 64;

namespace HelperExit {
constexpr int kReported = 0; // one request sent, its outcome on stdout
constexpr int kRefused = 2;  // the command line asked for anything else
constexpr int kNoSocket = 3; // no raw socket: the helper lacks cap_net_raw
constexpr int kUnsafe = 4;   // descriptors or privileges could not be put in order
} // namespace HelperExit

struct HelperRequest {
    std::uint32_t target = 0; // network byte order
    std::string payload;
};

// A numeric IPv4 address in strict dotted decimal, network byte order.
// Shorter forms and leading zeros (which other parsers read as octal) are
// refused, so that the helper's idea of the address is the only one.
std::optional<std::uint32_t> parseDottedDecimal(std::string_view text);

// The arguments after the program name, checked; a refusal is the message
// the helper prints.
std::variant<HelperRequest, std::string> parseHelperArguments(std::span<const char *const> arguments);

// The helper's one report line, and the caller's strict reading of it:
// nullopt for anything but exactly one well-formed line of at most
// kHelperMaxReport bytes.
std::string formatHelperReport(const EchoOutcome &outcome);
std::optional<EchoOutcome> parseHelperReport(std::string_view text);

// Runs the helper at `helper` with an empty environment, /dev/null as its
// input and a pipe as its output, for one request to `target`, and returns its
// outcome with path Helper. The round trip is the helper's own measure.
// Status -1 and path None when it did not run, refused, found no socket or
// reported anything unreadable.
EchoOutcome echoThroughHelperAt(const char *helper, std::uint32_t target, std::string_view payload);

// The same through the helper where the package installs it.
EchoOutcome echoThroughHelper(std::uint32_t target, std::string_view payload);

// One request through `fd`, a raw ICMP socket the helper opened while it still
// had the capability; the socket is closed when the request is done.
EchoOutcome echoOnRawSocket(int fd, std::uint32_t target, std::string_view payload);

} // namespace Module1
