#include "probe/linux/EchoClock.h"

#include <algorithm>

namespace Module1 {

namespace {

using std::chrono::nanoseconds;
using namespace std::chrono_literals;

// Two readings of the clocks further apart than this are taken again.
constexpr nanoseconds kClockReadSpread = 2us;
// A change of the difference between the clocks beyond what the two readings
// of it may be off by is a step of the wall clock.
constexpr nanoseconds kClockStepTolerance = 2 * kClockReadSpread;

nanoseconds clockNow(clockid_t clock)
{
    timespec now;
    ::clock_gettime(clock, &now);
    return toDuration(now);
}

} // namespace

nanoseconds toDuration(const timespec &time)
{
    return std::chrono::seconds(time.tv_sec) + nanoseconds(time.tv_nsec);
}

timespec toTimespec(nanoseconds duration)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

nanoseconds monotonicNow()
{
    return clockNow(CLOCK_MONOTONIC);
}

// Should the process be interrupted between the readings, they are taken
// again, so that the difference between the clocks is known to within
// kClockReadSpread.
ClockReading readClocks()
{
    for (int attempt = 1;; ++attempt) {
        const nanoseconds before = clockNow(CLOCK_MONOTONIC);
        const nanoseconds wall = clockNow(CLOCK_REALTIME);
        const nanoseconds after = clockNow(CLOCK_MONOTONIC);
        if (after - before <= kClockReadSpread || attempt == 4)
            return ClockReading{before + (after - before) / 2, wall};
    }
}

nanoseconds roundTripTime(const SendStamp &sent, const ReceiveStamp &received)
{
    const nanoseconds elapsed = received.clocks.steady - sent.clocks.steady;
    const nanoseconds offsetChange =
        (received.clocks.wall - received.clocks.steady) - (sent.clocks.wall - sent.clocks.steady);
    const bool wallClockStepped = offsetChange > kClockStepTolerance || offsetChange < -kClockStepTolerance;
    if (received.arrived && !wallClockStepped) {
        const nanoseconds stamped = *received.arrived - sent.transmitted.value_or(sent.clocks.wall);
        if (stamped >= nanoseconds::zero())
            return std::min(stamped, elapsed);
    }
    return elapsed;
}

} // namespace Module1
