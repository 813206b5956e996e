#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

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
    // The range the class-2 rate limit is regulated in, percent. 0: no
    // ceiling leaves the class-2 limit alone; no floor is the limit the
    // controller found when it started.
    int32_t class2_rate_limit_floor = 0;
    int32_t class2_rate_limit_ceiling = 0;
    int32_t cpu_idle_level = 30;
    int32_t overload_bound = 90;
    int32_t vcpu = 4;
    // Prometheus text file written after every tick; empty writes nothing.
    std::string metrics_file;
    // Judge as usual but write no knob and set no class.
    bool dry_run = false;
    // gzip file that every tick's host reads are appended to, for
    // halvorn-replay; empty records nothing.
    std::string record_file;
    // VM names or fnmatch patterns never moved between classes.
    std::vector<std::string> exempt;
    // Host knobs a replay sets otherwise than its recording shows
    // (halvorn-replay --set hw.vmm...); 0 leaves the recorded value. The
    // daemon itself reads the kernel's and never these.
    int32_t replayed_class2_rate_limit = 0;
    int32_t replayed_class1_burst_secs = 0;

    // Inline: the controller asks for it several times a VM and tick.
    static Settings& instance()
    {
        static Settings settings;
        return settings;
    }
    // False for a name that is no level; the level then stays. Does not
    // touch the logger.
    bool set_log_level(const std::string& name);
    // True when `vm_name` matches one of the Exempt patterns.
    bool is_exempt(const std::string& vm_name) const;
};

// "build-*, db01" as {"build-*", "db01"}: blanks around items and empty
// items dropped. A newline counts as a blank, so a list may go on over
// continuation lines.
std::vector<std::string> split_name_list(const std::string& text);

// "trace" .. "off" for 0 .. 6, the inverse of Settings::set_log_level; empty outside.
std::string level_name(int level);
