#include "replay/settings_search.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

Figures figures(double below, double held, double class2 = 0.0, uint64_t moved = 0)
{
    return {below, held, class2, moved};
}

std::vector<Figures> at(const std::vector<Figures>& all, const std::vector<size_t>& indices)
{
    std::vector<Figures> picked;
    for (const size_t i : indices)
        picked.push_back(all[i]);
    return picked;
}

bool same(const Figures& a, const Figures& b)
{
    return !dominates(a, b) && !dominates(b, a) && a.minutes_below_floor == b.minutes_below_floor &&
           a.cpu_hours_held_back == b.cpu_hours_held_back;
}

// A grid whose costs trade against each other unevenly: stricter levels
// in the first two dimensions keep the host above its floor and hold VMs
// back, the third only costs, the fourth helps one cost at a step.
Figures synthetic(const SearchPoint& p)
{
    const int strict = 3 * p[0] + 2 * p[1] - p[2];
    return figures(std::max(0, 30 - strict) + (p[3] % 2), p[0] * p[0] + 2.0 * p[1] + 0.5 * p[2] + p[3] / 3,
                   p[2], p[3]);
}

}  // namespace

TEST(ParetoTest, FrontKneeAndThinning)
{
    const std::vector<Figures> all = {
        figures(10, 1),        // 0: an end
        figures(5, 2),         // 1
        figures(5, 2, 3),      // 2: as 1, but worse on a tie-breaker
        figures(6, 3),         // 3: dominated by 1
        figures(1, 8),         // 4: the knee of 0..4..5
        figures(0, 20),        // 5: the other end
        figures(1, 8),         // 6: alike 4: the first stands
        figures(10, 1, 0, 1),  // 7: as 0, worse on the last tie-breaker
    };
    const std::vector<size_t> front = pareto_front(all);
    EXPECT_EQ(front, (std::vector<size_t>{5, 4, 1, 0}));
    EXPECT_EQ(front_knee(all, front), 4u);
    // Two ends and the knee come first; nothing past the front's size.
    EXPECT_EQ(thin_front(all, front, 3), (std::vector<size_t>{5, 4, 0}));
    EXPECT_EQ(thin_front(all, front, 10), front);
    EXPECT_TRUE(pareto_front(std::vector<Figures>{}).empty());
}

TEST(SettingsSearchTest, FindsTheWholeGridsFrontWithinItsBudget)
{
    const std::vector<SearchDimension> dimensions = {{"a", 6, 2}, {"b", 6, 2}, {"c", 5, 0}, {"d", 6, 3}};
    std::vector<SearchPoint> grid;
    for (uint16_t a = 0; a < 6; ++a)
        for (uint16_t b = 0; b < 6; ++b)
            for (uint16_t c = 0; c < 5; ++c)
                for (uint16_t d = 0; d < 6; ++d)
                    grid.push_back({a, b, c, d});
    std::vector<Figures> everything;
    for (const SearchPoint& p : grid)
        everything.push_back(synthetic(p));
    const std::vector<Figures> truth = at(everything, pareto_front(everything));

    size_t replayed = 0;
    size_t refused = 0;
    const EvaluateBatch evaluate = [&](const std::vector<SearchPoint>& batch) {
        std::vector<std::optional<Figures>> out;
        for (const SearchPoint& p : batch) {
            ++replayed;
            // One replay fails: it is counted and left out, never retried.
            if (p == SearchPoint{5, 5, 4, 5}) {
                ++refused;
                out.emplace_back();
            } else {
                out.push_back(synthetic(p));
            }
        }
        return out;
    };
    const size_t budget = 200;
    const SearchResult found = search_settings(dimensions, budget, evaluate);
    EXPECT_FALSE(found.whole_grid);
    EXPECT_LE(replayed, budget);
    EXPECT_EQ(found.failed, refused);
    EXPECT_EQ(found.points.size() + found.failed, replayed);
    const std::vector<Figures> front = at(found.figures, found.front);
    for (const Figures& best : truth)
        EXPECT_TRUE(std::any_of(front.begin(), front.end(),
                                [&](const Figures& f) { return same(f, best) || dominates(f, best); }))
            << best.minutes_below_floor << " min, " << best.cpu_hours_held_back << " h";

    // A grid the budget covers is replayed whole, and its front is exact.
    replayed = 0;
    const std::vector<SearchDimension> small = {{"a", 6, 0}, {"b", 6, 0}, {"c", 1, 0}, {"d", 2, 0}};
    const SearchResult whole = search_settings(small, budget, evaluate);
    EXPECT_TRUE(whole.whole_grid);
    EXPECT_EQ(replayed, 72u);
}
