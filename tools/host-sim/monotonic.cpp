#include "tools/host-sim/monotonic.h"

#if defined(__linux__)
#include <cerrno>
#include <ctime>

std::int64_t monotonicNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t realtimeNs()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntilNs(std::int64_t deadlineNs)
{
    timespec ts {};
    ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    // Restart after signals; the deadline is absolute, so nothing drifts.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) { }
}
#else
#include <chrono>
#include <thread>

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t realtimeNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void sleepUntilNs(std::int64_t deadlineNs)
{
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNs)));
}
#endif
