#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A bag of latency samples in nanoseconds and its order statistics
// (nearest-rank percentiles, the same rule host-sim uses for round trips).
class LatencyStats
{
public:
    void add(std::int64_t ns)
    {
        samples.push_back(ns);
        sorted = false;
    }
    void reserve(std::size_t n) { samples.reserve(n); }
    std::size_t count() const { return samples.size(); }
    bool empty() const { return samples.empty(); }

    // p in (0, 100]; 0 when there are no samples.
    std::int64_t percentile(double p);
    std::int64_t max();
    std::int64_t min();
    double mean() const;

private:
    void sort();

    std::vector<std::int64_t> samples;
    bool sorted = true;
};
