#pragma once

#include <cstdint>

// CLOCK_MONOTONIC in nanoseconds: the clock the latency benchmark reads on the
// device side too, so send times and receive times compare directly.
std::int64_t monotonicNs();

// Sleeps until the monotonic clock reaches deadlineNs (absolute), so pacing
// errors do not add up from frame to frame.
void sleepUntilNs(std::int64_t deadlineNs);

// CLOCK_REALTIME in nanoseconds: the clock of the kernel's receive stamps
// (SO_TIMESTAMPNS) that nanoleaf-sim reports, so a send time taken here compares
// with a device socket's receive time.
std::int64_t realtimeNs();
