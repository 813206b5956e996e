#include "controller/controller_view.h"

#include <algorithm>
#include <chrono>

#include "startup/settings.h"

const Settings& ControllerView::settings() const { return Settings::instance(); }

int64_t ControllerView::uptime_seconds() const
{
    const auto elapsed = std::chrono::steady_clock::now() - controller_.started;
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

std::optional<double> ControllerView::mean_load(const VmRecord& vm)
{
    if (vm.vcpu_loads.empty())
        return std::nullopt;
    double total = 0.0;
    for (const auto& [number, load] : vm.vcpu_loads)
        total += load.load;
    return total / static_cast<double>(vm.vcpu_loads.size());
}

std::optional<int64_t> ControllerView::countdown_seconds(const VmRecord& vm) const
{
    if (vm.countdown_to == 0 || vm.deadline == no_time)
        return std::nullopt;
    constexpr int64_t one_second_ns = 1'000'000'000;
    return std::max<int64_t>(0, (vm.deadline - controller_.last_tick_time) / one_second_ns);
}
