// `vmmsim run`: a simulated host in the foreground. Creates the rate-limit
// knobs, starts the scenario's VMs, applies its demand changes on time,
// writes the probe file every second, and on SIGINT, SIGTERM or the end of
// its duration stops every VM of its root and removes all state.
#pragma once

#include <optional>
#include <string>

#include "scenario.h"

namespace vmmsim {

struct HostOptions {
    Scenario scenario;
    std::optional<int> class1_limit;
    std::optional<int> class2_limit;
    std::optional<int> burst_secs;
    int period_ms = 100;
    int duration_secs = 0;   // 0: until a signal
    std::string probe_path;  // empty: no probe file
    int probe_window_secs = 10;
};

int run_host(const HostOptions& options);

}  // namespace vmmsim
