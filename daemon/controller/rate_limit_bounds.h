#pragma once

// The range the controller keeps the class-1 rate limit in, in percent:
// never stepped below the floor, nor above the ceiling.
inline constexpr int rate_limit_floor = 30;
inline constexpr int rate_limit_ceiling = 100;
