// probe_bench ADDRESS COUNT
//
// Sends COUNT echo probes of 32 asterisks, 200 ms apart, through the same
// echo path as SendEcho, each followed by one of `ping`'s to the same
// address, and prints one figure a line, name then value, in microseconds:
// the median and 90th percentile of the measured round trips; the median time
// from reading the clocks before the send to the kernel's stamp of the
// request leaving, which the round trip leaves out, and the median round trip
// with it counted in (as measured without that stamp); the median round trip
// that ping reports; the median duration of a whole call (socket opened to
// socket closed); and the number of probes that got no reply. Only loopback
// addresses (127.0.0.0/8) are probed; run it inside a network namespace to
// probe a loopback set up there.
#include "probe/linux/LinuxEcho.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "bench/BenchSupport.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::median;
using bench::Microseconds;
using bench::p90;

void printFigure(const char *name, const std::vector<double> &values, double (*statistic)(std::vector<double>))
{
    if (values.empty())
        std::printf("%s none\n", name);
    else
        std::printf("%s %.1f\n", name, statistic(values));
}

// One echo of ping's to `target` and the round trip it reports; nullopt
// without ping or without a reply. The address is handed over in plain dotted
// decimal, so that ping reads it as the probe did.
std::optional<double> pingOnce(in_addr_t target)
{
    const std::string command = std::string("ping -n -q -c 1 -W 1 ") + ::inet_ntoa(in_addr{target}) + " 2>/dev/null";
    FILE *output = ::popen(command.c_str(), "r");
    if (!output)
        return std::nullopt;
    std::optional<double> roundTrip;
    char line[256];
    while (std::fgets(line, sizeof line, output)) {
        // "rtt min/avg/max/mdev = 0.045/0.045/0.045/0.000 ms"
        double milliseconds = 0;
        const char *figures = std::strstr(line, "= ");
        if (std::strncmp(line, "rtt ", 4) == 0 && figures && std::sscanf(figures, "= %lf/", &milliseconds) == 1)
            roundTrip = milliseconds * 1000;
    }
    ::pclose(output);
    return roundTrip;
}

const char *pathName(Module1::EchoPath path)
{
    return path == Module1::EchoPath::Datagram ? "datagram" : "raw";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ADDRESS COUNT\n", argv[0]);
        return 2;
    }
    const auto loopback = bench::loopbackTarget(argv[0], argv[1]);
    const auto probes = bench::probeCount(argv[0], argv[2]);
    if (!loopback || !probes)
        return 2;
    const in_addr_t target = *loopback;
    const int count = *probes;

    const std::string payload(32, '*');
    std::vector<double> roundTrips;
    std::vector<double> kernelEntries;
    std::vector<double> fromCall;
    std::vector<double> pings;
    std::vector<double> calls;
    int timeouts = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto start = std::chrono::steady_clock::now();
        std::optional<std::chrono::nanoseconds> kernelEntry;
        const Module1::EchoOutcome outcome = Module1::echoOnce(target, payload, Module1::randomNumbers, &kernelEntry);
        calls.push_back(Microseconds(std::chrono::steady_clock::now() - start).count());
        if (outcome.status < 0) {
            std::fprintf(stderr, "%s: no ICMP socket could be opened\n", argv[0]);
            return 1;
        }
        if (i == 0)
            std::fprintf(stderr, "path %s\n", pathName(outcome.path));
        if (outcome.status == 0) {
            roundTrips.push_back(Microseconds(outcome.roundTrip).count());
            if (kernelEntry) {
                kernelEntries.push_back(Microseconds(*kernelEntry).count());
                fromCall.push_back(Microseconds(outcome.roundTrip + *kernelEntry).count());
            }
        } else {
            ++timeouts;
        }
        if (const auto ping = pingOnce(target))
            pings.push_back(*ping);
    }

    printFigure("rtt_us_median", roundTrips, median);
    printFigure("rtt_us_p90", roundTrips, p90);
    printFigure("kernel_entry_us_median", kernelEntries, median);
    printFigure("rtt_with_entry_us_median", fromCall, median);
    printFigure("ping_rtt_us_median", pings, median);
    printFigure("call_us_median", calls, median);
    std::printf("timeouts %d\n", timeouts);
    return 0;
}
