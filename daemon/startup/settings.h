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

// "trace" .. "off" for 0 .. 6, the inverse of Settings::set_log_level; empty outside.
std::string level_name(int level);
