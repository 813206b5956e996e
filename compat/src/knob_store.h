// The VM monitor's integer knobs ("hw.vmm.*"), kept as one file per knob in
// $VMMSIM_ROOT/sysctl/ (default /var/run/vmmsim), each holding a decimal int.
// The hypervisor simulator reads and writes the same files.
#pragma once

#include <cstddef>
#include <string>

namespace compat {

// True for the names the knob store answers.
bool is_knob_name(const char* name);

// The directory of the knob files, with a trailing slash.
std::string knob_directory();

// sysctlbyname on a knob: old value out, then new value in. Returns 0 or an
// errno value (ENOENT: no such knob).
int knob_sysctl(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

}  // namespace compat
