#pragma once

#include <cstdint>
#include <ctime>

// CLOCK_MONOTONIC in nanoseconds: the same clock in every process on the machine, so a
// benchmark can set its own send time against the simulator's receive time.
inline std::int64_t monotonicNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
