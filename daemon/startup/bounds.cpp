#include <algorithm>

#include "startup/configuration.h"
#include "startup/configuration_keys.h"
#include "startup/settings.h"

void apply_bounds(Settings& s)
{
    for (const ConfigurationKey& key : configuration_keys())
        clamp_to_bounds(key, s);
    // The idle band is at least 5 wide: MaxCpuIdleLevel rises to 5 above the
    // bounded MinCpuIdleLevel (at most 95, as MaxCpuIdleLevel's own bound).
    s.max_cpu_idle_level = std::max(s.max_cpu_idle_level, s.min_cpu_idle_level + 5);
}
