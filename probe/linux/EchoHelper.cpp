#include "probe/linux/EchoHelper.h"

#include "probe/linux/EchoClock.h"
#include "probe/linux/EchoPacket.h"
#include "os/posix/Descriptor.h"

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

using os::posix::Descriptor;
using os::posix::openPipe;
using os::posix::Pipe;
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

// What the helper is given of this process's descriptors, for posix_spawn:
// /dev/null as its input and error output, the pipe's write end as its
// output, and nothing else, whatever this process has open without
// O_CLOEXEC (as a library or a plugin may leave it).
class SpawnFileActions {
public:
    SpawnFileActions() : ready_(::posix_spawn_file_actions_init(&actions_) == 0) {}
    SpawnFileActions(const SpawnFileActions &) = delete;
    SpawnFileActions &operator=(const SpawnFileActions &) = delete;
    ~SpawnFileActions()
    {
        if (ready_)
            ::posix_spawn_file_actions_destroy(&actions_);
    }

    bool giveOnly(const Descriptor &output)
    {
        // The pipe first, should its number be that of a standard descriptor.
        return ready_ && ::posix_spawn_file_actions_adddup2(&actions_, output.get(), STDOUT_FILENO) == 0
            && ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0
            && ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0
            && ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
    }
    const posix_spawn_file_actions_t *get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ready_;
};

// The helper's attributes, for posix_spawn.
class SpawnAttributes {
public:
    SpawnAttributes() : ready_(::posix_spawnattr_init(&attributes_) == 0) {}
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    ~SpawnAttributes()
    {
        if (ready_)
            ::posix_spawnattr_destroy(&attributes_);
    }

    // It starts with every signal at its default and none blocked.
    bool signalsAtDefault()
    {
        sigset_t none;
        sigset_t all;
        ::sigemptyset(&none);
        ::sigfillset(&all);
        return ready_ && ::posix_spawnattr_setsigmask(&attributes_, &none) == 0
            && ::posix_spawnattr_setsigdefault(&attributes_, &all) == 0
            && ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
    const posix_spawnattr_t *get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool ready_;
};

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

// All the helper may write: its acceptance and its report.
constexpr std::size_t kLongestOutput = kHelperAccepted.size() + kHelperMaxReport;

enum class Reading { Closed, Overdue, Overlong, Failed };

// Reads the helper's output until it closes it, the output grows too long to
// be what the helper writes, the deadline passes or reading fails.
Reading readOutput(const Descriptor &output, std::string &text, nanoseconds deadline)
{
    char chunk[kLongestOutput + 1];
    for (;;) {
        const nanoseconds left = deadline - monotonicNow();
        if (left <= nanoseconds::zero())
            return Reading::Overdue;
        const timespec timeout = toTimespec(left);
        pollfd waiting{output.get(), POLLIN, 0};
        if (::ppoll(&waiting, 1, &timeout, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return Reading::Failed;
        }
        if (waiting.revents == 0)
            continue;
        const ssize_t got = ::read(output.get(), chunk, sizeof chunk);
        if (got == 0)
            return Reading::Closed;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return Reading::Failed;
        }
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > kLongestOutput)
            return Reading::Overlong;
    }
}

// Kills the helper, unless it has already exited, and reaps it.
void killHelper(pid_t child)
{
    ::kill(child, SIGKILL);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// How the helper ended once it has closed its output, which it does as it
// exits. One that closed its output and lives on could otherwise hold its
// caller for good: at the deadline it is killed.
HelperEnd awaitExit(pid_t child, nanoseconds deadline)
{
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return HelperEnd{WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt, false};
        if (done < 0 && errno != EINTR)
            return HelperEnd{};
        if (done == 0 && monotonicNow() >= deadline)
            break;
        ::nanosleep(&kExitPollInterval, nullptr);
    }
    killHelper(child);
    return HelperEnd{std::nullopt, true};
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

EchoOutcome helperOutcome(std::string_view output, const HelperEnd &end)
{
    if (!output.starts_with(kHelperAccepted))
        return EchoOutcome{};
    if (end.exitCode == HelperExit::kReported)
        if (const auto reported = parseHelperReport(output.substr(kHelperAccepted.size())))
            return *reported;
    return EchoOutcome{end.overdue ? IpStatus::kTimedOut : IpStatus::kGeneralFailure, nanoseconds::zero(), 0,
                       EchoPath::Helper};
}

EchoOutcome echoThroughHelperAt(const char *helper, std::uint32_t target, std::string_view payload,
                                std::chrono::milliseconds deadline)
{
    Pipe output = openPipe();
    if (!output.read.isOpen())
        return EchoOutcome{};

    const std::string address = dottedDecimal(target);
    const std::string hex = toHex(payload);
    char *const argv[] = {const_cast<char *>("sondar-echo"), const_cast<char *>(address.c_str()),
                          const_cast<char *>(hex.c_str()), nullptr};
    char *const environment[] = {nullptr};
    pid_t child = -1;
    SpawnFileActions actions;
    SpawnAttributes attributes;
    const bool spawned = actions.giveOnly(output.write) && attributes.signalsAtDefault()
        && ::posix_spawn(&child, helper, actions.get(), attributes.get(), argv, environment) == 0;
    output.write.reset();
    if (!spawned)
        return EchoOutcome{};

    const nanoseconds giveUp = monotonicNow() + deadline;
    std::string said;
    const Reading reading = readOutput(output.read, said, giveUp);
    if (reading == Reading::Closed)
        return helperOutcome(said, awaitExit(child, giveUp));
    killHelper(child);
    return helperOutcome(said, HelperEnd{std::nullopt, reading == Reading::Overdue});
}

} // namespace Module1
