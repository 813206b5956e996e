#include "startup/settings.h"

#include <spdlog/common.h>

Settings& Settings::instance()
{
    static Settings settings;
    return settings;
}

void Settings::set_log_level(const std::string& name) { log_level = spdlog::level::from_str(name); }
