#include "probe/Module1.h"

#include "probe/AddressText.h"
#include "probe/linux/LinuxEcho.h"

#include <arpa/inet.h>

#include <chrono>

namespace Module1 {

ProbeStatus SendEcho(const std::string &address, const std::string &payload, EchoReply &reply)
{
    // The numeric notations of inet_addr only; a host name is never looked up.
    // Text that inet_addr would read as another host than it shows is refused.
    if (isMisleadingAddress(address))
        return -1;
    const in_addr_t target = ::inet_addr(address.c_str());
    if (target == INADDR_NONE)
        return -1;

    const EchoOutcome outcome = echoOnce(target, payload);
    if (outcome.status < 0)
        return -1;
    reply.Status = outcome.status;
    reply.RoundTripTime = outcome.status == 0
        ? static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(outcome.roundTrip).count())
        : 0;
    if (outcome.from != 0)
        reply.Address = outcome.from;
    return reply.Status;
}

// Linux has no socket library to open or close.
bool StartSockets()
{
    return true;
}

void StopSockets(const std::function<void(const std::string &text)> &)
{
}

} // namespace Module1
