#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// The kernel's cumulative clock ticks per CPU state, in its order: user,
// nice, system, interrupt, idle.
using CpTimeSample = std::array<long, 5>;

// sysctlbyname's signature, so tests can stand in for the kernel.
using SysctlByName = std::function<int(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                                       std::size_t newlen)>;

// Reads kern.cp_time into `sample`. Returns "" on success, otherwise the
// error text to report. A reply of any other size than a full sample is a
// failure (EIO), since the counters would not mean what we think.
std::string read_cp_time(const SysctlByName& sysctl, CpTimeSample& sample);

// Idle share in percent between two samples, or nothing when no tick was
// counted in between. Counter differences wrap as unsigned 64-bit.
std::optional<double> idle_share(const CpTimeSample& first, const CpTimeSample& second);
