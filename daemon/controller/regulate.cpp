#include <algorithm>
#include <cstdint>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/controller.h"
#include "controller/host_access.h"
#include "controller/rate_limit_bounds.h"
#include "startup/settings.h"

void Controller::regulate(HostAccess& host)
{
    const KnobValue knob = host.read_int_knob(class1_rate_limit_knob);
    if (!knob.ok)
        return;  // no vCPU rate limits on this kernel
    const Settings& settings = Settings::instance();
    spdlog::trace("CPU_Idle={:4.1f}%  CPU_Idle_bound=[{}:{}] VCPU_rate_limit={}  CPU_Idle_Class_level={}%",
                  idle_average, settings.min_cpu_idle_level, settings.max_cpu_idle_level, knob.value,
                  settings.cpu_idle_level);

    // 64-bit arithmetic so that no configured step can overflow the int.
    const int64_t limit = knob.value;
    const int64_t step = settings.rate_limit_delta;
    const bool decrease = static_cast<double>(settings.min_cpu_idle_level) >= idle_average;
    if (decrease) {
        if (limit <= rate_limit_floor)
            return;
    } else if (idle_average >= static_cast<double>(settings.max_cpu_idle_level)) {
        if (limit >= rate_limit_ceiling)
            return;
    } else {
        return;  // inside the band
    }
    const int next = static_cast<int>(decrease ? std::max<int64_t>(limit - step, rate_limit_floor)
                                               : std::min<int64_t>(limit + step, rate_limit_ceiling));
    const char* direction = decrease ? "decreased" : "increased";
    if (settings.dry_run) {
        // The knob stays, so the same step comes up again and again: say it
        // once per value it would set.
        if (next != dry_run_rate_limit)
            spdlog::info("CPU Idle={:.1f} VCPU_rate_limit={}; has been {} by {} (dry run)", idle_average,
                         next, direction, settings.rate_limit_delta);
        dry_run_rate_limit = next;
    } else {
        host.write_int_knob(class1_rate_limit_knob, next, knob.size);
        ++(decrease ? tally.rate_limit_steps_down : tally.rate_limit_steps_up);
        dry_run_rate_limit.reset();
        spdlog::info("CPU Idle={:.1f} VCPU_rate_limit={}; has been {} by {}", idle_average, next, direction,
                     settings.rate_limit_delta);
    }
    idle_average = idle_band_middle(settings);
}
