#pragma once

#include <algorithm>
#include <optional>

#include "startup/settings.h"

// The range the class-2 rate limit is regulated in, percent.
struct Class2Bounds {
    int floor = 0;
    int ceiling = 0;
    bool operator==(const Class2Bounds&) const = default;
};

// What the controller keeps of the class-2 rate limit. The limit is the
// operator's setting: the controller only lends idle CPU to class 2 through
// it while Class2RateLimitCeiling is set, and puts it back when it stops or
// the keys go.
struct Class2Regulation {
    // The knob at the controller's first read of it: what is put back.
    std::optional<int> start_limit;
    // The range in force at the last tick; none while not regulated.
    std::optional<Class2Bounds> bounds;
    // The controller has written the knob since it started or last put it back.
    bool changed_knob = false;
    // The class-2 limit a dry run would have set; none outside a dry run.
    std::optional<int> dry_run_limit;
};

// The range under `settings`, or none while Class2RateLimitCeiling is unset
// or the limit to fall back on is not known yet. Without a floor of its own
// the floor is the limit found at the start; a floor above the ceiling is
// taken as the ceiling.
inline std::optional<Class2Bounds> class2_bounds(const Settings& settings, std::optional<int> start_limit)
{
    if (settings.class2_rate_limit_ceiling <= 0 || !start_limit)
        return std::nullopt;
    const int ceiling = settings.class2_rate_limit_ceiling;
    const int floor = settings.class2_rate_limit_floor > 0 ? settings.class2_rate_limit_floor : *start_limit;
    return Class2Bounds{std::min(floor, ceiling), ceiling};
}
