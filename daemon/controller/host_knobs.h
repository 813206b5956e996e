#pragma once

#include <optional>

// The class knobs as the last tick read them; none when unreadable.
struct HostKnobs {
    std::optional<int> class1_rate_limit;
    std::optional<int> class2_rate_limit;
    std::optional<int> class1_burst_secs;
};
