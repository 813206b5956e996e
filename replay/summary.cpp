#include "replay/summary.h"

#include <iterator>
#include <sstream>

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

}  // namespace

std::string settings_line(const Settings& settings)
{
    const Settings defaults;
    std::string line;
    for (const ConfigurationKey& key : configuration_keys()) {
        const std::string value = key_value_text(key, settings);
        if (key.has(in_summary) || (key.has(in_summary_when_set) && value != key_value_text(key, defaults)))
            line += (line.empty() ? "" : " ") + std::string(key.name) + "=" + value;
    }
    return line;
}

uint64_t RunSummary::moves() const
{
    uint64_t total = 0;
    for (const VmSummary& vm : vms)
        total += vm.moves;
    return total;
}

uint64_t RunSummary::vms_moved() const
{
    uint64_t moved = 0;
    for (const VmSummary& vm : vms)
        moved += vm.moves > 0 ? 1 : 0;
    return moved;
}

double RunSummary::vm_minutes_in_class2() const
{
    int64_t total = 0;
    for (const VmSummary& vm : vms)
        total += vm.class2_ns;
    return static_cast<double>(total) / 60e9;
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
    fmt::format_to(line, "{:<{}}  {:>5}  {:<19}  {:>10}  {:>5}\n", "VM", width, "MINER", "FIRST MINER",
                   "CLASS 2", "MOVES");
    for (const VmSummary& vm : summary.vms)
        fmt::format_to(line, "{:<{}}  {:>5}  {:<19}  {:>10}  {:>5}\n", vm.name, width, vm.judged_miner,
                       vm.first_miner_wall_ns ? local_time(*vm.first_miner_wall_ns) : "-",
                       duration(vm.class2_ns), vm.moves);
    fmt::format_to(line,
                   "\nHost: {} rate-limit steps ({} down, {} up), lowest class-1 limit {}, {} below "
                   "MinCpuIdleLevel ({}%)\n",
                   summary.steps_down + summary.steps_up, summary.steps_down, summary.steps_up,
                   summary.lowest_limit ? fmt::format("{}%", *summary.lowest_limit) : "unreadable",
                   duration(summary.below_min_idle_ns), settings.min_cpu_idle_level);
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
             {"class2_seconds", seconds(vm.class2_ns)},
             {"moves", vm.moves}});
    const json out = {
        {"ticks", summary.ticks},
        {"start", local_time(summary.first_wall_ns)},
        {"end", local_time(summary.last_wall_ns)},
        {"seconds", seconds(summary.last_wall_ns - summary.first_wall_ns)},
        {"settings", settings_line(settings)},
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
          {"min_idle_level", settings.min_cpu_idle_level}}},
    };
    return out.dump(2) + "\n";
}

SweepRow sweep_row(const Combination& combination, const RunSummary& summary)
{
    return {describe(combination), summary.vms_moved(), summary.moves(), summary.vm_minutes_in_class2(),
            summary.minutes_below_min_idle()};
}

std::string encode_row(const SweepRow& row)
{
    // The settings text is the command line's, which may hold anything but a
    // newline; it goes last.
    return fmt::format("{} {} {:.17g} {:.17g} {}", row.vms_moved, row.moves, row.vm_minutes_class2,
                       row.host_minutes_below_min_idle, row.settings);
}

std::optional<SweepRow> decode_row(const std::string& line)
{
    SweepRow row;
    std::istringstream in(line);
    if (!(in >> row.vms_moved >> row.moves >> row.vm_minutes_class2 >> row.host_minutes_below_min_idle))
        return std::nullopt;
    in.get();
    std::getline(in, row.settings);
    return row;
}

std::string sweep_table(const std::vector<SweepRow>& rows)
{
    size_t width = 8;
    for (const SweepRow& row : rows)
        width = std::max(width, row.settings.size());
    fmt::memory_buffer out;
    auto line = std::back_inserter(out);
    fmt::format_to(line, "{:<{}}  {:>9}  {:>5}  {:>17}  {:>23}\n", "SETTINGS", width, "VMS MOVED", "MOVES",
                   "VM-MINUTES CLASS 2", "HOST MINUTES BELOW FLOOR");
    for (const SweepRow& row : rows)
        fmt::format_to(line, "{:<{}}  {:>9}  {:>5}  {:>17.1f}  {:>23.1f}\n", row.settings, width,
                       row.vms_moved, row.moves, row.vm_minutes_class2, row.host_minutes_below_min_idle);
    return fmt::to_string(out);
}

std::string sweep_json(const std::vector<SweepRow>& rows)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const SweepRow& row : rows)
        out.push_back({{"settings", row.settings},
                       {"vms_moved", row.vms_moved},
                       {"moves", row.moves},
                       {"vm_minutes_class2", row.vm_minutes_class2},
                       {"host_minutes_below_min_idle", row.host_minutes_below_min_idle}});
    return out.dump(2) + "\n";
}
