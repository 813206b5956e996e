#include "replay/suggest.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "replay/summary.h"
#include "startup/configuration_keys.h"
#include "startup/settings.h"

namespace {

const ConfigurationKey& key_named(std::string_view section, std::string_view name)
{
    for (const ConfigurationKey& key : configuration_keys())
        if (key.section == section && key.name == name)
            return key;
    std::abort();  // the table names every key used here
}

int value_of(const ConfigurationKey& key, const Settings& settings)
{
    return std::atoi(key_value_text(key, settings).c_str());
}

// `value` as the daemon reads it: "0x1e" is 30.
int number_in(const ConfigurationKey& key, const std::string& value)
{
    Settings settings;
    (void)set_key_value(key, value, settings);  // checked by add_setting
    return value_of(key, settings);
}

// A dimension of one integer key over `values`, with the recorded value
// among them where the key takes it (a knob the recording could not read
// has none), else starting at the lowest.
SuggestDimension one_key(std::string name, const ConfigurationKey& key, std::vector<int> values,
                         const Settings& recorded)
{
    int start = value_of(key, recorded);
    if (key.lowest && start < *key.lowest)
        start = *std::min_element(values.begin(), values.end());
    values.push_back(start);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    SuggestDimension dimension{std::move(name), {}, 0};
    for (const int value : values) {
        if (value == start)
            dimension.start = dimension.levels.size();
        dimension.levels.push_back({{&key, std::to_string(value)}});
    }
    return dimension;
}

const ConfigurationKey& min_key() { return key_named("RATE_LIMIT", "MinCpuIdleLevel"); }
const ConfigurationKey& max_key() { return key_named("RATE_LIMIT", "MaxCpuIdleLevel"); }

SuggestDimension band(std::vector<std::pair<int, int>> pairs, const Settings& recorded)
{
    const std::pair<int, int> start{recorded.min_cpu_idle_level, recorded.max_cpu_idle_level};
    pairs.push_back(start);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    SuggestDimension dimension{"band", {}, 0};
    for (const auto& [low, high] : pairs) {
        if (std::pair{low, high} == start)
            dimension.start = dimension.levels.size();
        dimension.levels.push_back({{&min_key(), std::to_string(low)}, {&max_key(), std::to_string(high)}});
    }
    return dimension;
}

int level_value(const Combination& level, const ConfigurationKey& key)
{
    for (const auto& [k, value] : level)
        if (k == &key)
            return std::atoi(value.c_str());
    return 0;
}

// Whole numbers in LO..HI: the given ones within, both ends, and for a key
// with no levels of its own, five evenly spaced.
std::vector<int> within(const std::vector<int>& given, int low, int high)
{
    std::vector<int> values{low, high};
    if (given.empty())
        for (int i = 1; i < 4; ++i)
            values.push_back(low + (high - low) * i / 4);
    for (const int value : given)
        if (value >= low && value <= high)
            values.push_back(value);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

nlohmann::ordered_json row_json(const SuggestRow& row)
{
    // The search varies whole-number keys alone; read as the daemon reads
    // them ("0x5a" is 90).
    nlohmann::ordered_json values = nlohmann::ordered_json::object();
    Settings set;
    for (const auto& [key, value] : row.values) {
        (void)set_key_value(*key, value, set);  // checked by narrow_dimensions
        values[key_label(*key)] = std::stoll(key_value_text(*key, set));
    }
    return {{"settings", row.settings},
            {"values", values},
            {"host_minutes_below_floor", row.total.minutes_below_floor},
            {"cpu_hours_held", row.total.cpu_hours_held_back},
            {"vm_minutes_class2", row.total.vm_minutes_in_class2},
            {"vms_moved", row.total.vms_moved},
            {"moved", row.moved},
            {"worst_host", row.worst_host},
            {"worst_host_minutes_below_floor", row.worst_minutes},
            {"knee", row.knee}};
}

}  // namespace

std::vector<SuggestDimension> suggest_dimensions(const Settings& recorded)
{
    return {
        one_key("CpuIdleLevel", key_named("VCPU_CLASS", "CpuIdleLevel"), {10, 20, 30, 40, 50, 60, 70, 80, 90},
                recorded),
        one_key("OverloadBound", key_named("VCPU_CLASS", "OverloadBound"), {50, 60, 70, 80, 85, 90, 95, 99},
                recorded),
        band({{5, 15}, {10, 25}, {15, 35}, {20, 40}, {25, 45}, {30, 50}, {40, 60}, {50, 70}}, recorded),
        one_key("RateLimitDelta", key_named("RATE_LIMIT", "RateLimitDelta"), {2, 5, 10, 15, 25}, recorded),
        one_key("AveragingTime", key_named("COMMON", "AveragingTime"), {10, 20, 30, 60, 120, 300}, recorded),
    };
}

std::string narrow_dimensions(std::vector<SuggestDimension>& dimensions, std::string_view argument,
                              const Settings& recorded)
{
    const size_t equals = argument.find('=');
    const size_t dots = argument.find("..");
    std::vector<SettingValues> checked;
    int low = 0;
    int high = 0;
    const bool range = dots != std::string_view::npos && equals != std::string_view::npos && dots > equals;
    if (range) {
        const std::string head(argument.substr(0, equals + 1));
        for (const std::string_view end :
             {argument.substr(equals + 1, dots - equals - 1), argument.substr(dots + 2)})
            if (std::string error = add_setting(checked, head + std::string(end)); !error.empty())
                return error;
        low = number_in(*checked.front().key, checked.front().values.front());
        high = number_in(*checked.front().key, checked.front().values.back());
        if (checked.front().key->kind != KeyKind::integer)
            return "a range is for a whole-number key, not " + std::string(checked.front().key->name);
        if (low > high)
            return "the range " + std::string(argument.substr(equals + 1)) + " runs backwards";
    } else if (std::string error = add_setting(checked, argument); !error.empty()) {
        return error;
    }
    const ConfigurationKey* key = checked.front().key;
    std::vector<int> listed;
    for (const std::string& value : checked.front().values)
        listed.push_back(number_in(*key, value));
    const auto keep = [&](int value) {
        return range ? value >= low && value <= high
                     : std::find(listed.begin(), listed.end(), value) != listed.end();
    };

    // The dimension the key belongs to; none when the search does not vary it.
    const bool band_key = key == &min_key() || key == &max_key();
    const std::string dimension = band_key ? "band" : key_label(*key);
    const auto it = std::find_if(dimensions.begin(), dimensions.end(),
                                 [&](const SuggestDimension& d) { return d.name == dimension; });
    if (band_key) {
        std::vector<std::pair<int, int>> pairs;
        for (const Combination& level : it->levels) {
            const std::pair<int, int> pair{level_value(level, min_key()), level_value(level, max_key())};
            if (keep(key == &min_key() ? pair.first : pair.second))
                pairs.push_back(pair);
        }
        if (pairs.empty())
            return "no idle band of the search has " + std::string(key->name) + " in " +
                   std::string(argument.substr(equals + 1));
        Settings start = recorded;
        const auto nearest = std::min_element(pairs.begin(), pairs.end(), [&](const auto& a, const auto& b) {
            return std::abs(a.first - recorded.min_cpu_idle_level) +
                       std::abs(a.second - recorded.max_cpu_idle_level) <
                   std::abs(b.first - recorded.min_cpu_idle_level) +
                       std::abs(b.second - recorded.max_cpu_idle_level);
        });
        start.min_cpu_idle_level = nearest->first;
        start.max_cpu_idle_level = nearest->second;
        *it = band(pairs, start);
        return {};
    }
    if (key->kind != KeyKind::integer)
        return "--suggest varies whole-number keys, not " + std::string(key->name);
    std::vector<int> given;
    if (it != dimensions.end())
        for (const Combination& level : it->levels)
            given.push_back(level_value(level, *key));
    const std::vector<int> values = range ? within(given, low, high) : listed;
    // The start: the level nearest the recorded value.
    Settings start = recorded;
    const int recorded_value = value_of(*key, recorded);
    const int nearest = *std::min_element(values.begin(), values.end(), [&](int a, int b) {
        return std::abs(a - recorded_value) < std::abs(b - recorded_value);
    });
    (void)set_key_value(*key, std::to_string(nearest), start);
    SuggestDimension narrowed = one_key(dimension, *key, values, start);
    if (it != dimensions.end())
        *it = std::move(narrowed);
    else
        dimensions.push_back(std::move(narrowed));
    return {};
}

std::vector<SearchDimension> search_shape(const std::vector<SuggestDimension>& dimensions)
{
    std::vector<SearchDimension> shape;
    for (const SuggestDimension& dimension : dimensions)
        shape.push_back({dimension.name, dimension.levels.size(), dimension.start});
    return shape;
}

Combination combination_at(const std::vector<SuggestDimension>& dimensions, const SearchPoint& point)
{
    Combination combination;
    for (size_t i = 0; i < dimensions.size(); ++i) {
        const Combination& level = dimensions[i].levels[point[i]];
        combination.insert(combination.end(), level.begin(), level.end());
    }
    return combination;
}

SuggestRow suggest_row(std::string settings, const std::vector<HostFigures>& hosts)
{
    SuggestRow row;
    row.settings = std::move(settings);
    row.worst_minutes = -1.0;
    for (const HostFigures& host : hosts) {
        row.total.minutes_below_floor += host.figures.minutes_below_floor;
        row.total.cpu_hours_held_back += host.figures.cpu_hours_held_back;
        row.total.vm_minutes_in_class2 += host.figures.vm_minutes_in_class2;
        row.total.vms_moved += host.figures.vms_moved;
        if (host.figures.minutes_below_floor > row.worst_minutes) {
            row.worst_minutes = host.figures.minutes_below_floor;
            row.worst_host = host.host;
        }
        for (const std::string& vm : host.moved)
            row.moved.push_back(hosts.size() > 1 ? host.host + ":" + vm : vm);
    }
    row.worst_minutes = std::max(row.worst_minutes, 0.0);
    return row;
}

std::string recorded_place(const Suggestion& suggestion)
{
    std::vector<size_t> better;
    for (size_t i = 0; i < suggestion.front.size(); ++i)
        if (dominates(suggestion.front[i].total, suggestion.recorded.total))
            better.push_back(i + 1);
    if (better.empty())
        return "on the front: nothing found does better in both";
    std::string rows;
    for (const size_t row : better)
        rows += (rows.empty() ? "" : ", ") + std::to_string(row);
    return "behind the front: row" + std::string(better.size() > 1 ? "s " : " ") + rows + " do" +
           (better.size() > 1 ? "" : "es") + " better";
}

std::string suggestion_table(const Suggestion& suggestion)
{
    std::vector<const SuggestRow*> rows;
    for (const SuggestRow& row : suggestion.front)
        rows.push_back(&row);
    rows.push_back(&suggestion.recorded);
    rows.push_back(&suggestion.baseline);
    size_t width = 8;
    for (const SuggestRow* row : rows)
        width = std::max(width, row->settings.size());
    const bool fleet = suggestion.hosts > 1;
    fmt::memory_buffer out;
    auto line = std::back_inserter(out);
    fmt::format_to(line, "{:>3}  {:<{}}  {:>19}  {:>14}  {:>14}  {:>9}  {}{}\n", "", "SETTINGS", width,
                   "MINUTES BELOW FLOOR", "CPU-HOURS HELD", "VM-MIN CLASS 2", "VMS MOVED",
                   fleet ? "WORST HOST (MINUTES)  " : "", "MOVED");
    const auto print = [&](const std::string& mark, const SuggestRow& row) {
        fmt::format_to(
            line, "{:>3}  {:<{}}  {:>19.1f}  {:>14.2f}  {:>14.1f}  {:>9}  {}{}\n", mark, row.settings, width,
            row.total.minutes_below_floor, row.total.cpu_hours_held_back, row.total.vm_minutes_in_class2,
            row.total.vms_moved,
            fleet ? fmt::format("{:<20}  ", fmt::format("{} ({:.1f})", row.worst_host, row.worst_minutes))
                  : "",
            first_names(row.moved, row.moved.size()));
    };
    for (size_t i = 0; i < suggestion.front.size(); ++i)
        print(std::to_string(i + 1) + (suggestion.front[i].knee ? "*" : ""), suggestion.front[i]);
    fmt::format_to(line, "\n");
    print("R", suggestion.recorded);
    print("-", suggestion.baseline);
    fmt::format_to(line,
                   "\n* the knee: where a little more of one cost buys the least of the other\n"
                   "R the recorded settings, {}\n- the host without halvorn\n"
                   "{} replays{}; minutes below the recorded MinCpuIdleLevel{}\n",
                   recorded_place(suggestion), suggestion.replays,
                   suggestion.whole_grid ? ", the whole grid" : "", fleet ? ", summed over the hosts" : "");
    return fmt::to_string(out);
}

std::string suggestion_json(const Suggestion& suggestion)
{
    nlohmann::ordered_json front = nlohmann::ordered_json::array();
    for (const SuggestRow& row : suggestion.front)
        front.push_back(row_json(row));
    const nlohmann::ordered_json out = {{"front", front},
                                        {"recorded", row_json(suggestion.recorded)},
                                        {"recorded_place", recorded_place(suggestion)},
                                        {"without_halvorn", row_json(suggestion.baseline)},
                                        {"replays", suggestion.replays},
                                        {"whole_grid", suggestion.whole_grid},
                                        {"hosts", suggestion.hosts}};
    return out.dump(2) + "\n";
}
