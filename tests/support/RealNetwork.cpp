#include "RealNetwork.h"

#include "os/posix/Descriptor.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace testsupport {
namespace {

using os::posix::Descriptor;

bool loopbackUp()
{
    const Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (!socket.isOpen() || ::ioctl(socket.get(), SIOCGIFFLAGS, &request) != 0)
        return false;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    return ::ioctl(socket.get(), SIOCSIFFLAGS, &request) == 0;
}

} // namespace

OwnNetwork::OwnNetwork(const char *pingGroupRange) : home_(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC))
{
    if (!home_.isOpen() || ::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0)
        return;
    entered_ = loopbackUp();
    // /proc/sys/net shows the namespace of whoever opens it: this new one.
    if (entered_ && pingGroupRange) {
        std::ofstream range("/proc/sys/net/ipv4/ping_group_range");
        entered_ = bool(range << pingGroupRange << std::flush);
    }
}

OwnNetwork::~OwnNetwork()
{
    if (home_.isOpen())
        ::setns(home_.get(), CLONE_NEWNET);
}

std::string inChild(const std::function<std::string()> &body)
{
    os::posix::Pipe result = os::posix::openPipe();
    if (!result.read.isOpen())
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string out = body();
        ::_exit(::write(result.write.get(), out.data(), out.size()) == ssize_t(out.size()) ? 0 : 2);
    }
    result.write.reset(); // so that the read below ends with the child
    std::string out;
    char buffer[4096];
    for (ssize_t n; child > 0 && (n = ::read(result.read.get(), buffer, sizeof buffer)) > 0;)
        out.append(buffer, std::size_t(n));
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || status != 0)
        return out + " (the child ended with status " + std::to_string(status) + ")";
    return out;
}

bool becomeNobody()
{
    constexpr uid_t kNobody = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0
            && ::setresuid(kNobody, kNobody, kNobody) == 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

} // namespace testsupport
