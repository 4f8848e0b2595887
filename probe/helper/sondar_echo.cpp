// sondar-echo ADDRESS PAYLOAD_HEX
//
// The privileged echo helper. Installed with cap_net_raw, or setuid root where
// the file system keeps no capabilities, it runs for any user with any
// environment, any inherited descriptors and any inherited signal state, so
// it trusts none of them. First of all it arms its own deadline
// (kHelperOwnDeadline), at which SIGKILL ends it however its caller holds it.
// Then:
//   1. it makes sure descriptors 0-2 are open, so that the socket cannot
//      become one of them (in secure mode the C library has already opened
//      closed ones before main; otherwise it opens /dev/null there), and
//      closes every other one;
//   2. it opens its raw ICMP socket;
//   3. it gives up all it holds at once: a setuid start goes back to the
//      caller's user and group for good, the helper becomes non-dumpable
//      (neither traced nor its descriptors taken by that user), then every
//      capability is cleared, and all of it is checked;
//   4. only then does it read its arguments, refusing anything but one
//      dotted-decimal address (not 255.255.255.255, no multicast or
//      reserved address) and a payload of at most 128 bytes;
//   5. it says on its output that it accepts the request, sends one echo
//      request, waits at most 500 ms and writes one report line to its
//      output (HelperProtocol.h).
// It reads no environment variable, no configuration and no file but
// /dev/null; in secure mode the dynamic loader ignores LD_LIBRARY_PATH and
// LD_PRELOAD names with a slash. Exit codes: HelperExit in HelperProtocol.h.
#include "probe/linux/EchoExchange.h"
#include "probe/linux/HelperProtocol.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <variant>

namespace {

int refuse(int code, const std::string &why)
{
    std::fprintf(stderr, "sondar-echo: %s\n", why.c_str());
    return code;
}

// A timer that sends the helper SIGKILL once its own deadline has passed,
// kept for the process's life. SIGKILL can't be blocked or ignored, whatever
// signal state the starter left, and it ends a process blocked in a write
// and a stopped one alike (a stopped process takes any other signal only
// once it is continued).
bool ownDeadlineArmed()
{
    sigevent expiry{};
    expiry.sigev_notify = SIGEV_SIGNAL;
    expiry.sigev_signo = SIGKILL;
    timer_t timer;
    const itimerspec once{{0, 0}, {Module1::kHelperOwnDeadline.count(), 0}};
    return ::timer_create(CLOCK_MONOTONIC, &expiry, &timer) == 0 && ::timer_settime(timer, 0, &once, nullptr) == 0;
}

bool standardDescriptorsOpen()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0)
            continue;
        if (errno != EBADF)
            return false;
        // The lowest free number is this one: 0 to 2 are filled in order.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd)
            return false;
    }
    return true;
}

// capget and capset, here and below, through syscall: the C library has
// them but declares them in no header. They are all it calls syscall for.
bool noCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, held) != 0)
        return false;
    for (const auto &word : held) {
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0)
            return false;
    }
    return true;
}

// Back to the caller's own user and group where the helper started setuid
// or setgid, then no capability in any set; ambient capabilities go with the
// permitted ones. Nothing it might run later could gain any back.
//
// The kernel makes a process dumpable again when its ids change, and with
// fs.suid_dumpable=1 that would let the caller's user trace it, or copy its
// raw socket out of it (pidfd_getfd), once it holds no capability the user
// lacks. So the capabilities are kept over the change of ids (a process with
// capabilities its caller lacks can't be traced by it), the helper is made
// non-dumpable, and only then are they cleared, which leaves it so.
bool dropPrivileges()
{
    const uid_t user = ::getuid();
    const gid_t group = ::getgid();
    if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || ::setresgid(group, group, group) != 0
        || ::setresuid(user, user, user) != 0 || ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capset, &header, none) != 0 || ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0
        || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    uid_t real, effective, saved;
    gid_t realGroup, effectiveGroup, savedGroup;
    return ::getresuid(&real, &effective, &saved) == 0 && real == user && effective == user && saved == user
        && ::getresgid(&realGroup, &effectiveGroup, &savedGroup) == 0 && realGroup == group
        && effectiveGroup == group && savedGroup == group && noCapabilities()
        && ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 && ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}

bool writeAll(int fd, const std::string &text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (!ownDeadlineArmed())
        return refuse(Module1::HelperExit::kUnsafe, "cannot set its own deadline");
    if (!standardDescriptorsOpen() || ::close_range(STDERR_FILENO + 1, ~0U, 0) != 0)
        return refuse(Module1::HelperExit::kUnsafe, "cannot put the inherited descriptors in order");

    Module1::Descriptor raw = Module1::kRawSteps.open();
    const int socketError = errno;
    if (!dropPrivileges())
        return refuse(Module1::HelperExit::kUnsafe, "cannot give up its privileges");
    if (!raw.isOpen())
        return refuse(Module1::HelperExit::kNoSocket,
                      std::string("no raw ICMP socket (") + std::strerror(socketError)
                          + "): the helper needs cap_net_raw or setuid root, which the package sets");

    const std::span<const char *const> arguments(const_cast<const char *const *>(argv) + (argc > 0 ? 1 : 0),
                                                 argc > 0 ? static_cast<std::size_t>(argc - 1) : 0);
    const auto parsed = Module1::parseHelperArguments(arguments);
    if (const auto *why = std::get_if<std::string>(&parsed))
        return refuse(Module1::HelperExit::kRefused, *why);
    const auto &request = std::get<Module1::HelperRequest>(parsed);

    if (!writeAll(STDOUT_FILENO, std::string(Module1::kHelperAccepted)))
        return refuse(Module1::HelperExit::kUnsafe, "cannot write to its output");
    const Module1::EchoOutcome outcome = Module1::echoOnRawSocket(std::move(raw), request.target, request.payload);
    if (!writeAll(STDOUT_FILENO, Module1::formatHelperReport(outcome)))
        return refuse(Module1::HelperExit::kUnsafe, "cannot write the report");
    return Module1::HelperExit::kReported;
}
