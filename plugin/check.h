#pragma once

#include <functional>
#include <ostream>

#include "check_options.h"
#include "check_result.h"
#include "plugin/cp_time.h"

// Everything a run touches outside itself, so tests can replace the kernel
// and the clock.
struct CheckEnvironment {
    SysctlByName sysctl;
    std::function<void(int seconds)> sleep;
    std::ostream* out;
};

// Validates, samples twice a period apart, and judges the idle share.
// Invalid options take no sample; a failed first sample skips the wait.
CheckResult run_check(const CheckOptions& options, const CheckEnvironment& env);

// The whole program: prints the usage or the status line and returns the
// exit status.
int cpuslack_main(int argc, char* argv[], const CheckEnvironment& env);
