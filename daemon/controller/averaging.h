#pragma once

#include <cstdint>

#include "startup/settings.h"

// Samples in the averaging window: AveragingTime over UpdateTime. The
// settings' bounds keep it at 1 or more.
inline int64_t averaging_weight(const Settings& settings)
{
    return settings.averaging_time * 1000 / settings.update_time;
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
