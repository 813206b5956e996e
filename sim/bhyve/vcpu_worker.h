// One simulated vCPU: a thread that wants a share of a CPU and gets at most
// its class's rate limit.
#pragma once

#include <cstdint>
#include <string>

#include "common/vm_state.h"

namespace vmmsim {

// What one slice of a vCPU amounts to, from its demand and its limit
// (both percent of one CPU) and the slice's wall time.
struct SliceBudget {
    int64_t run_ns;       // CPU time to burn
    int64_t throttle_us;  // time held back by the rate limit
    int64_t idle_us;      // time the guest did not want
};
SliceBudget slice_budget(int demand, int limit, int64_t slice_ns);

struct VcpuWorker {
    VmState* state;
    int number;
    std::string root;  // where the rate-limit knobs live

    // Runs slice after slice for the life of the process.
    [[noreturn]] void run() const;
};

}  // namespace vmmsim
