#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// The kernel knobs a tick reads or writes. They cross the host seam by this
// enumeration, so no wrapper of the host compares names; the sysctl names
// are looked up in one table.
enum class Knob : uint8_t {
    class1_rate_limit,
    class2_rate_limit,
    class1_burst_secs,
};

inline constexpr std::array<std::string_view, 3> knob_names{
    "hw.vmm.vcpu_limit.class.1.rate_limit",
    "hw.vmm.vcpu_limit.class.2.rate_limit",
    "hw.vmm.vcpu_limit.class.1.burst_secs",
};
static_assert(knob_names.size() == static_cast<size_t>(Knob::class1_burst_secs) + 1, "a name for every Knob");

constexpr std::string_view knob_name(Knob knob) { return knob_names[static_cast<size_t>(knob)]; }

// The class knobs as the last tick read them; none when unreadable.
struct HostKnobs {
    std::optional<int> class1_rate_limit;
    std::optional<int> class2_rate_limit;
    std::optional<int> class1_burst_secs;
};
