// The host's cumulative CPU-state counters, FreeBSD's cp_time, from /proc/stat.
#pragma once

#include <cstddef>

#include "platform_kernel.h"

namespace compat {

// Folds the aggregate "cpu" line of a /proc/stat text into the five FreeBSD
// states. False when the text has no usable "cpu" line.
bool parse_cp_time(const char* text, size_t len, long out[CPUSTATES]);

// Raises any state below what this process saw before back to that value.
void keep_monotonic(long sample[CPUSTATES]);

// Reads /proc/stat and folds it, never going back from an earlier read. 0, or -1 with errno.
int read_cp_time(long out[CPUSTATES]);

}  // namespace compat
