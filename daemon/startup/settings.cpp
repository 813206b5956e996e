#include "startup/settings.h"

#include <spdlog/common.h>

Settings& Settings::instance()
{
    static Settings settings;
    return settings;
}

bool Settings::set_log_level(const std::string& name)
{
    // from_str answers "off" for every name it does not know.
    const spdlog::level::level_enum level = spdlog::level::from_str(name);
    if (level == spdlog::level::off && name != "off")
        return false;
    log_level = level;
    return true;
}

std::string level_name(int level)
{
    // spdlog's own table, the one set_log_level reads names back through.
    if (level < 0 || level >= spdlog::level::n_levels)
        return "";
    const auto name = spdlog::level::to_string_view(static_cast<spdlog::level::level_enum>(level));
    return std::string(name.data(), name.size());
}
