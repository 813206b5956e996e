#pragma once

#include <cstdint>
#include <limits>

#include "startup/settings.h"

// Samples in the averaging window: AveragingTime over UpdateTime. The
// settings' bounds keep it at 1 or more. AveragingTime has no upper bound, so
// a window too long to count in milliseconds is taken as the longest that can
// be counted: wrapping would give a short window, or an empty one that sends
// the average to infinity.
inline int64_t averaging_weight(const Settings& settings)
{
    constexpr int64_t longest_ms = std::numeric_limits<int64_t>::max();
    const int64_t window_ms =
        settings.averaging_time > longest_ms / 1000 ? longest_ms : settings.averaging_time * 1000;
    return window_ms / settings.update_time;
}

// Exponential moving average over `n` samples.
inline double fold_average(double average, double sample, int64_t n)
{
    const double previous_weight = static_cast<double>(static_cast<uint64_t>(n - 1));
    return (previous_weight * average + sample) / static_cast<double>(static_cast<uint64_t>(n));
}

// Where the host idle average starts and returns to after a rate-limit step.
inline double idle_band_middle(const Settings& settings)
{
    return static_cast<double>(settings.min_cpu_idle_level + settings.max_cpu_idle_level) * 0.5;
}
