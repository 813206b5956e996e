#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// What a search weighs one replay by: two costs to keep low, the host's
// time below its floor against the CPU time held back from its VMs, and
// two more that only break ties between equal costs.
struct Figures {
    double minutes_below_floor = 0.0;
    double cpu_hours_held_back = 0.0;
    double vm_minutes_in_class2 = 0.0;
    uint64_t vms_moved = 0;
};

// `a` is no worse than `b` in either cost and better in one; where both
// costs are equal, the tie-breakers decide in their order.
bool dominates(const Figures& a, const Figures& b);

// The indices of the figures that nothing dominates, fewest minutes below
// the floor first; of figures alike, the first one.
std::vector<size_t> pareto_front(std::span<const Figures> all);

// The point of a front (as pareto_front gives it) farthest from the line
// between the front's two ends, with both costs scaled to the front's span:
// where a little more of one cost buys the least of the other.
size_t front_knee(std::span<const Figures> all, std::span<const size_t> front);

// At most `most` points of a front, in the front's order: its two ends and
// its knee, then those farthest from the points already kept.
std::vector<size_t> thin_front(std::span<const Figures> all, std::span<const size_t> front, size_t most);
