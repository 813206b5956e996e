#include "controller/rate_limit_class.h"

#include <array>

std::string_view display_name(RateLimitClass cls)
{
    static constexpr std::array<std::string_view, 11> names{
        "RateLimitClass::Error",  "RateLimitClass::Service", "RateLimitClass::Normal",
        "RateLimitClass::Mainer", "RateLimitClass::Class3",  "RateLimitClass::Class4",
        "RateLimitClass::Class5", "RateLimitClass::Class6",  "RateLimitClass::Class7",
        "RateLimitClass::Class8", "RateLimitClass::Class9",
    };
    // Range check before the shift to an index, which would overflow at INT_MAX.
    const int value = static_cast<int>(cls);
    if (value < -1 || value > 9)
        return {};
    return names[static_cast<size_t>(value + 1)];
}
