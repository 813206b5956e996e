#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <string>

// Steady-clock nanoseconds; the largest value means "not set".
inline constexpr int64_t no_time = std::numeric_limits<int64_t>::max();

// The judgement of a VM; the record keeps it as the plain integer.
enum VmKind : int {
    kind_unjudged = 0,
    kind_normal = 1,  // "NORMAL"
    kind_miner = 2,   // "MINER"
};

// Demand history of one vCPU.
struct VcpuLoad {
    uint64_t runtime = 0;    // us, thread run time at the last evaluation
    uint64_t throttled = 0;  // us, throttle sleep at the last evaluation
    double load = 0.0;       // percent, averaged demand
};

// One running VM (one bhyve process), owned by the controller's registry.
struct VmRecord {
    std::string name;
    int pid = 0;
    int parent_pid = 0;  // process group of the vCPU threads
    int64_t last_sample = no_time;
    bool overloaded = true;
    int kind = kind_unjudged;  // a VmKind
    int64_t deadline = no_time;
    int last_class = -1;
    std::map<int, VcpuLoad> vcpu_loads;
};
