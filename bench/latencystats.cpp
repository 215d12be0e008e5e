#include "bench/latencystats.h"

#include <algorithm>
#include <cmath>

void LatencyStats::sort()
{
    if (!sorted) {
        std::sort(samples.begin(), samples.end());
        sorted = true;
    }
}

std::int64_t LatencyStats::percentile(double p)
{
    if (samples.empty())
        return 0;
    sort();
    const auto rank
        = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    return samples[std::min(samples.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::int64_t LatencyStats::max()
{
    if (samples.empty())
        return 0;
    sort();
    return samples.back();
}

std::int64_t LatencyStats::min()
{
    if (samples.empty())
        return 0;
    sort();
    return samples.front();
}

double LatencyStats::mean() const
{
    if (samples.empty())
        return 0;
    double sum = 0;
    for (std::int64_t s : samples)
        sum += static_cast<double>(s);
    return sum / static_cast<double>(samples.size());
}
