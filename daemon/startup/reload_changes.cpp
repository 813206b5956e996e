#include "startup/reload_changes.h"

#include <string>

#include <spdlog/spdlog.h>

namespace {

std::string quoted_or(const std::string& path, const char* none)
{
    return path.empty() ? std::string(none) : "'" + path + "'";
}

void warn_of_path_change(const char* what, const std::string& before, const std::string& after,
                         const char* none)
{
    if (before != after)
        spdlog::warn("{} is now {} (was {})", what, quoted_or(after, none), quoted_or(before, none));
}

}  // namespace

void warn_of_reload_changes(const Settings& before, const Settings& after)
{
    warn_of_path_change("Configuration file", before.config_file.string(), after.config_file.string(),
                        "none, defaults");
    if (before.dry_run != after.dry_run)
        spdlog::warn("{}", after.dry_run ? "dry run is now on: no rate limit or class is changed"
                                         : "dry run is now off: enforcing");
    warn_of_path_change("RecordFile", before.record_file, after.record_file, "off");
    warn_of_path_change("MetricsFile", before.metrics_file, after.metrics_file, "off");
}
