#pragma once

#include <cstdint>

// What the controller has counted since it started.
struct ControllerTally {
    uint64_t ticks = 0;
    uint64_t kvm_errors = 0;
    double last_tick_cpu_seconds = 0.0;
    uint64_t moves_to_class1 = 0;
    uint64_t moves_to_class2 = 0;
    uint64_t rate_limit_steps_down = 0;
    uint64_t rate_limit_steps_up = 0;
    uint64_t class2_steps_down = 0;
    uint64_t class2_steps_up = 0;
};
