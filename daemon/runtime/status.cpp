#include "runtime/status.h"

#include <cmath>
#include <optional>
#include <string>

#include <unistd.h>

#include "controller/controller_view.h"
#include "startup/identity.h"
#include "startup/settings.h"

using nlohmann::json;

namespace {

// A dry run leaves the class-1 limit at 100 %, so on a host this busy no vCPU
// is throttled and a miner that cannot get a CPU shows little demand: the
// dry run sees fewer miners than enforcement would.
constexpr double saturated_idle_average = 2.0;

double rounded(double value, double scale) { return std::round(value * scale) / scale; }

template <typename T>
json or_null(const std::optional<T>& value)
{
    return value ? json(*value) : json(nullptr);
}

json host_json(const ControllerView& view)
{
    const Settings& settings = view.settings();
    const HostKnobs& knobs = view.knobs();
    const ControllerTally& tally = view.tally();
    const Class2Regulation& class2 = view.class2_regulation();
    return {
        {"idle_average", rounded(view.idle_average(), 10)},
        {"idle_band", {settings.min_cpu_idle_level, settings.max_cpu_idle_level}},
        {"cpu_idle_level", settings.cpu_idle_level},
        {"class1_rate_limit", or_null(knobs.class1_rate_limit)},
        {"dry_run_class1_rate_limit", or_null(view.dry_run_rate_limit())},
        {"class2_rate_limit", or_null(knobs.class2_rate_limit)},
        {"dry_run_class2_rate_limit", or_null(class2.dry_run_limit)},
        {"class2_regulated",
         class2.bounds ? json::array({class2.bounds->floor, class2.bounds->ceiling}) : json()},
        {"class2_start_rate_limit", or_null(class2.start_limit)},
        {"class1_burst_secs", or_null(knobs.class1_burst_secs)},
        {"ticks", tally.ticks},
        {"kvm_errors", tally.kvm_errors},
        {"last_tick_ms", rounded(tally.last_tick_cpu_seconds * 1000.0, 100)},
        {"vm_list_rebuild_s", view.vm_list_rebuild_seconds()},
    };
}

json vm_json(const VmFacts& vm)
{
    json vcpu_loads = json::object();
    for (const auto& [number, load] : vm.vcpu_loads)
        vcpu_loads[std::to_string(number)] = rounded(load, 10);
    return {
        {"name", vm.name},
        {"pid", vm.pid},
        {"class", or_null(vm.cls)},
        {"kind", kind_name(vm.kind)},
        {"overloaded", or_null(vm.overloaded)},
        {"load", vm.load ? json(rounded(*vm.load, 10)) : json(nullptr)},
        {"vcpus", vm.vcpus},
        {"vcpu_loads", vcpu_loads},
        {"countdown_s", or_null(vm.countdown_seconds)},
        {"countdown_to", vm.countdown_to ? json(kind_name(*vm.countdown_to)) : json(nullptr)},
        {"exempt", vm.exempt},
        {"moves", vm.moves},
    };
}

}  // namespace

json status_json(const ControllerView& view)
{
    json vms = json::array();
    for (const VmFacts& vm : view.vms())
        vms.push_back(vm_json(vm));
    return {
        {"version", program_version()},
        {"pid", static_cast<int>(::getpid())},
        {"uptime_s", view.uptime_seconds()},
        {"dry_run", view.settings().dry_run},
        {"dry_run_saturated", view.settings().dry_run && view.idle_average() <= saturated_idle_average},
        {"config_file", view.settings().config_file.string()},
        {"tracked_vm", view.settings().tracked_vm},
        {"host", host_json(view)},
        {"vms", vms},
    };
}

std::string status_reply(const ControllerView& view)
{
    return status_json(view).dump(-1, ' ', false, json::error_handler_t::replace);
}
