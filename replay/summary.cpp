#include "replay/summary.h"

#include <iterator>
#include <cmath>
#include <sstream>
#include <variant>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "controller/nanoseconds.h"
#include "replay/local_time.h"
#include "startup/configuration_keys.h"
#include "startup/settings.h"

namespace {

// "1:02:03" for a length of time.
std::string duration(int64_t ns)
{
    const int64_t seconds = (ns + one_second_ns / 2) / one_second_ns;
    return fmt::format("{}:{:02}:{:02}", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

double seconds(int64_t ns) { return static_cast<double>(ns) / static_cast<double>(one_second_ns); }

// CPU time as a length of time.
std::string cpu_time(double us) { return duration(std::llround(us * 1000.0)); }

double cpu_hours(double us) { return us / 3.6e9; }

// The sum of `part` over the VMs.
template <typename Part>
auto sum_over(const std::vector<VmSummary>& vms, Part part)
{
    decltype(part(vms.front())) total{};
    for (const VmSummary& vm : vms)
        total += part(vm);
    return total;
}

std::string limit_text(const std::optional<int>& limit)
{
    return limit ? fmt::format("{}%", *limit) : "unreadable";
}

bool in_summary_of(const ConfigurationKey& key, const Settings& settings)
{
    return key.has(in_summary) ||
           (key.has(in_summary_when_set) && key_value_text(key, settings) != key_value_text(key, Settings{}));
}

// A number, a boolean, a level's name or a list of names.
nlohmann::ordered_json key_value_json(const ConfigurationKey& key, const Settings& settings)
{
    if (key.kind == KeyKind::level)  // held as a number
        return key_value_text(key, settings);
    return std::visit([&](auto member) { return nlohmann::ordered_json(settings.*member); }, key.field);
}

// The keys a summary shows of `settings`, the host's knobs set otherwise last.
std::vector<const ConfigurationKey*> shown_keys(const Settings& settings)
{
    std::vector<const ConfigurationKey*> shown;
    for (const std::span<const ConfigurationKey> table : {configuration_keys(), host_knob_keys()})
        for (const ConfigurationKey& key : table)
            if (in_summary_of(key, settings))
                shown.push_back(&key);
    return shown;
}

}  // namespace

std::string settings_line(const Settings& settings)
{
    std::string line;
    for (const ConfigurationKey* key : shown_keys(settings))
        line += (line.empty() ? "" : " ") + key_label(*key) + "=" + key_value_text(*key, settings);
    return line;
}

std::string first_names(const std::vector<std::string>& names, size_t count)
{
    if (names.empty())
        return "-";
    std::string text;
    for (size_t i = 0; i < names.size() && i < named_in_row; ++i)
        text += (i == 0 ? "" : ",") + names[i];
    const size_t shown = std::min(names.size(), named_in_row);
    if (count > shown)
        text += fmt::format(" +{}", count - shown);
    return text;
}

uint64_t RunSummary::moves() const
{
    return sum_over(vms, [](const VmSummary& vm) { return vm.moves; });
}

uint64_t RunSummary::vms_moved() const
{
    return sum_over(vms, [](const VmSummary& vm) { return uint64_t{vm.moves > 0 ? 1u : 0u}; });
}

double RunSummary::vm_minutes_in_class2() const
{
    return static_cast<double>(sum_over(vms, [](const VmSummary& vm) { return vm.class2_ns; })) / 60e9;
}

double RunSummary::wanted_us() const
{
    return sum_over(vms, [](const VmSummary& vm) { return vm.wanted_us; });
}

double RunSummary::held_us() const
{
    return sum_over(vms, [](const VmSummary& vm) { return vm.held_class1_us + vm.held_class2_us; });
}

std::vector<std::string> RunSummary::moved_names() const
{
    std::vector<std::string> names;
    for (const VmSummary& vm : vms)
        if (vm.moves > 0)
            names.push_back(vm.name);
    return names;
}

double RunSummary::class2_given_back_share() const
{
    const int64_t wanted = class2_given_back_us + class2_held_back_us;
    return wanted > 0 ? static_cast<double>(class2_given_back_us) / static_cast<double>(wanted) : 0.0;
}

std::string summary_text(const RunSummary& summary, const Settings& settings)
{
    fmt::memory_buffer out;
    auto line = std::back_inserter(out);
    fmt::format_to(line, "Replayed {} ticks from {} to {} ({})\n", summary.ticks,
                   local_time(summary.first_wall_ns), local_time(summary.last_wall_ns),
                   duration(summary.last_wall_ns - summary.first_wall_ns));
    fmt::format_to(line, "Settings: {}\n\n", settings_line(settings));
    size_t width = 2;
    for (const VmSummary& vm : summary.vms)
        width = std::max(width, vm.name.size());
    fmt::format_to(line, "{:<{}}  {:>5}  {:<19}  {:>10}  {:>5}  {:>10}  {:>10}  {:>10}\n", "VM", width,
                   "MINER", "FIRST MINER", "CLASS 2", "MOVES", "WANTED", "HELD 1", "HELD 2");
    for (const VmSummary& vm : summary.vms)
        fmt::format_to(line, "{:<{}}  {:>5}  {:<19}  {:>10}  {:>5}  {:>10}  {:>10}  {:>10}\n", vm.name, width,
                       vm.judged_miner, vm.first_miner_wall_ns ? local_time(*vm.first_miner_wall_ns) : "-",
                       duration(vm.class2_ns), vm.moves, cpu_time(vm.wanted_us), cpu_time(vm.held_class1_us),
                       cpu_time(vm.held_class2_us));
    fmt::format_to(line,
                   "\nHost: {} rate-limit steps ({} down, {} up), lowest class-1 limit {}, {} below "
                   "MinCpuIdleLevel ({}%)\n",
                   summary.steps_down + summary.steps_up, summary.steps_down, summary.steps_up,
                   limit_text(summary.lowest_limit), duration(summary.below_min_idle_ns), summary.floor);
    if (summary.baseline)
        fmt::format_to(line, "Without halvorn: {} below MinCpuIdleLevel; {} saved\n",
                       duration(summary.baseline->below_floor_ns),
                       duration(summary.baseline->below_floor_ns - summary.below_min_idle_ns));
    std::string at_limits;
    for (auto it = summary.ns_at_limit.rbegin(); it != summary.ns_at_limit.rend(); ++it)
        at_limits += fmt::format("{}{}% {}", at_limits.empty() ? "" : ", ", it->first, duration(it->second));
    if (!at_limits.empty())
        fmt::format_to(line, "Class-1 limit in force: {}\n", at_limits);
    const double wanted = summary.wanted_us();
    fmt::format_to(line, "CPU time held back: {} of {} wanted ({:.1f}%)\n", cpu_time(summary.held_us()),
                   cpu_time(wanted), wanted > 0.0 ? summary.held_us() * 100.0 / wanted : 0.0);
    fmt::format_to(line, "Idle CPU above MaxCpuIdleLevel while VMs were held in class 2: {:.2f} CPU-hours\n",
                   summary.idle_cpu_seconds_while_held / 3600.0);
    if (summary.ticks_estimated > 0)
        fmt::format_to(line,
                       "Estimated: in {} ticks ({:.1f}%) the recorded host had no idle CPU and vCPUs waited "
                       "for it; what they wanted is taken from when it had room\n",
                       summary.ticks_estimated,
                       static_cast<double>(summary.ticks_estimated) * 100.0 /
                           static_cast<double>(summary.ticks));
    if (summary.class2_steps_down + summary.class2_steps_up > 0 || summary.class2_given_back_us > 0)
        fmt::format_to(
            line,
            "Class 2: {} rate-limit steps ({} down, {} up), highest class-2 limit {}, CPU time "
            "given back {} ({:.0f}% of {} held back)\n",
            summary.class2_steps_down + summary.class2_steps_up, summary.class2_steps_down,
            summary.class2_steps_up,
            summary.highest_class2_limit ? fmt::format("{}%", *summary.highest_class2_limit) : "unreadable",
            duration(summary.class2_given_back_us * 1000), summary.class2_given_back_share() * 100.0,
            duration((summary.class2_given_back_us + summary.class2_held_back_us) * 1000));
    return fmt::to_string(out);
}

std::string summary_json(const RunSummary& summary, const Settings& settings)
{
    using json = nlohmann::ordered_json;
    json vms = json::array();
    for (const VmSummary& vm : summary.vms)
        vms.push_back(
            {{"name", vm.name},
             {"judged_miner", vm.judged_miner},
             {"first_miner", vm.first_miner_wall_ns ? json(local_time(*vm.first_miner_wall_ns)) : json()},
             {"first_miner_seconds", vm.first_miner_wall_ns
                                         ? json(seconds(*vm.first_miner_wall_ns - summary.first_wall_ns))
                                         : json()},
             {"first_move_seconds",
              vm.first_move_wall_ns ? json(seconds(*vm.first_move_wall_ns - summary.first_wall_ns)) : json()},
             {"class2_seconds", seconds(vm.class2_ns)},
             {"moves", vm.moves},
             {"cpu_seconds_wanted", vm.wanted_us / 1e6},
             {"cpu_seconds_held_class1", vm.held_class1_us / 1e6},
             {"cpu_seconds_held_class2", vm.held_class2_us / 1e6}});
    json at_limits = json::object();
    for (const auto& [limit, ns] : summary.ns_at_limit)
        at_limits[std::to_string(limit)] = seconds(ns);
    json shown = json::object();
    for (const ConfigurationKey* key : shown_keys(settings))
        shown[key_label(*key)] = key_value_json(*key, settings);
    const json out = {
        {"ticks", summary.ticks},
        {"start", local_time(summary.first_wall_ns)},
        {"end", local_time(summary.last_wall_ns)},
        {"seconds", seconds(summary.last_wall_ns - summary.first_wall_ns)},
        {"settings", shown},
        {"vms", vms},
        {"host",
         {{"rate_limit_steps_down", summary.steps_down},
          {"rate_limit_steps_up", summary.steps_up},
          {"lowest_rate_limit", summary.lowest_limit ? json(*summary.lowest_limit) : json()},
          {"class2_rate_limit_steps_down", summary.class2_steps_down},
          {"class2_rate_limit_steps_up", summary.class2_steps_up},
          {"highest_class2_rate_limit",
           summary.highest_class2_limit ? json(*summary.highest_class2_limit) : json()},
          {"class2_cpu_seconds_given_back", seconds(summary.class2_given_back_us * 1000)},
          {"class2_cpu_seconds_held_back", seconds(summary.class2_held_back_us * 1000)},
          {"seconds_below_min_idle", seconds(summary.below_min_idle_ns)},
          {"min_idle_level", summary.floor},
          {"seconds_at_rate_limit", at_limits},
          {"cpu_seconds_held", summary.held_us() / 1e6},
          {"idle_cpu_seconds_while_held", summary.idle_cpu_seconds_while_held},
          {"ticks_estimated", summary.ticks_estimated}}},
        {"without_halvorn",
         summary.baseline
             ? json{{"seconds_below_min_idle", seconds(summary.baseline->below_floor_ns)},
                    {"seconds_saved", seconds(summary.baseline->below_floor_ns - summary.below_min_idle_ns)}}
             : json()},
    };
    return out.dump(2) + "\n";
}

SweepRow sweep_row(const Combination& combination, const RunSummary& summary)
{
    std::vector<std::string> moved = summary.moved_names();
    if (moved.size() > named_in_row)
        moved.resize(named_in_row);
    return {describe(combination),
            summary.vms_moved(),
            summary.moves(),
            summary.vm_minutes_in_class2(),
            summary.minutes_below_min_idle(),
            summary.steps_down + summary.steps_up,
            summary.lowest_limit,
            cpu_hours(summary.held_us()),
            std::move(moved)};
}

SweepRow baseline_row(const RunSummary& baseline)
{
    SweepRow row = sweep_row({}, baseline);
    row.settings = "without halvorn";
    return row;
}

namespace {

nlohmann::ordered_json row_json(const SweepRow& row)
{
    return {{"settings", row.settings},
            {"vms_moved", row.vms_moved},
            {"moves", row.moves},
            {"vm_minutes_class2", row.vm_minutes_class2},
            {"host_minutes_below_min_idle", row.host_minutes_below_min_idle},
            {"rate_limit_steps", row.steps},
            {"lowest_rate_limit",
             row.lowest_limit ? nlohmann::ordered_json(*row.lowest_limit) : nlohmann::ordered_json()},
            {"cpu_hours_held", row.cpu_hours_held},
            {"moved", row.moved}};
}

}  // namespace

std::string encode_row(const SweepRow& row) { return row_json(row).dump(); }

std::optional<SweepRow> decode_row(const std::string& line)
{
    const nlohmann::json in = nlohmann::json::parse(line, nullptr, false);
    if (!in.is_object())
        return std::nullopt;
    try {
        SweepRow row;
        row.settings = in.at("settings").get<std::string>();
        row.vms_moved = in.at("vms_moved").get<uint64_t>();
        row.moves = in.at("moves").get<uint64_t>();
        row.vm_minutes_class2 = in.at("vm_minutes_class2").get<double>();
        row.host_minutes_below_min_idle = in.at("host_minutes_below_min_idle").get<double>();
        row.steps = in.at("rate_limit_steps").get<uint64_t>();
        if (!in.at("lowest_rate_limit").is_null())
            row.lowest_limit = in.at("lowest_rate_limit").get<int>();
        row.cpu_hours_held = in.at("cpu_hours_held").get<double>();
        row.moved = in.at("moved").get<std::vector<std::string>>();
        return row;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::string sweep_table(const std::vector<SweepRow>& rows)
{
    size_t width = 8;
    for (const SweepRow& row : rows)
        width = std::max(width, row.settings.size());
    fmt::memory_buffer out;
    auto line = std::back_inserter(out);
    fmt::format_to(line, "{:<{}}  {:>9}  {:>5}  {:>17}  {:>23}  {:>5}  {:>6}  {:>15}  {}\n", "SETTINGS",
                   width, "VMS MOVED", "MOVES", "VM-MINUTES CLASS 2", "HOST MINUTES BELOW FLOOR", "STEPS",
                   "LOWEST", "CPU-HOURS HELD", "MOVED");
    for (const SweepRow& row : rows)
        fmt::format_to(line, "{:<{}}  {:>9}  {:>5}  {:>17.1f}  {:>23.1f}  {:>5}  {:>6}  {:>15.2f}  {}\n",
                       row.settings, width, row.vms_moved, row.moves, row.vm_minutes_class2,
                       row.host_minutes_below_min_idle, row.steps,
                       row.lowest_limit ? fmt::format("{}%", *row.lowest_limit) : "-", row.cpu_hours_held,
                       first_names(row.moved, row.vms_moved));
    return fmt::to_string(out);
}

std::string sweep_json(const std::vector<SweepRow>& rows, const std::vector<Combination>& combinations)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (size_t i = 0; i < rows.size(); ++i) {
        nlohmann::ordered_json row = row_json(rows[i]);
        // The first row is the host without halvorn; the others are the
        // combinations in their order.
        nlohmann::ordered_json settings = nlohmann::ordered_json::object();
        if (i > 0 && i - 1 < combinations.size()) {
            Settings set;
            for (const auto& [key, value] : combinations[i - 1]) {
                (void)set_key_value(*key, value, set);  // checked by add_setting
                settings[key_label(*key)] = key_value_json(*key, set);
            }
        }
        row["settings"] = settings;
        row["without_halvorn"] = i == 0;
        out.push_back(std::move(row));
    }
    return out.dump(2) + "\n";
}
