// probe_selftest [--refused | --unanswered]
//
// Runs the echo path the way a ping run does, on the platform's real echo
// service, and checks each result: StartSockets, SendEcho to 127.0.0.1 with
// an empty, the default and the largest payload, SendEcho to addresses that
// must be refused without sending anything (among them parts padded with
// zeros), StopSockets, and a StopSockets with no StartSockets before it,
// which warns where there is a socket library to close. Prints one line per
// check and exits 1 when any failed.
//
// With --refused the system is expected to allow no echo at all (no ICMP
// socket for this user): then SendEcho to 127.0.0.1 must give -1 and leave the
// caller's record as it was, which a ping run turns into its run-error box.
// With --unanswered 127.0.0.1 is expected to ignore echo requests: then
// SendEcho must give a positive status after the 500 ms time-out.
//
// Only 127.0.0.1 is ever sent to.
#include "probe/Module1.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

#ifdef _WIN32
constexpr bool kUnmatchedStopWarns = true; // WSACleanup fails without WSAStartup
#else
constexpr bool kUnmatchedStopWarns = false; // no socket library to close
#endif

constexpr std::int32_t kEchoTimeoutMs = Module1::kEchoTimeout.count();

// What the system does with an echo request to 127.0.0.1.
enum class Loopback { Answers, Refused, Unanswered };

int failures = 0;

void report(bool passed, const std::string &what)
{
    std::printf("%-4s %s\n", passed ? "ok" : "FAIL", what.c_str());
    if (!passed)
        ++failures;
}

std::string describe(const Module1::EchoReply &reply)
{
    return "Status " + std::to_string(reply.Status) + ", RoundTripTime " + std::to_string(reply.RoundTripTime)
        + " ms";
}

bool sameRecord(const Module1::EchoReply &a, const Module1::EchoReply &b)
{
    return a.Address == b.Address && a.Status == b.Status && a.RoundTripTime == b.RoundTripTime;
}

// A record that a probe which sent nothing must hand back untouched, and one
// that sends must overwrite: no field of it is a value a reply could leave.
Module1::EchoReply markedRecord()
{
    Module1::EchoReply reply;
    reply.Address = 0x01020304;
    reply.Status = 424242;
    reply.RoundTripTime = -7;
    return reply;
}

void probeLoopback(const std::string &payload, Loopback loopback)
{
    Module1::EchoReply reply = markedRecord();
    const auto start = std::chrono::steady_clock::now();
    const Module1::ProbeStatus status = Module1::SendEcho("127.0.0.1", payload, reply);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const std::string call = "SendEcho(\"127.0.0.1\", " + std::to_string(payload.size()) + " chars) = "
        + std::to_string(status) + " after " + std::to_string(took.count()) + " ms; " + describe(reply);
    switch (loopback) {
    case Loopback::Answers:
        report(status == 0 && reply.Status == 0 && reply.RoundTripTime >= 0 && reply.RoundTripTime <= kEchoTimeoutMs,
               call + " (expected 0 and a time within the time-out)");
        break;
    case Loopback::Refused:
        report(status == -1 && sameRecord(reply, markedRecord()), call + " (expected -1, record unchanged)");
        break;
    case Loopback::Unanswered:
        // The wait is the time-out, give or take the service's own overhead.
        report(status > 0 && reply.Status == status && took.count() >= kEchoTimeoutMs - 50
                   && took.count() < 4 * kEchoTimeoutMs,
               call + " (expected a positive status after about 500 ms)");
        break;
    }
}

void probeUnusable(const std::string &address, const char *why)
{
    Module1::EchoReply reply = markedRecord();
    const Module1::ProbeStatus status = Module1::SendEcho(address, std::string(32, '*'), reply);
    report(status == -1 && sameRecord(reply, markedRecord()),
           "SendEcho(\"" + address + "\") = " + std::to_string(status) + " (" + why
               + ": expected -1, record unchanged)");
}

} // namespace

int main(int argc, char **argv)
{
    Loopback loopback = Loopback::Answers;
    if (argc == 2 && std::strcmp(argv[1], "--refused") == 0) {
        loopback = Loopback::Refused;
    } else if (argc == 2 && std::strcmp(argv[1], "--unanswered") == 0) {
        loopback = Loopback::Unanswered;
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--refused | --unanswered]\n", argv[0]);
        return 2;
    }

    std::vector<std::string> warnings;
    const auto warn = [&warnings](const std::string &text) { warnings.push_back(text); };

    const bool opened = Module1::StartSockets();
    report(opened, std::string("StartSockets() = ") + (opened ? "true" : "false"));

    probeLoopback(std::string(32, '*'), loopback);
    if (loopback == Loopback::Answers) {
        probeLoopback("", loopback);
        probeLoopback(std::string(128, '*'), loopback);
    }
    probeUnusable("", "empty");
    probeUnusable("255.255.255.255", "the all-ones value");
    probeUnusable("localhost", "a host name, never looked up");
    probeUnusable("127.0.0.1.1", "five parts");
    // inet_addr reads a part padded with zeros as octal; these would be
    // 127.0.0.1 and 127.0.0.8, so even unrefused they stay on loopback.
    probeUnusable("0177.0.0.1", "first part padded with a zero");
    probeUnusable("127.0.0.010", "last part padded with a zero");

    Module1::StopSockets(warn);
    report(warnings.empty(), "StopSockets() after StartSockets(): " + std::to_string(warnings.size()) + " warnings");

    warnings.clear();
    Module1::StopSockets(warn);
    const bool warnedRight = kUnmatchedStopWarns
        ? warnings.size() == 1 && warnings.front() == "Windows Sockets error occurred in Cleanup."
        : warnings.empty();
    report(warnedRight, "StopSockets() with nothing open: "
                            + (warnings.empty() ? std::string("no warning") : "warned \"" + warnings.front() + "\""));

    std::printf("probe_selftest: %s\n", failures == 0 ? "all checks passed" : "some checks FAILED");
    return failures == 0 ? 0 : 1;
}
