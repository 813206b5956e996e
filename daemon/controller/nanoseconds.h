#pragma once

#include <cstdint>
#include <limits>

// Controller times are steady-clock nanoseconds in signed 64-bit integers.
inline constexpr int64_t one_second_ns = 1'000'000'000;
// The largest value means "not set".
inline constexpr int64_t no_time = std::numeric_limits<int64_t>::max();
