// The echo helper's caller: runs sondar-echo (HelperProtocol.h) for one
// request and reads its report.
#pragma once

#include "probe/HelperProtocol.h"
#include "probe/LinuxEcho.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Module1 {

// Nothing legitimate takes the helper this long: its own wait ends 500 ms
// after the send. A helper still running then is killed.
inline constexpr std::chrono::milliseconds kHelperDeadline{3000};

// The caller's strict reading of the helper's report: nullopt for anything
// but exactly one well-formed line of at most kHelperMaxReport bytes.
std::optional<EchoOutcome> parseHelperReport(std::string_view text);

// Runs the helper at `helper` with an empty environment, /dev/null as its
// input and error output, a pipe as its output and no other descriptor, for
// one request to `target`, and returns its
// outcome with path Helper. The round trip is the helper's own measure.
// Status -1 and path None when it did not run, refused, found no socket or
// reported anything unreadable.
EchoOutcome echoThroughHelperAt(const char *helper, std::uint32_t target, std::string_view payload,
                                std::chrono::milliseconds deadline = kHelperDeadline);

// The same through the helper where the package installs it.
EchoOutcome echoThroughHelper(std::uint32_t target, std::string_view payload);

} // namespace Module1
