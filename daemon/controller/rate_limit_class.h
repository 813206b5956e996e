#pragma once

#include <string_view>

#include <fmt/format.h>

// libvmmapi's vCPU rate-limit classes; -1 is "class unreadable".
enum class RateLimitClass : int {
    Error = -1,
    Service = 0,
    Normal = 1,
    Mainer = 2,  // the system's own spelling, shown in logs: keep it
    Class3 = 3,
    Class4 = 4,
    Class5 = 5,
    Class6 = 6,
    Class7 = 7,
    Class8 = 8,
    Class9 = 9,
};

// The two classes the controller moves VMs between, and what a class that
// cannot be read is reported as.
inline constexpr int normal_class = static_cast<int>(RateLimitClass::Normal);
inline constexpr int miner_class = static_cast<int>(RateLimitClass::Mainer);
inline constexpr int unreadable_class = static_cast<int>(RateLimitClass::Error);

// "RateLimitClass::Normal" and so on; empty outside -1..9.
std::string_view display_name(RateLimitClass cls);

template <>
struct fmt::formatter<RateLimitClass> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(RateLimitClass cls, FormatContext& ctx) const
    {
        // Options are parsed as for text but the name is printed as it is.
        return fmt::format_to(ctx.out(), "{}", display_name(cls));
    }
};
