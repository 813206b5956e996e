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
    const int index = static_cast<int>(cls) + 1;
    if (index < 0 || index >= static_cast<int>(names.size()))
        return {};
    return names[static_cast<size_t>(index)];
}
