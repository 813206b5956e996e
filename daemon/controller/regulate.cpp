#include <algorithm>
#include <cstdint>
#include <optional>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/controller.h"
#include "controller/host_access.h"
#include "controller/rate_limit_bounds.h"
#include "startup/settings.h"

void Controller::regulate(HostAccess& host)
{
    const KnobValue knob = host.read_int_knob(Knob::class1_rate_limit);
    knobs.class1_rate_limit = knob.ok ? std::optional<int>(knob.value) : std::nullopt;
    if (!knob.ok)
        return;  // no vCPU rate limits on this kernel
    const Settings& settings = Settings::instance();
    spdlog::trace("CPU_Idle={:4.1f}%  CPU_Idle_bound=[{}:{}] VCPU_rate_limit={}  CPU_Idle_Class_level={}%",
                  idle_average, settings.min_cpu_idle_level, settings.max_cpu_idle_level, knob.value,
                  settings.cpu_idle_level);

    // A dry run writes nothing, so it steps the limit it would have set,
    // starting from the knob's value when it began: its average, its steps
    // and its class moves then follow what enforcement would do. Switching it
    // off takes up from the real knob.
    if (!settings.dry_run)
        dry_run_rate_limit.reset();
    else if (!dry_run_rate_limit)
        dry_run_rate_limit = knob.value;

    // 64-bit arithmetic so that no configured step can overflow the int.
    const int64_t limit = settings.dry_run ? *dry_run_rate_limit : knob.value;
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
        dry_run_rate_limit = next;
        spdlog::info("CPU Idle={:.1f} VCPU_rate_limit={}; has been {} by {} (dry run)", idle_average, next,
                     direction, settings.rate_limit_delta);
    } else {
        host.write_int_knob(Knob::class1_rate_limit, next, knob.size);
        class1_written_ = true;
        ++(decrease ? tally.rate_limit_steps_down : tally.rate_limit_steps_up);
        spdlog::info("CPU Idle={:.1f} VCPU_rate_limit={}; has been {} by {}", idle_average, next, direction,
                     settings.rate_limit_delta);
    }
    idle_average = idle_band_middle(settings);
}
