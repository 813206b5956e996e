#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/controller.h"
#include "controller/host_access.h"
#include "controller/rate_limit_bounds.h"
#include "startup/settings.h"

namespace {

std::optional<int> value_of(const KnobValue& knob)
{
    return knob.ok ? std::optional<int>(knob.value) : std::nullopt;
}

// The limit one step from `limit` towards `bound`, not past it; none when it
// is at or past `bound` already. 64-bit, so that no configured step can
// overflow the int.
std::optional<int> stepped(int64_t limit, int64_t step, int bound, bool down)
{
    if (down ? limit <= bound : limit >= bound)
        return std::nullopt;
    return static_cast<int>(down ? std::max<int64_t>(limit - step, bound)
                                 : std::min<int64_t>(limit + step, bound));
}

// A dry run writes nothing, so it steps the limit it would have set,
// starting from the knob's value when it began: its average, its steps and
// its class moves then follow what enforcement would do. Switching it off
// takes up from the real knob.
int64_t limit_to_step(bool dry_run, int knob, std::optional<int>& would_be)
{
    if (!dry_run) {
        would_be.reset();
        return knob;
    }
    if (!would_be)
        would_be = knob;
    return *would_be;
}

}  // namespace

void Controller::regulate(HostAccess& host)
{
    const KnobValue knob = host.read_int_knob(Knob::class1_rate_limit);
    knobs.class1_rate_limit = value_of(knob);
    const KnobValue class2_knob = host.read_int_knob(Knob::class2_rate_limit);
    knobs.class2_rate_limit = value_of(class2_knob);
    const Settings& settings = Settings::instance();
    const std::optional<Class2Bounds> class2_range = follow_class2_settings(host, settings);
    if (!knob.ok)
        return;  // no vCPU rate limits on this kernel
    spdlog::trace("CPU_Idle={:4.1f}%  CPU_Idle_bound=[{}:{}] VCPU_rate_limit={}  CPU_Idle_Class_level={}%",
                  idle_average, settings.min_cpu_idle_level, settings.max_cpu_idle_level, knob.value,
                  settings.cpu_idle_level);

    const int64_t limit = limit_to_step(settings.dry_run, knob.value, dry_run_rate_limit);
    // Class 2 takes part while it is regulated and its knob reads.
    std::optional<int64_t> class2_limit;
    if (class2_range && class2_knob.ok)
        class2_limit = limit_to_step(settings.dry_run, class2_knob.value, class2.dry_run_limit);
    else
        class2.dry_run_limit.reset();

    // A busy host takes CPU back from class 2 first; a host with room gives
    // it to class 1 first, and to class 2 once class 1 has all there is.
    const int64_t step = settings.rate_limit_delta;
    const bool decrease = static_cast<double>(settings.min_cpu_idle_level) >= idle_average;
    std::optional<int> next;
    std::optional<int> next_class2;
    if (decrease) {
        // What class 2 was lent goes back at once, to its floor: a host
        // short of CPU cannot wait a step a tick for it.
        if (class2_limit && *class2_limit > class2_range->floor)
            next_class2 = class2_range->floor;
        if (!next_class2)
            next = stepped(limit, step, rate_limit_floor, true);
    } else if (idle_average >= static_cast<double>(settings.max_cpu_idle_level)) {
        next = stepped(limit, step, rate_limit_ceiling, false);
        if (!next && class2_limit)
            next_class2 = stepped(*class2_limit, step, class2_range->ceiling, false);
    }
    if (!next && !next_class2)
        return;  // inside the band, or nothing left to step

    const char* direction = decrease ? "decreased" : "increased";
    const char* name = next ? "VCPU_rate_limit" : "VCPU_rate_limit(class.2)";
    const int value = next ? *next : *next_class2;
    // Class 1 logs its configured step, as it always has; class 2 what it moved.
    const int64_t by = next ? step : std::abs(value - *class2_limit);
    if (settings.dry_run) {
        (next ? dry_run_rate_limit : class2.dry_run_limit) = value;
        spdlog::info("CPU Idle={:.1f} {}={}; has been {} by {} (dry run)", idle_average, name, value,
                     direction, by);
    } else {
        if (next) {
            host.write_int_knob(Knob::class1_rate_limit, value, knob.size);
            class1_written_ = true;
            ++(decrease ? tally.rate_limit_steps_down : tally.rate_limit_steps_up);
        } else {
            host.write_int_knob(Knob::class2_rate_limit, value, class2_knob.size);
            class2_written_ = true;
            class2.changed_knob = true;
            ++(decrease ? tally.class2_steps_down : tally.class2_steps_up);
        }
        spdlog::info("CPU Idle={:.1f} {}={}; has been {} by {}", idle_average, name, value, direction, by);
    }
    idle_average = idle_band_middle(settings);
}

std::optional<Class2Bounds> Controller::follow_class2_settings(HostAccess& host, const Settings& settings)
{
    if (!class2.start_limit && knobs.class2_rate_limit)
        class2.start_limit = knobs.class2_rate_limit;
    const std::optional<Class2Bounds> range = class2_bounds(settings, class2.start_limit);
    if (range != class2.bounds) {
        if (range)
            spdlog::info(
                "VCPU_rate_limit(class.2)={} found; regulated between {} and {}, put back to {} at stop",
                knobs.class2_rate_limit.value_or(0), range->floor, range->ceiling, *class2.start_limit);
        else
            spdlog::info("VCPU_rate_limit(class.2) no longer regulated");
        class2.bounds = range;
    }
    if (!range)
        put_back_class2_limit(host);
    return range;
}

void Controller::put_back_class2_limit(HostAccess& host)
{
    if (!class2.changed_knob || !class2.start_limit)
        return;
    const KnobValue knob = host.read_int_knob(Knob::class2_rate_limit);
    if (!knob.ok)
        return;  // tried again at the next tick, or left as a crash would
    class2.changed_knob = false;
    if (knob.value == *class2.start_limit)
        return;
    host.write_int_knob(Knob::class2_rate_limit, *class2.start_limit, knob.size);
    class2_written_ = true;
    spdlog::info("VCPU_rate_limit(class.2)={}; put back from {}", *class2.start_limit, knob.value);
}
