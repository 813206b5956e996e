#include <algorithm>

#include "startup/configuration.h"
#include "startup/settings.h"

void apply_bounds(Settings& s)
{
    s.update_time = std::clamp<int64_t>(s.update_time, 100, 10000);
    s.averaging_time = std::max<int64_t>(s.averaging_time, 10);
    s.min_cpu_idle_level = std::clamp(s.min_cpu_idle_level, 5, 90);
    if (s.max_cpu_idle_level >= 96)
        s.max_cpu_idle_level = 95;
    else if (s.max_cpu_idle_level < s.min_cpu_idle_level + 5)
        s.max_cpu_idle_level = s.min_cpu_idle_level + 5;
    s.cpu_idle_level = std::clamp(s.cpu_idle_level, 5, 99);
    s.overload_bound = std::clamp(s.overload_bound, 10, 99);
    s.vcpu = std::max(s.vcpu, 1);
    // A zero period would stop the VM-list refresh after its first run and a
    // negative one aborts the event loop.
    s.update_vm_list = std::max(s.update_vm_list, 1);
    // A step below 1 would drive the class-1 rate limit out of its range.
    s.rate_limit_delta = std::max(s.rate_limit_delta, 1);
}
