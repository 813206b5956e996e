#include <algorithm>
#include <cstdint>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/controller.h"
#include "controller/host_access.h"
#include "startup/settings.h"

namespace {

constexpr int64_t rate_limit_floor = 30;
constexpr int64_t rate_limit_ceiling = 100;

}  // namespace

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
    if (static_cast<double>(settings.min_cpu_idle_level) >= idle_average) {
        if (limit <= rate_limit_floor)
            return;
        const int next = static_cast<int>(std::max(limit - step, rate_limit_floor));
        host.write_int_knob(class1_rate_limit_knob, next, knob.size);
        spdlog::info("CPU Idle={:.1f} VCPU_rate_limit={}; has been decreased by {}", idle_average, next,
                     settings.rate_limit_delta);
    } else if (idle_average >= static_cast<double>(settings.max_cpu_idle_level)) {
        if (limit >= rate_limit_ceiling)
            return;
        const int next = static_cast<int>(std::min(limit + step, rate_limit_ceiling));
        host.write_int_knob(class1_rate_limit_knob, next, knob.size);
        spdlog::info("CPU Idle={:.1f} VCPU_rate_limit={}; has been increased by {}", idle_average, next,
                     settings.rate_limit_delta);
    } else {
        return;  // inside the band
    }
    idle_average = idle_band_middle(settings);
}
