// helper_bench HELPER ADDRESS COUNT
//
// Sends COUNT pairs of echo probes of 32 asterisks, 200 ms apart: one through
// the program's own socket (echoOnce; it must be the datagram socket) and one
// through the echo helper at HELPER, and prints one figure a line, name then
// value: the median and 90th percentile round trip of each path and the
// median whole call of each (for the helper: started, run and waited for), in
// microseconds, and the probes that got no reply. Only loopback addresses
// (127.0.0.0/8) are probed; bench/helper_figures runs it in a namespace.
#include "probe/linux/EchoHelper.h"

#include <arpa/inet.h>

#include "bench/BenchSupport.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::median;
using bench::Microseconds;
using bench::p90;

struct Figures {
    std::vector<double> roundTrips;
    std::vector<double> calls;
    int timeouts = 0;
};

void print(const char *path, const Figures &figures)
{
    const auto line = [path](const char *name, const std::vector<double> &values, double (*statistic)(std::vector<double>)) {
        if (values.empty())
            std::printf("%s_%s none\n", path, name);
        else
            std::printf("%s_%s %.1f\n", path, name, statistic(values));
    };
    line("rtt_us_median", figures.roundTrips, median);
    line("rtt_us_p90", figures.roundTrips, p90);
    line("call_us_median", figures.calls, median);
    std::printf("%s_timeouts %d\n", path, figures.timeouts);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s HELPER ADDRESS COUNT\n", argv[0]);
        return 2;
    }
    const auto loopback = bench::loopbackTarget(argv[0], argv[2]);
    const auto probes = bench::probeCount(argv[0], argv[3]);
    if (!loopback || !probes)
        return 2;
    const in_addr_t target = *loopback;
    const int count = *probes;

    const std::string payload(32, '*');
    Figures own;
    Figures helper;
    for (int i = 0; i < count; ++i) {
        for (Figures *figures : {&own, &helper}) {
            if (i > 0 || figures == &helper)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const auto start = std::chrono::steady_clock::now();
            const Module1::EchoOutcome outcome = figures == &own
                ? Module1::echoOnce(target, payload)
                : Module1::echoThroughHelperAt(argv[1], target, payload);
            figures->calls.push_back(Microseconds(std::chrono::steady_clock::now() - start).count());
            const auto expected = figures == &own ? Module1::EchoPath::Datagram : Module1::EchoPath::Helper;
            if (outcome.path != expected) {
                std::fprintf(stderr, "%s: the %s path did not carry the probe\n", argv[0],
                             figures == &own ? "datagram" : "helper");
                return 1;
            }
            if (outcome.status == 0)
                figures->roundTrips.push_back(Microseconds(outcome.roundTrip).count());
            else
                ++figures->timeouts;
        }
    }
    print("datagram", own);
    print("helper", helper);
    return 0;
}
