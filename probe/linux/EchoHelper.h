// The echo helper's caller: runs sondar-echo (HelperProtocol.h) for one
// request and reads its report.
//
// What the caller makes of a run turns on whether the helper accepted the
// request: it writes its "accepted" line after it has read its command line
// and given up its privileges, just before it sends. Until that line has come
// the request counts as never sent: a helper that refuses (exit codes 2 to 4),
// cannot be started, or dies or hangs before it accepts gives status -1, as
// a socket that does not open does. Once it has come, the request may have
// gone out, so anything but a well-formed report and exit code 0 (the helper
// killed by a signal, by the out-of-memory killer or at the deadline, a
// garbled or missing report, another exit code) is a probe without a reply:
// kTimedOut where the helper was still running at the deadline, otherwise
// kGeneralFailure, both listed as "Request timed out".
#pragma once

#include "probe/linux/HelperProtocol.h"
#include "probe/linux/LinuxEcho.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Module1 {

// The caller's strict reading of the helper's report: nullopt for anything
// but exactly one well-formed line of at most kHelperMaxReport bytes.
std::optional<EchoOutcome> parseHelperReport(std::string_view text);

// How a run of the helper ended, as its caller saw it.
struct HelperEnd {
    std::optional<int> exitCode; // nullopt where it was killed, by anyone
    bool overdue = false;        // still running at the deadline, and killed then
};

// The outcome of a run from all the helper wrote and how it ended, by the
// rules above.
EchoOutcome helperOutcome(std::string_view output, const HelperEnd &end);

// Runs the helper at `helper` with an empty environment, /dev/null as its
// input and error output, a pipe as its output and no other descriptor, for
// one request to `target`, and returns its
// outcome with path Helper (status -1 and path None where it never accepted
// the request). The round trip is the helper's own measure. The helper is
// killed once `deadline` has passed.
EchoOutcome echoThroughHelperAt(const char *helper, std::uint32_t target, std::string_view payload,
                                std::chrono::milliseconds deadline = kHelperDeadline);

} // namespace Module1
