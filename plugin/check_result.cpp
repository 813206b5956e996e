#include "check_result.h"

#include <cmath>

namespace {

constexpr const char* kStatusNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

}  // namespace

int status_for(double idle, std::int32_t warning, std::int32_t critical)
{
    if (idle < 0)
        return kUnknown;
    if (idle < static_cast<double>(critical))
        return kCritical;
    if (idle < static_cast<double>(warning))
        return kWarning;
    return kOk;
}

std::string format_result(const CheckResult& result)
{
    if (result.status == kUnknown)
        return result.text;
    // The printed number is floored; the status was decided on the exact share.
    const auto shown = static_cast<std::int32_t>(std::floor(result.idle));
    std::string line = kStatusNames[result.status];
    line += ": " + std::to_string(shown);
    if (result.status == kWarning)
        line += " below " + std::to_string(result.warning);
    else if (result.status == kCritical)
        line += " below " + std::to_string(result.critical);
    line += " | host_cpu_idle=" + std::to_string(shown);
    return line;
}
