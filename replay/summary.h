#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "replay/replay_settings.h"

// What one replay found.
struct VmSummary {
    std::string name;
    uint64_t judged_miner = 0;  // times judged MINER
    std::optional<int64_t> first_miner_wall_ns;
    std::optional<int64_t> first_move_wall_ns;
    int64_t class2_ns = 0;
    uint64_t moves = 0;
    // CPU time its vCPUs wanted, and what the rate limit held back of it in
    // class 1 and in class 2, microseconds.
    double wanted_us = 0.0;
    double held_class1_us = 0.0;
    double held_class2_us = 0.0;
};

// The host without halvorn over the same recording.
struct BaselineSummary {
    int64_t below_floor_ns = 0;
    double held_us = 0.0;  // by a class-2 limit nobody moved a VM under: none
};

struct RunSummary {
    uint64_t ticks = 0;
    int64_t first_wall_ns = 0;
    int64_t last_wall_ns = 0;
    std::vector<VmSummary> vms;  // in the order first seen
    uint64_t steps_down = 0;
    uint64_t steps_up = 0;
    std::optional<int> lowest_limit;
    uint64_t class2_steps_down = 0;
    uint64_t class2_steps_up = 0;
    std::optional<int> highest_class2_limit;
    // vCPU time of VMs in class 2 that the replay let run beyond the
    // recording, and that their limit held back still.
    int64_t class2_given_back_us = 0;
    int64_t class2_held_back_us = 0;
    // Below the recorded MinCpuIdleLevel: the operator's floor, whatever
    // the replay's band.
    int64_t below_min_idle_ns = 0;
    int floor = 0;                       // the first header's
    std::map<int, int64_t> ns_at_limit;  // class-1 limit in force -> time
    // Idle CPU above MaxCpuIdleLevel while some VM was held in class 2.
    double idle_cpu_seconds_while_held = 0.0;
    // Ticks in which what saturated vCPUs wanted was estimated.
    uint64_t ticks_estimated = 0;
    std::optional<BaselineSummary> baseline;
    uint64_t unrecorded_throttle_reads = 0;

    uint64_t moves() const;
    uint64_t vms_moved() const;
    double vm_minutes_in_class2() const;
    // The share of the class-2 VMs' held-back time that the replay gave back.
    double class2_given_back_share() const;
    double minutes_below_min_idle() const { return static_cast<double>(below_min_idle_ns) / 60e9; }
    double wanted_us() const;
    double held_us() const;
    // The names of the VMs moved, in name order.
    std::vector<std::string> moved_names() const;
};

// How many VMs a row names before it counts the rest.
constexpr size_t named_in_row = 3;

// The first `named_in_row` of `names`, then how many more of `count` there
// are ("a,b,c +4"); "-" for none.
std::string first_names(const std::vector<std::string>& names, size_t count);

// The settings the controller decides by, as "Key=value" words.
std::string settings_line(const Settings& settings);

// The summary for people, and as JSON, with the settings of the first header.
std::string summary_text(const RunSummary& summary, const Settings& settings);
std::string summary_json(const RunSummary& summary, const Settings& settings);

// One row of the sweep table.
struct SweepRow {
    std::string settings;  // describe(combination)
    uint64_t vms_moved = 0;
    uint64_t moves = 0;
    double vm_minutes_class2 = 0.0;
    double host_minutes_below_min_idle = 0.0;
    uint64_t steps = 0;
    std::optional<int> lowest_limit;
    double cpu_hours_held = 0.0;
    std::vector<std::string> moved;  // the first few VMs moved
};

SweepRow sweep_row(const Combination& combination, const RunSummary& summary);
// The first row of a sweep: the host without halvorn.
SweepRow baseline_row(const RunSummary& baseline);
// A row as one line and back, for the sweep's workers.
std::string encode_row(const SweepRow& row);
std::optional<SweepRow> decode_row(const std::string& line);
std::string sweep_table(const std::vector<SweepRow>& rows);
// The rows with each one's `combinations` entry as its settings.
std::string sweep_json(const std::vector<SweepRow>& rows, const std::vector<Combination>& combinations);
