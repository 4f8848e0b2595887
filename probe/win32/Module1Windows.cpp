#include "probe/Module1.h"

#include "probe/AddressText.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

// After winsock2.h, which must come before windows.h.
#include "os/win32/Handle.h"
#include "os/win32/SystemLibrary.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Module1 {

namespace {

constexpr DWORD kReplyBufferSize = 278;

using os::win32::libraryFunction;
using os::win32::systemLibrary;

// The socket library and the ICMP library, which are not among Windows' known
// DLLs: loaded from the system folder once, on the first probe, and kept for
// the process. A function that did not load is null, and its probe fails as
// one whose library did not open.
struct EchoLibraries {
    os::win32::Library sockets = systemLibrary(L"wsock32.dll");
    os::win32::Library icmp = systemLibrary(L"iphlpapi.dll");
    decltype(&::WSAStartup) startup = libraryFunction<decltype(::WSAStartup)>(sockets, "WSAStartup");
    decltype(&::WSACleanup) cleanup = libraryFunction<decltype(::WSACleanup)>(sockets, "WSACleanup");
    decltype(&::inet_addr) parse = libraryFunction<decltype(::inet_addr)>(sockets, "inet_addr");
    decltype(&::IcmpCreateFile) createFile = libraryFunction<decltype(::IcmpCreateFile)>(icmp, "IcmpCreateFile");
    decltype(&::IcmpSendEcho) sendEcho = libraryFunction<decltype(::IcmpSendEcho)>(icmp, "IcmpSendEcho");
    decltype(&::IcmpCloseHandle) closeHandle = libraryFunction<decltype(::IcmpCloseHandle)>(icmp, "IcmpCloseHandle");
};

const EchoLibraries &libraries()
{
    static const EchoLibraries loaded;
    return loaded;
}

// The echo handle, opened and closed within one probe; only opened where the
// ICMP library loaded.
struct IcmpHandleKind {
    using Value = HANDLE;
    static Value none() { return INVALID_HANDLE_VALUE; }
    static void close(Value handle) { libraries().closeHandle(handle); }
};
using IcmpHandle = os::win32::Handle<IcmpHandleKind>;

} // namespace

ProbeStatus SendEcho(const std::string &address, const std::string &payload, EchoReply &reply)
{
    // The numeric notations of inet_addr only; a host name is never looked up.
    // Text that inet_addr would read as another host than it shows is refused.
    if (isMisleadingAddress(address))
        return -1;
    const EchoLibraries &system = libraries();
    if (!system.parse || !system.createFile || !system.sendEcho || !system.closeHandle)
        return -1;
    const unsigned long target = system.parse(address.c_str());
    if (target == INADDR_NONE)
        return -1;

    const IcmpHandle handle(system.createFile());
    if (!handle.isOpen())
        return -1;

    // The reply buffer starts as a copy of the caller's record, so that a
    // field the service leaves unwritten keeps the caller's value. 278 bytes
    // hold the record and the echo of the largest payload the run sends; a
    // larger payload gets the room the service asks for.
    std::vector<unsigned char> buffer(
        std::max<std::size_t>(kReplyBufferSize, sizeof(ICMP_ECHO_REPLY) + payload.size() + 8));
    ICMP_ECHO_REPLY record{};
    record.Address = reply.Address;
    record.Status = static_cast<ULONG>(reply.Status);
    record.RoundTripTime = static_cast<ULONG>(reply.RoundTripTime);
    std::memcpy(buffer.data(), &record, sizeof record);

    const DWORD replies = system.sendEcho(handle.get(), target, const_cast<char *>(payload.data()),
                                         static_cast<WORD>(payload.size()), nullptr, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), static_cast<DWORD>(kEchoTimeout.count()));

    std::memcpy(&record, buffer.data(), sizeof record);
    // Without a reply the service may leave Status as it was; a 0 left over
    // from the probe before must not read as a reply.
    if (replies == 0 && record.Status == 0) {
        const DWORD error = ::GetLastError();
        record.Status = error >= IP_STATUS_BASE ? error : IP_GENERAL_FAILURE;
    }
    reply.Address = record.Address;
    reply.Status = static_cast<std::int32_t>(record.Status);
    reply.RoundTripTime = static_cast<std::int32_t>(record.RoundTripTime);
    return reply.Status;
}

bool StartSockets()
{
    const EchoLibraries &system = libraries();
    WSADATA description;
    return system.startup && system.cleanup && system.startup(0x0101, &description) == 0;
}

void StopSockets(const std::function<void(const std::string &text)> &warn)
{
    const EchoLibraries &system = libraries();
    if (system.cleanup && system.cleanup() != 0 && warn)
        warn("Windows Sockets error occurred in Cleanup.");
}

} // namespace Module1
