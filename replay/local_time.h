#pragma once

#include <cstdint>
#include <string>

// "2024-05-01 13:02:03" for a wall clock in nanoseconds, in local time; with
// `millis`, the milliseconds after it (".123").
std::string local_time(int64_t wall_ns, bool millis = false);
