#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The process-wide record of the command line and the configuration file.
// Read afresh by the controller on every tick.
struct Settings {
    int32_t log_level = 2;  // spdlog level number, 0 trace .. 6 off
    std::filesystem::path config_file;
    std::string command;
    std::string command_arg;
    std::string tracked_vm;
    int64_t update_time = 1000;   // ms
    int32_t update_vm_list = 5;   // minutes
    int64_t averaging_time = 30;  // s
    int32_t max_cpu_idle_level = 35;
    int32_t min_cpu_idle_level = 15;
    int32_t rate_limit_delta = 5;
    int32_t cpu_idle_level = 30;
    int32_t overload_bound = 90;
    int32_t vcpu = 4;

    static Settings& instance();
    // False for a name that is no level; the level then stays. Does not
    // touch the logger.
    bool set_log_level(const std::string& name);
};

// Fills `settings` from the configuration file and the -c / -l values
// (empty when absent). `program_path` is argv[0], empty on a reload.
void load_configuration(Settings& settings, const std::string& program_path, const std::string& config_option,
                        const std::string& level_option);
// Files that others than root can write are never read (the reason goes to
// standard error at start, to the log on a reload), nor are unknown level
// names taken.
// SIGHUP: search and read the file again, then log the file in use. The two
// timer periods keep their start values.
void reload_configuration();
// Clamps every bounded field; the last step of load_configuration.
void apply_bounds(Settings& settings);
