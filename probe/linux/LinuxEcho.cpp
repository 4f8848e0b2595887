#include "probe/linux/LinuxEcho.h"

#include "probe/linux/EchoExchange.h"
#include "probe/linux/EchoHelper.h"

#include <cerrno>

namespace Module1 {

namespace {

bool isRefusal(int error)
{
    return error == EACCES || error == EPERM;
}

// The datagram socket is refused where the caller's group lies outside
// net.ipv4.ping_group_range, and missing from kernels built without it.
bool datagramUnavailable(int error)
{
    return isRefusal(error) || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

} // namespace

const char *const kInstalledHelper = SONDAR_ECHO_HELPER;

bool helperMaySend(int datagramError, int rawError)
{
    return datagramUnavailable(datagramError) && isRefusal(rawError);
}

// The unprivileged datagram socket where the system allows it, else a raw
// socket, which needs CAP_NET_RAW, else the installed echo helper, which holds
// that capability, where both were refused for want of permission. Any other
// failure, such as running out of descriptors, would fail the next way the
// same, so the probe fails at once.
EchoOutcome echoOnce(std::uint32_t target, std::string_view payload, const NumberSource &numbers,
                     std::optional<std::chrono::nanoseconds> *kernelEntry, const char *helper)
{
    Descriptor datagram = kDatagramSteps.open();
    if (datagram.isOpen())
        return exchange(std::move(datagram), kDatagramSteps, target, payload, numbers, kernelEntry);
    const int datagramError = errno;
    if (!datagramUnavailable(datagramError))
        return EchoOutcome{};
    Descriptor raw = kRawSteps.open();
    if (raw.isOpen())
        return exchange(std::move(raw), kRawSteps, target, payload, numbers, kernelEntry);
    if (helperMaySend(datagramError, errno))
        return echoThroughHelperAt(helper, target, payload);
    return EchoOutcome{};
}

} // namespace Module1
