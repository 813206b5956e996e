#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include <INIReader.h>
#include <spdlog/spdlog.h>

#include "startup/identity.h"
#include "startup/configuration.h"
#include "startup/settings.h"

namespace fs = std::filesystem;

namespace {

// The program's directory as found at start; a reload has no program path
// and searches here first all the same.
fs::path& program_directory()
{
    static fs::path directory;
    return directory;
}

// A candidate counts only when its status query succeeds: absent files and
// queries that fail for any other reason (permissions, loops) are skipped.
bool exists_for_search(const fs::path& candidate)
{
    std::error_code ec;
    const fs::file_status status = fs::status(candidate, ec);
    return !ec && fs::exists(status);
}

fs::path find_configuration()
{
    const std::string file_name = program_name() + ".config";
    std::vector<fs::path> candidates;
    if (!program_directory().empty())
        candidates.push_back(program_directory() / file_name);
    candidates.push_back(fs::path("/usr/local/etc/") / file_name);
    candidates.push_back(fs::path("/etc/") / file_name);
    for (const fs::path& candidate : candidates)
        if (exists_for_search(candidate))
            return candidate;
    return {};
}

void read_keys(const INIReader& ini, Settings& s)
{
    const Settings d;  // defaults
    s.set_log_level(ini.Get("COMMON", "LogLevel", "info"));
    // Integer keys keep the low 32 bits of the parsed long.
    s.update_vm_list = static_cast<int32_t>(ini.GetInteger("COMMON", "UpdateVMList", d.update_vm_list));
    s.update_time = ini.GetInteger("COMMON", "UpdateTime", d.update_time);
    s.averaging_time = ini.GetInteger("COMMON", "AveragingTime", d.averaging_time);
    s.max_cpu_idle_level =
        static_cast<int32_t>(ini.GetInteger("RATE_LIMIT", "MaxCpuIdleLevel", d.max_cpu_idle_level));
    s.min_cpu_idle_level =
        static_cast<int32_t>(ini.GetInteger("RATE_LIMIT", "MinCpuIdleLevel", d.min_cpu_idle_level));
    s.rate_limit_delta =
        static_cast<int32_t>(ini.GetInteger("RATE_LIMIT", "RateLimitDelta", d.rate_limit_delta));
    s.cpu_idle_level = static_cast<int32_t>(ini.GetInteger("VCPU_CLASS", "CpuIdleLevel", d.cpu_idle_level));
    s.overload_bound = static_cast<int32_t>(ini.GetInteger("VCPU_CLASS", "OverloadBound", d.overload_bound));
    s.vcpu = static_cast<int32_t>(ini.GetInteger("VCPU_CLASS", "VCPU", d.vcpu));
    s.metrics_file = ini.Get("COMMON", "MetricsFile", d.metrics_file);
    s.dry_run = ini.GetBoolean("COMMON", "DryRun", d.dry_run);
    s.exempt = split_name_list(ini.Get("VCPU_CLASS", "Exempt", ""));
}

// False when the file cannot be opened or has a bad line; no key is read then.
bool read_file(Settings& s)
{
    // fopen() accepts a directory on some systems and then reads nothing,
    // which would pass for an empty file; treat it as the open failure it is.
    std::error_code ec;
    if (fs::is_directory(s.config_file, ec))
        return false;
    const INIReader ini(s.config_file.string());
    if (ini.ParseError() != 0)
        return false;
    read_keys(ini, s);
    return true;
}

}  // namespace

void load_configuration(Settings& settings, const std::string& program_path, const std::string& config_option,
                        const std::string& level_option)
{
    if (!program_path.empty()) {
        // Absolute first: weakly_canonical leaves a relative path relative
        // when its first component does not exist.
        std::error_code ec;
        fs::path program = fs::absolute(program_path, ec);
        if (!ec)
            program = fs::weakly_canonical(program, ec);
        program_directory() = ec ? fs::path() : program.parent_path();
    }

    if (!config_option.empty())
        settings.config_file = config_option;
    else
        settings.config_file = find_configuration();

    if (settings.config_file.empty()) {
        std::puts("No config file found. Using default parameters");
    } else if (!read_file(settings)) {
        std::fprintf(stderr, "Can't load config file: '%s'\n", settings.config_file.c_str());
        std::fputs("Using default parameters\n", stderr);
        settings.config_file.clear();
    }

    if (!level_option.empty())
        settings.set_log_level(level_option);
    apply_bounds(settings);
}

void reload_configuration()
{
    Settings& settings = Settings::instance();
    load_configuration(settings, std::string(), std::string(), std::string());
    spdlog::info("Configuration file: '{}'", settings.config_file.string());
}
