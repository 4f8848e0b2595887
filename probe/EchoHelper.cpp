#include "probe/EchoHelper.h"

#include "probe/EchoClock.h"
#include "platform/posix/Descriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace Module1 {

namespace {

using platform::posix::Descriptor;
using std::chrono::nanoseconds;

// A round trip beyond this is no measure the helper can have made.
constexpr nanoseconds kLongestRoundTrip = std::chrono::seconds(60);

// How often a helper that has closed its output is asked whether it has
// exited. It normally has by the first or second time.
constexpr timespec kExitPollInterval{0, 1'000'000};

std::string toHex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xf];
    }
    return hex;
}

// The value after `key=` at the front of `text`, up to `end`; the rest is
// left in `text`.
std::optional<std::string_view> field(std::string_view &text, std::string_view key, char end)
{
    if (!text.starts_with(key) || text.size() <= key.size() || text[key.size()] != '=')
        return std::nullopt;
    text.remove_prefix(key.size() + 1);
    const std::size_t stop = text.find(end);
    if (stop == std::string_view::npos)
        return std::nullopt;
    const std::string_view value = text.substr(0, stop);
    text.remove_prefix(stop + 1);
    return value;
}

// Reads the helper's output until it closes it, the report grows too long to
// be one, or the deadline passes; false for the latter two.
bool readReport(const Descriptor &output, std::string &report, nanoseconds deadline)
{
    char chunk[kHelperMaxReport + 1];
    for (;;) {
        const nanoseconds left = deadline - monotonicNow();
        if (left <= nanoseconds::zero())
            return false;
        const timespec timeout = toTimespec(left);
        pollfd waiting{output.get(), POLLIN, 0};
        if (::ppoll(&waiting, 1, &timeout, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (waiting.revents == 0)
            continue;
        const ssize_t got = ::read(output.get(), chunk, sizeof chunk);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        report.append(chunk, static_cast<std::size_t>(got));
        if (report.size() > kHelperMaxReport)
            return false;
    }
}

// Kills the helper, unless it has already exited, and reaps it.
void killHelper(pid_t child)
{
    ::kill(child, SIGKILL);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The helper's wait status once it has exited, which it does as soon as it has
// closed its output. One that closed its output and lives on could otherwise
// hold its caller for good: at the deadline it is killed, and nullopt.
std::optional<int> awaitExit(pid_t child, nanoseconds deadline)
{
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return status;
        if (done < 0 && errno != EINTR)
            return std::nullopt;
        if (done == 0 && monotonicNow() >= deadline)
            break;
        ::nanosleep(&kExitPollInterval, nullptr);
    }
    killHelper(child);
    return std::nullopt;
}

} // namespace

std::optional<EchoOutcome> parseHelperReport(std::string_view text)
{
    if (text.size() > kHelperMaxReport)
        return std::nullopt;
    const auto status = field(text, "status", ' ');
    const auto roundTrip = field(text, "rtt_ns", ' ');
    const auto from = field(text, "from", '\n');
    if (!status || !roundTrip || !from || !text.empty())
        return std::nullopt;
    const auto statusValue = parseDecimal<ProbeStatus>(*status);
    const auto roundTripNs = parseDecimal<std::int64_t>(*roundTrip);
    const auto address = parseDottedDecimal(*from);
    if (!statusValue || !roundTripNs || !address || *roundTripNs > kLongestRoundTrip.count())
        return std::nullopt;
    return EchoOutcome{*statusValue, nanoseconds(*roundTripNs), *address, EchoPath::Helper};
}

EchoOutcome echoThroughHelperAt(const char *helper, std::uint32_t target, std::string_view payload,
                                std::chrono::milliseconds deadline)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return EchoOutcome{};
    Descriptor readEnd(ends[0]);
    Descriptor writeEnd(ends[1]);

    // Its input is /dev/null and its output the pipe; its error output is
    // ours, so that its reason for refusing reaches whoever reads ours. It
    // starts with every signal at its default and none blocked.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return EchoOutcome{};
    if (::posix_spawnattr_init(&attributes) != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return EchoOutcome{};
    }
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    const bool prepared = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0
        && ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO) == 0
        && ::posix_spawnattr_setsigmask(&attributes, &none) == 0
        && ::posix_spawnattr_setsigdefault(&attributes, &all) == 0
        && ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;

    const std::string address = dottedDecimal(target);
    const std::string hex = toHex(payload);
    char *const argv[] = {const_cast<char *>("sondar-echo"), const_cast<char *>(address.c_str()),
                          const_cast<char *>(hex.c_str()), nullptr};
    char *const environment[] = {nullptr};
    pid_t child = -1;
    const bool spawned = prepared && ::posix_spawn(&child, helper, &actions, &attributes, argv, environment) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    writeEnd.reset();
    if (!spawned)
        return EchoOutcome{};

    const nanoseconds giveUp = monotonicNow() + deadline;
    std::string report;
    if (!readReport(readEnd, report, giveUp)) {
        killHelper(child);
        return EchoOutcome{};
    }
    const std::optional<int> status = awaitExit(child, giveUp);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != HelperExit::kReported)
        return EchoOutcome{};
    return parseHelperReport(report).value_or(EchoOutcome{});
}

EchoOutcome echoThroughHelper(std::uint32_t target, std::string_view payload)
{
    return echoThroughHelperAt(SONDAR_ECHO_HELPER, target, payload);
}

} // namespace Module1
