#include "check_result.h"

#include <cmath>

namespace {

constexpr const char* status_names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

}  // namespace

int status_for(double idle, std::int32_t warning, std::int32_t critical)
{
    if (idle < 0)
        return status_unknown;
    if (idle < static_cast<double>(critical))
        return status_critical;
    if (idle < static_cast<double>(warning))
        return status_warning;
    return status_ok;
}

std::string format_result(const CheckResult& result)
{
    if (result.status == status_unknown)
        return result.text;
    // The printed number is floored; the status was decided on the exact share.
    const auto shown = static_cast<std::int32_t>(std::floor(result.idle));
    std::string line = status_names[result.status];
    line += ": " + std::to_string(shown);
    if (result.status == status_warning)
        line += " below " + std::to_string(result.warning);
    else if (result.status == status_critical)
        line += " below " + std::to_string(result.critical);
    line += " | host_cpu_idle=" + std::to_string(shown);
    return line;
}
