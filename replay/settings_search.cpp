#include "replay/settings_search.h"

#include <algorithm>
#include <set>

namespace {

class Search {
public:
    Search(std::span<const SearchDimension> dimensions, size_t budget, const EvaluateBatch& evaluate)
        : dimensions_(dimensions), budget_(budget), evaluate_(evaluate)
    {}

    // Replays the points not replayed yet, as many as the budget allows;
    // false when none was new.
    bool replay(std::vector<SearchPoint> batch)
    {
        // In the order given, which says what to replay first when the
        // budget does not reach.
        std::set<SearchPoint> seen;
        std::erase_if(batch,
                      [&](const SearchPoint& p) { return tried_.contains(p) || !seen.insert(p).second; });
        if (batch.size() > budget_ - tried_.size())
            batch.resize(budget_ - tried_.size());
        if (batch.empty())
            return false;
        const std::vector<std::optional<Figures>> got = evaluate_(batch);
        for (size_t i = 0; i < batch.size(); ++i) {
            tried_.insert(batch[i]);
            if (i < got.size() && got[i]) {
                result_.points.push_back(batch[i]);
                result_.figures.push_back(*got[i]);
            } else {
                ++result_.failed;
            }
        }
        return true;
    }

    bool budget_left() const { return tried_.size() < budget_; }

    // Every point of the grid, the first dimension changing slowest.
    std::vector<SearchPoint> whole_grid() const
    {
        std::vector<SearchPoint> all{SearchPoint(dimensions_.size(), 0)};
        for (size_t d = 0; d < dimensions_.size(); ++d) {
            std::vector<SearchPoint> next;
            for (const SearchPoint& p : all)
                for (size_t level = 0; level < dimensions_[d].levels; ++level) {
                    next.push_back(p);
                    next.back()[d] = static_cast<uint16_t>(level);
                }
            all = std::move(next);
        }
        return all;
    }

    // The start point, and every level of each dimension with the others
    // at their start.
    std::vector<SearchPoint> lines_through_start() const
    {
        SearchPoint start;
        for (const SearchDimension& d : dimensions_)
            start.push_back(static_cast<uint16_t>(std::min(d.start, d.levels - 1)));
        std::vector<SearchPoint> lines{start};
        for (size_t d = 0; d < dimensions_.size(); ++d)
            for (size_t level = 0; level < dimensions_[d].levels; ++level) {
                lines.push_back(start);
                lines.back()[d] = static_cast<uint16_t>(level);
            }
        return lines;
    }

    // Points `reach` levels up or down in one dimension from the front's,
    // taken from each front point in turn so that a short budget spreads
    // along the front.
    std::vector<SearchPoint> front_neighbours(int reach) const
    {
        // The front's own, and once none is left those of the points close
        // behind it.
        const std::vector<size_t> front = pareto_front(result_.figures);
        if (std::vector<SearchPoint> points = neighbours(front, reach); !points.empty())
            return points;
        std::vector<size_t> behind;
        for (const size_t i : near_front())
            if (std::find(front.begin(), front.end(), i) == front.end())
                behind.push_back(i);
        return neighbours(behind, reach);
    }

    // Points `reach` levels up or down in one dimension from those of
    // `seeds`, taken from each seed in turn.
    std::vector<SearchPoint> neighbours(const std::vector<size_t>& seeds, int reach) const
    {
        std::vector<std::vector<SearchPoint>> around;
        for (const size_t i : seeds) {
            around.emplace_back();
            for (size_t d = 0; d < dimensions_.size(); ++d)
                for (const int step : {-reach, reach}) {
                    const int level = result_.points[i][d] + step;
                    if (level < 0 || level >= static_cast<int>(dimensions_[d].levels))
                        continue;
                    SearchPoint p = result_.points[i];
                    p[d] = static_cast<uint16_t>(level);
                    if (!tried_.contains(p))
                        around.back().push_back(std::move(p));
                }
        }
        std::vector<SearchPoint> interleaved;
        for (size_t k = 0;; ++k) {
            bool any = false;
            for (const auto& points : around)
                if (k < points.size()) {
                    interleaved.push_back(points[k]);
                    any = true;
                }
            if (!any)
                break;
        }
        return interleaved;
    }

    // The front and the points close behind it, front first: a point
    // beaten in both costs by less than a twentieth of their span may lie
    // one step from a front point that no front point's neighbours reach.
    std::vector<size_t> near_front() const
    {
        std::vector<size_t> near = pareto_front(result_.figures);
        const auto [fewest_below, most_below] = std::minmax_element(
            result_.figures.begin(), result_.figures.end(),
            [](const Figures& a, const Figures& b) { return a.minutes_below_floor < b.minutes_below_floor; });
        const auto [least_held, most_held] = std::minmax_element(
            result_.figures.begin(), result_.figures.end(),
            [](const Figures& a, const Figures& b) { return a.cpu_hours_held_back < b.cpu_hours_held_back; });
        const double span_below = most_below->minutes_below_floor - fewest_below->minutes_below_floor;
        const double span_held = most_held->cpu_hours_held_back - least_held->cpu_hours_held_back;
        for (size_t i = 0; i < result_.figures.size(); ++i) {
            const Figures& p = result_.figures[i];
            const bool clearly_beaten =
                std::any_of(result_.figures.begin(), result_.figures.end(), [&](const Figures& q) {
                    return q.minutes_below_floor < p.minutes_below_floor - span_below / 20 &&
                           q.cpu_hours_held_back < p.cpu_hours_held_back - span_held / 20;
                });
            if (!clearly_beaten && std::find(near.begin(), near.end(), i) == near.end())
                near.push_back(i);
        }
        return near;
    }

    SearchResult finish(bool whole)
    {
        result_.front = pareto_front(result_.figures);
        result_.whole_grid = whole;
        return std::move(result_);
    }

private:
    std::span<const SearchDimension> dimensions_;
    size_t budget_;
    const EvaluateBatch& evaluate_;
    std::set<SearchPoint> tried_;
    SearchResult result_;
};

// The grid's size, or one more than `cap` once it is larger.
size_t grid_size(std::span<const SearchDimension> dimensions, size_t cap)
{
    size_t size = 1;
    for (const SearchDimension& d : dimensions) {
        size *= std::max<size_t>(d.levels, 1);
        if (size > cap)
            return cap + 1;
    }
    return size;
}

}  // namespace

SearchResult search_settings(std::span<const SearchDimension> dimensions, size_t budget,
                             const EvaluateBatch& evaluate)
{
    Search search(dimensions, budget, evaluate);
    if (budget == 0)
        return search.finish(false);
    if (grid_size(dimensions, budget) <= budget) {
        search.replay(search.whole_grid());
        return search.finish(true);
    }
    search.replay(search.lines_through_start());
    // A neighbour of the front that joins it brings its own neighbours into
    // the next round; the wider reach is tried when the near one is spent.
    int reach = 1;
    while (search.budget_left() && reach <= 2) {
        if (!search.replay(search.front_neighbours(reach)))
            ++reach;
        else
            reach = 1;
    }
    return search.finish(false);
}
