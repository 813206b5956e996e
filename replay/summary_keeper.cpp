#include "replay/summary_keeper.h"

#include <algorithm>

#include "controller/controller_view.h"
#include "controller/nanoseconds.h"
#include "controller/rate_limit_class.h"
#include "replay/replay_host.h"
#include "replay/replay_settings.h"
#include "startup/settings.h"

VmSummary& SummaryKeeper::vm_named(const std::string& name)
{
    const auto [it, added] = by_name_.try_emplace(name, summary_.vms.size());
    if (added) {
        VmSummary vm;
        vm.name = name;
        summary_.vms.push_back(std::move(vm));
    }
    return summary_.vms[it->second];
}

VmSummary& SummaryKeeper::vm_named_first(uint32_t name)
{
    if (name >= by_name_index_.size())
        by_name_index_.resize(name + 1, -1);
    if (by_name_index_[name] < 0) {
        vm_named(recording_.text(name));
        by_name_index_[name] = static_cast<int>(by_name_.at(recording_.text(name)));
    }
    return summary_.vms[static_cast<size_t>(by_name_index_[name])];
}

int SummaryKeeper::floor_of(const TickRow& tick)
{
    if (tick.header >= floors_.size())
        floors_.resize(tick.header + 1);
    std::optional<int>& floor = floors_[tick.header];
    if (!floor) {
        Settings recorded;
        std::string error;  // unreadable: the defaults, as the replay takes them
        ReplaySettings{}.settings(recording_.headers[tick.header].settings, {}, recorded, error);
        floor = recorded.min_cpu_idle_level;
    }
    return *floor;
}

void SummaryKeeper::account(const TickRow& tick, const ReplayHost& host, const ControllerView& view)
{
    account_host(tick, host, view.settings());
    for (const ReplayHost::Move& move : host.moves()) {
        VmSummary& vm = vm_named(move.name);
        if (vm.moves++ == 0)
            vm.first_move_wall_ns = tick.wall_ns;
    }
    account_judgements(tick, view);
}

void SummaryKeeper::account_host(const TickRow& tick, const ReplayHost& host, const Settings& settings)
{
    if (summary_.ticks++ == 0) {
        summary_.first_wall_ns = tick.wall_ns;
        summary_.floor = floor_of(tick);
    }
    summary_.last_wall_ns = tick.wall_ns;
    // A gap (the daemon stopped, records lost) counts as one tick.
    const int64_t tick_ns = settings.update_time * (one_second_ns / 1000);
    const int64_t counted = host.interval_ns() > 3 * tick_ns ? tick_ns : host.interval_ns();

    for (const ReplayHost::Step& step : host.steps()) {
        ++(step.to < step.from ? summary_.steps_down : summary_.steps_up);
        summary_.lowest_limit = std::min(summary_.lowest_limit.value_or(step.to), step.to);
    }
    if (const auto limit = host.class1_limit()) {
        summary_.lowest_limit = std::min(summary_.lowest_limit.value_or(*limit), *limit);
        summary_.ns_at_limit[*limit] += counted;
    }
    for (const ReplayHost::Step& step : host.class2_steps()) {
        ++(step.to < step.from ? summary_.class2_steps_down : summary_.class2_steps_up);
        summary_.highest_class2_limit = std::max(summary_.highest_class2_limit.value_or(step.to), step.to);
    }
    if (const auto limit = host.class2_limit())
        summary_.highest_class2_limit = std::max(summary_.highest_class2_limit.value_or(*limit), *limit);
    summary_.class2_given_back_us += host.class2_time().given_back_us;
    summary_.class2_held_back_us += host.class2_time().held_back_us;
    const std::optional<double> idle = host.idle_share();
    if (idle && *idle < floor_of(tick))
        summary_.below_min_idle_ns += counted;
    summary_.ticks_estimated += host.wants_estimated() ? 1 : 0;
    bool held = false;
    const std::span<const VmRow> rows = recording_.vms_of(tick);
    for (size_t row = 0; row < rows.size(); ++row) {
        const VmRow& vm = rows[row];
        if (vm.name == no_name)
            continue;
        VmSummary& entry = vm_named(vm.name);
        if (host.class_in_force_at(row) == miner_class) {
            entry.class2_ns += counted;
            held = true;
        }
    }
    if (held && idle && *idle > settings.max_cpu_idle_level)
        summary_.idle_cpu_seconds_while_held += (*idle - settings.max_cpu_idle_level) / 100.0 *
                                                std::max(host.cpus(), 1) * static_cast<double>(counted) /
                                                static_cast<double>(one_second_ns);
    for (const ReplayHost::VmCost& cost : host.costs()) {
        if (cost.name == no_name)
            continue;
        VmSummary& entry = vm_named(cost.name);
        entry.wanted_us += cost.wanted_us;
        (cost.cls == miner_class ? entry.held_class2_us : entry.held_class1_us) += cost.held_us;
    }
}

void SummaryKeeper::account_judgements(const TickRow& tick, const ControllerView& view)
{
    // A VM that turns MINER, as status and metrics would show it.
    judged_.clear();
    size_t before = 0;
    view.for_each_kind([&](int pid, const std::string& name, VmKind kind) {
        const bool miner = kind == kind_miner;  // judged as such
        while (before < judged_before_.size() && judged_before_[before].pid < pid)
            ++before;
        const bool was_miner = before < judged_before_.size() && judged_before_[before].pid == pid &&
                               judged_before_[before].miner;
        if (miner && !was_miner) {
            VmSummary& entry = vm_named(name);
            if (entry.judged_miner++ == 0)
                entry.first_miner_wall_ns = tick.wall_ns;
        }
        judged_.push_back({pid, miner});
    });
    std::swap(judged_, judged_before_);
}

RunSummary SummaryKeeper::finish(uint64_t unrecorded_throttle_reads)
{
    summary_.unrecorded_throttle_reads = unrecorded_throttle_reads;
    RunSummary done = std::move(summary_);
    std::sort(done.vms.begin(), done.vms.end(),
              [](const VmSummary& a, const VmSummary& b) { return a.name < b.name; });
    return done;
}
