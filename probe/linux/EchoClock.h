// The clocks of a probe: readings of the wall clock, on which the kernel
// stamps packets, beside the monotonic clock, which no one sets, and the
// round trip measured from them.
#pragma once

#include <time.h>

#include <chrono>
#include <optional>

namespace Module1 {

// Both clocks read at one moment. Apart from a step of the wall clock, the
// two run at the same rate, so the difference between them stays the same.
struct ClockReading {
    std::chrono::nanoseconds steady;
    std::chrono::nanoseconds wall;
};

// The send: the clocks just before it, and the kernel's own stamp of the
// moment the request went out (wall clock) where the socket gives one.
struct SendStamp {
    ClockReading clocks;
    std::optional<std::chrono::nanoseconds> transmitted;
};

// An answer: the kernel's stamp of its arrival (wall clock) where the socket
// gives one, and the clocks when it was read.
struct ReceiveStamp {
    std::optional<std::chrono::nanoseconds> arrived;
    ClockReading clocks;
};

// The round trip from the kernel's transmit stamp (else the clocks before the
// send) to the kernel's arrival stamp, so that neither entering the kernel
// nor waking this process counts. Where the wall clock was set in between, by
// however little, or a stamp is missing or makes no sense, it is the
// monotonic time from the send to the reading instead.
std::chrono::nanoseconds roundTripTime(const SendStamp &sent, const ReceiveStamp &received);

// The two clocks read one right after the other, to within a few
// microseconds of each other.
ClockReading readClocks();

// The monotonic clock alone.
std::chrono::nanoseconds monotonicNow();

std::chrono::nanoseconds toDuration(const timespec &time);
timespec toTimespec(std::chrono::nanoseconds duration);

} // namespace Module1
