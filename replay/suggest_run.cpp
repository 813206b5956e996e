#include "replay/suggest_run.h"

#include <algorithm>
#include <thread>

#include <nlohmann/json.hpp>

#include "replay/replay_run.h"
#include "replay/workers.h"

namespace {

// Most rows a front shows.
constexpr size_t front_rows = 10;

HostFigures host_figures(const std::string& host, const RunSummary& summary)
{
    return {host,
            {summary.minutes_below_min_idle(), summary.held_us() / 3.6e9, summary.vm_minutes_in_class2(),
             summary.vms_moved()},
            summary.moved_names()};
}

std::string encode(const HostFigures& figures)
{
    return nlohmann::json{{"m", figures.figures.minutes_below_floor},
                          {"h", figures.figures.cpu_hours_held_back},
                          {"c", figures.figures.vm_minutes_in_class2},
                          {"v", figures.figures.vms_moved},
                          {"n", figures.moved}}
        .dump();
}

std::optional<HostFigures> decode(const std::string& host, const std::optional<std::string>& line)
{
    if (!line)
        return std::nullopt;
    const nlohmann::json in = nlohmann::json::parse(*line, nullptr, false);
    try {
        return HostFigures{host,
                           {in.at("m").get<double>(), in.at("h").get<double>(), in.at("c").get<double>(),
                            in.at("v").get<uint64_t>()},
                           in.at("n").get<std::vector<std::string>>()};
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

// Each run over every host, in workers: a row each, none where a host's
// replay failed. A run is a combination, or none for the host without
// halvorn.
std::vector<std::optional<SuggestRow>> evaluate(const std::vector<SuggestHost>& hosts,
                                                const ReplaySettings& layers,
                                                const std::vector<std::optional<Combination>>& combinations)
{
    // Job i is combination i % C over host i / C: a worker's share holds
    // runs of one host's, which it replays side by side.
    const size_t count = combinations.size();
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto lines =
        run_shares_in_workers(count * hosts.size(), cores, [&](const std::vector<size_t>& indices) {
            std::vector<std::string> out;
            for (size_t k = 0; k < indices.size();) {
                const size_t h = indices[k] / count;
                std::vector<std::optional<Combination>> runs;
                for (size_t j = k; j < indices.size() && indices[j] / count == h; ++j)
                    runs.push_back(combinations[indices[j] % count]);
                for (const RunSummary& summary : hosts[h].recording.replay_all(layers, runs))
                    out.push_back(encode(host_figures(hosts[h].name, summary)));
                k += runs.size();
            }
            return out;
        });
    std::vector<std::optional<SuggestRow>> rows;
    for (size_t c = 0; c < count; ++c) {
        std::vector<HostFigures> per_host;
        for (size_t h = 0; h < hosts.size(); ++h)
            if (auto figures = decode(hosts[h].name, lines[h * count + c]))
                per_host.push_back(std::move(*figures));
        std::optional<SuggestRow> row;
        if (per_host.size() == hosts.size()) {
            const Combination values = combinations[c].value_or(Combination{});
            row = suggest_row(describe(values), per_host);
            row->values = values;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

Suggestion suggest_settings(const std::vector<SuggestHost>& hosts, const ReplaySettings& layers,
                            const std::vector<SuggestDimension>& dimensions, size_t budget)
{
    std::vector<SearchPoint> seen;
    std::vector<SuggestRow> rows;
    const EvaluateBatch batch = [&](const std::vector<SearchPoint>& points) {
        std::vector<std::optional<Combination>> combinations;
        for (const SearchPoint& point : points)
            combinations.push_back(combination_at(dimensions, point));
        std::vector<std::optional<Figures>> figures;
        for (std::optional<SuggestRow>& row : evaluate(hosts, layers, combinations)) {
            figures.push_back(row ? std::optional<Figures>(row->total) : std::nullopt);
            if (row)
                rows.push_back(std::move(*row));
        }
        for (size_t i = 0; i < points.size(); ++i)
            if (figures[i])
                seen.push_back(points[i]);
        return figures;
    };
    const std::vector<SearchDimension> shape = search_shape(dimensions);
    const SearchResult result = search_settings(shape, budget, batch);

    Suggestion suggestion;
    suggestion.replays = result.points.size() * hosts.size();
    suggestion.whole_grid = result.whole_grid;
    suggestion.hosts = hosts.size();
    suggestion.replayed = result.figures;
    for (const size_t index : result.front)
        suggestion.whole_front.push_back(result.figures[index]);
    const std::vector<size_t> shown = thin_front(result.figures, result.front, front_rows);
    const size_t knee = result.front.empty() ? 0 : front_knee(result.figures, result.front);
    for (const size_t index : shown) {
        const auto at = std::find(seen.begin(), seen.end(), result.points[index]);
        SuggestRow row = rows[static_cast<size_t>(at - seen.begin())];
        row.knee = index == knee;
        suggestion.front.push_back(std::move(row));
    }
    // Replayed as recorded: the start point is only the nearest level of
    // each key, which a narrowing may have moved off the recorded value.
    // Both in one batch, so that a single host's keep both cores busy.
    std::vector<std::optional<SuggestRow>> marks = evaluate(hosts, layers, {Combination{}, std::nullopt});
    if (marks[0])
        suggestion.recorded = std::move(*marks[0]);
    suggestion.recorded.settings = "the recorded settings";
    if (marks[1])
        suggestion.baseline = std::move(*marks[1]);
    suggestion.baseline.settings = "without halvorn";
    return suggestion;
}
