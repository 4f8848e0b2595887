// probe_timing COUNT
//
// Sends COUNT echo probes of 32 asterisks to 127.0.0.1, 200 ms apart,
// through Module1::SendEcho on the ICMP library, and prints one figure a
// line, name then value: the median round trip the service reports (whole
// milliseconds, its own resolution), the median duration of a whole SendEcho
// call (echo handle opened to closed) in microseconds, and the number of
// probes that got no reply. Only 127.0.0.1 is probed; run it inside a
// network namespace of its own.
#include "probe/Module1.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc == 2 ? std::atoi(argv[1]) : 0;
    if (count < 1) {
        std::fprintf(stderr, "usage: %s COUNT\n", argv[0]);
        return 2;
    }
    const std::string payload(32, '*');
    std::vector<double> roundTrips, calls;
    int timeouts = 0;
    Module1::StartSockets();
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            ::Sleep(200);
        Module1::EchoReply reply{};
        const auto start = std::chrono::steady_clock::now();
        const Module1::ProbeStatus status = Module1::SendEcho("127.0.0.1", payload, reply);
        calls.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (status < 0) {
            std::fprintf(stderr, "%s: the echo service did not open\n", argv[0]);
            return 1;
        }
        if (status == 0)
            roundTrips.push_back(reply.RoundTripTime);
        else
            ++timeouts;
    }
    Module1::StopSockets({});
    if (roundTrips.empty())
        std::printf("rtt_ms_median none\n");
    else
        std::printf("rtt_ms_median %.1f\n", median(roundTrips));
    std::printf("call_us_median %.1f\n", median(calls));
    std::printf("timeouts %d\n", timeouts);
    return 0;
}
