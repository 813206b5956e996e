#include "service_report.h"

#include <time.h>

#include <cstdio>

#include "common/sim_paths.h"
#include "common/vm_state.h"
#include "vm_control.h"

namespace vmmsim {
namespace {

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Three significant digits or so, without an exponent.
std::string milliseconds(std::optional<double> ms)
{
    if (!ms)
        return "-";
    char text[32];
    int decimals = *ms >= 100 ? 0 : *ms >= 10 ? 1 : *ms >= 1 ? 2 : 3;
    std::snprintf(text, sizeof text, "%.*f", decimals, *ms);
    return text;
}

std::string percent(std::optional<double> ratio)
{
    if (!ratio)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *ratio * 100);
    return text;
}

std::string whole_ms(uint64_t ns) { return std::to_string(ns / 1'000'000); }

}  // namespace

std::optional<ServiceSummary> vm_service(const std::string& root, const std::string& name, int window_secs,
                                         std::string& error)
{
    StateMapping state =
        valid_vm_name(name) ? StateMapping::open(state_path(root, name), false) : StateMapping();
    if (!state) {
        error = "VM " + name + " is not running";
        return std::nullopt;
    }
    ServiceSummary summary;
    summary.window_secs = window_secs;
    int64_t now = monotonic_ns();
    for (int i = 0; i < load(state->vcpus) && i < max_vcpus; ++i)
        add_service(state->service[i], now, summary);
    return summary;
}

std::string format_service(const std::string& name, const ServiceSummary& summary)
{
    return "service " + name + " window " + std::to_string(summary.window_secs) + " share " +
           percent(summary.share()) + " wake_p50_ms " + milliseconds(summary.wake_quantile_ms(0.5)) +
           " wake_p99_ms " + milliseconds(summary.wake_quantile_ms(0.99)) + " wakeups " +
           std::to_string(summary.wakeups()) + " demand_ms " + whole_ms(summary.demand_ns) + " wanted_ms " +
           whole_ms(summary.wanted_ns) + " received_ms " + whole_ms(summary.received_ns) + "\n";
}

std::string service_report(const std::string& root, int window_secs)
{
    std::string text;
    for (const VmInfo& vm : list_vms(root)) {
        std::string ignored;  // a VM that stopped since it was listed has no line
        if (std::optional<ServiceSummary> summary = vm_service(root, vm.name, window_secs, ignored))
            text += format_service(vm.name, *summary);
    }
    return text;
}

}  // namespace vmmsim
