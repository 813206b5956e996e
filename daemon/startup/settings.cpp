#include "startup/settings.h"

Settings& Settings::instance()
{
    static Settings settings;
    return settings;
}

void Settings::set_log_level(const std::string&) {}
