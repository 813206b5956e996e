#include "controller/controller_view.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "controller/controller.h"
#include "controller/nanoseconds.h"
#include "controller/rate_limit_class.h"
#include "startup/settings.h"

double ControllerView::idle_average() const { return controller_.idle_average; }
std::optional<double> ControllerView::idle_share() const { return controller_.last_idle_share; }
double ControllerView::last_tick_unix_seconds() const { return controller_.last_tick_unix_seconds; }
const HostKnobs& ControllerView::knobs() const { return controller_.knobs; }
const ControllerTally& ControllerView::tally() const { return controller_.tally; }
const Settings& ControllerView::settings() const { return Settings::instance(); }

int64_t ControllerView::uptime_seconds() const
{
    const auto elapsed = std::chrono::steady_clock::now() - controller_.started;
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

int64_t ControllerView::vm_list_rebuild_seconds() const
{
    if (controller_.vm_list_due)
        return 0;
    // The timer keeps the period it started with, which a reload leaves in
    // the settings.
    const auto next = controller_.vm_list_timer_fired + std::chrono::minutes(settings().update_vm_list);
    const auto left = std::chrono::ceil<std::chrono::seconds>(next - std::chrono::steady_clock::now());
    return std::max<int64_t>(0, left.count());
}

namespace {

// Milliseconds are finer than a tick.
double seconds(int64_t ns) { return std::round(static_cast<double>(ns) / 1e6) / 1e3; }

}  // namespace

std::optional<int> ControllerView::dry_run_rate_limit() const { return controller_.dry_run_rate_limit; }
const Class2Regulation& ControllerView::class2_regulation() const { return controller_.class2; }

size_t ControllerView::vm_count() const { return controller_.vms.size(); }

const VmRegistry& ControllerView::registry() const { return controller_.vms; }

std::vector<VmFacts> ControllerView::vms() const
{
    std::vector<VmFacts> all;
    all.reserve(controller_.vms.size());
    for_each_vm([&all](const VmFacts& facts) { all.push_back(facts); });
    return all;
}

void ControllerView::fill(const VmRecord& vm, VmFacts& facts) const
{
    facts.name = vm.name;
    facts.pid = vm.pid;
    facts.cls = vm.last_class >= 0 ? std::optional<int>(vm.last_class) : std::nullopt;
    facts.judged = judged(vm);
    facts.kind = kind_of(vm);
    facts.overloaded = facts.judged ? std::optional<bool>(vm.overloaded) : std::nullopt;
    double total = 0.0;
    facts.vcpu_loads.clear();
    for (const auto& [number, load] : vm.vcpu_loads) {
        facts.vcpu_loads.emplace_back(number, load.load);
        total += load.load;
    }
    facts.load = vm.vcpu_loads.empty()
                     ? std::nullopt
                     : std::optional<double>(total / static_cast<double>(vm.vcpu_loads.size()));
    facts.vcpus = vm.vcpus;
    facts.countdown_seconds.reset();
    facts.countdown_to.reset();
    if (facts.judged && vm.countdown) {
        facts.countdown_seconds =
            std::max<int64_t>(0, (vm.deadline - controller_.last_tick_time) / one_second_ns);
        facts.countdown_to = other_kind(vm.kind);
    }
    facts.exempt = vm.exempt;
    facts.moves = vm.moves_to_class1 + vm.moves_to_class2;
    facts.moves_to_class1 = vm.moves_to_class1;
    facts.moves_to_class2 = vm.moves_to_class2;
    facts.refused_moves_to_class1 = vm.refused_moves_to_class1;
    facts.refused_moves_to_class2 = vm.refused_moves_to_class2;
    facts.class1_seconds = seconds(vm.class1_ns);
    facts.class2_seconds = seconds(vm.class2_ns);
    facts.dry_run_class = vm.dry_run_class;
}
