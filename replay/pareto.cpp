#include "replay/pareto.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

namespace {

auto tie_breakers(const Figures& f) { return std::tie(f.vm_minutes_in_class2, f.vms_moved); }

// A front's costs scaled to 0..1 over its span, so that minutes and
// CPU-hours weigh alike.
struct Scale {
    double floor_low = 0.0, floor_span = 1.0, held_low = 0.0, held_span = 1.0;

    Scale(std::span<const Figures> all, std::span<const size_t> front)
    {
        const Figures& first = all[front.front()];
        const Figures& last = all[front.back()];
        floor_low = first.minutes_below_floor;
        floor_span = std::max(last.minutes_below_floor - floor_low, 1e-12);
        held_low = last.cpu_hours_held_back;
        held_span = std::max(first.cpu_hours_held_back - held_low, 1e-12);
    }
    double x(const Figures& f) const { return (f.minutes_below_floor - floor_low) / floor_span; }
    double y(const Figures& f) const { return (f.cpu_hours_held_back - held_low) / held_span; }
};

}  // namespace

bool dominates(const Figures& a, const Figures& b)
{
    const bool no_worse =
        a.minutes_below_floor <= b.minutes_below_floor && a.cpu_hours_held_back <= b.cpu_hours_held_back;
    if (!no_worse)
        return false;
    if (a.minutes_below_floor < b.minutes_below_floor || a.cpu_hours_held_back < b.cpu_hours_held_back)
        return true;
    return tie_breakers(a) < tie_breakers(b);
}

std::vector<size_t> pareto_front(std::span<const Figures> all)
{
    std::vector<size_t> order(all.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // By the first cost, then the second, then the tie-breakers: a point
    // can only be dominated by one before it.
    std::stable_sort(order.begin(), order.end(), [&all](size_t a, size_t b) {
        const Figures& x = all[a];
        const Figures& y = all[b];
        return std::tie(x.minutes_below_floor, x.cpu_hours_held_back, x.vm_minutes_in_class2, x.vms_moved) <
               std::tie(y.minutes_below_floor, y.cpu_hours_held_back, y.vm_minutes_in_class2, y.vms_moved);
    });
    std::vector<size_t> front;
    for (const size_t i : order) {
        // Sorted, the last point kept has no more minutes and comes first
        // among alike ones: it dominates or equals this one unless this one
        // holds back less.
        if (front.empty() || all[i].cpu_hours_held_back < all[front.back()].cpu_hours_held_back)
            front.push_back(i);
    }
    return front;
}

size_t front_knee(std::span<const Figures> all, std::span<const size_t> front)
{
    if (front.size() <= 2)
        return front.front();
    const Scale scale(all, front);
    // The ends scale to (0, 1) and (1, 0): the distance from the line
    // between them grows with 1 - x - y.
    size_t best = front.front();
    double farthest = -std::numeric_limits<double>::infinity();
    for (const size_t i : front) {
        const double gain = 1.0 - scale.x(all[i]) - scale.y(all[i]);
        if (gain > farthest) {
            farthest = gain;
            best = i;
        }
    }
    return best;
}

std::vector<size_t> thin_front(std::span<const Figures> all, std::span<const size_t> front, size_t most)
{
    if (front.size() <= most)
        return {front.begin(), front.end()};
    const Scale scale(all, front);
    std::vector<size_t> kept{front.front(), front.back()};
    if (const size_t knee = front_knee(all, front); knee != kept[0] && knee != kept[1])
        kept.push_back(knee);
    const auto distance = [&](size_t a, size_t b) {
        return std::hypot(scale.x(all[a]) - scale.x(all[b]), scale.y(all[a]) - scale.y(all[b]));
    };
    while (kept.size() < most) {
        size_t pick = front.front();
        double widest = -1.0;
        for (const size_t candidate : front) {
            double nearest = std::numeric_limits<double>::infinity();
            for (const size_t k : kept)
                nearest = std::min(nearest, distance(candidate, k));
            if (nearest > widest) {
                widest = nearest;
                pick = candidate;
            }
        }
        if (widest <= 0.0)
            break;
        kept.push_back(pick);
    }
    std::vector<size_t> ordered;
    for (const size_t i : front)
        if (std::find(kept.begin(), kept.end(), i) != kept.end())
            ordered.push_back(i);
    return ordered;
}
