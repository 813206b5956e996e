#include "replay/replay_run.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "controller/controller.h"
#include "replay/controller_facts.h"
#include "replay/replay_host.h"
#include "replay/replay_log.h"
#include "startup/settings.h"

namespace {

// The summary's entry of each VM, found by the recording's name index.
class VmTable {
public:
    VmTable(const Recording& recording, RunSummary& summary) : recording_(recording), summary_(summary) {}

    VmSummary& by_index(uint32_t name)
    {
        if (name >= slots_.size())
            slots_.resize(name + 1, -1);
        if (slots_[name] < 0)
            slots_[name] = static_cast<int>(entry(recording_.text(name)));
        return summary_.vms[static_cast<size_t>(slots_[name])];
    }
    VmSummary& by_name(const std::string& name) { return summary_.vms[entry(name)]; }

private:
    size_t entry(const std::string& name)
    {
        const auto [it, added] = index_.try_emplace(name, summary_.vms.size());
        if (added) {
            VmSummary vm;
            vm.name = name;
            summary_.vms.push_back(std::move(vm));
        }
        return it->second;
    }

    const Recording& recording_;
    RunSummary& summary_;
    std::vector<int> slots_;
    std::unordered_map<std::string, size_t> index_;
};

struct Judged {
    int32_t pid;
    bool miner;
};

}  // namespace

RunSummary replay(const Recording& recording, const ReplaySettings& layers, const Combination& combination,
                  const ReplayOptions& options)
{
    RunSummary summary;
    VmTable vms(recording, summary);
    ReplayHost host(recording);
    Settings& settings = Settings::instance();
    std::unique_ptr<Controller> controller;
    std::optional<uint32_t> header;
    bool fresh = false;  // a controller that has not yet seen a working tick
    std::vector<VmFacts> facts;
    std::vector<Judged> judged;
    std::vector<Judged> judged_before;

    for (size_t i = 0; i < recording.ticks.size(); ++i) {
        const TickRow& tick = recording.ticks[i];
        if (header != tick.header) {
            const HeaderRow& row = recording.headers[tick.header];
            Settings next;
            std::string error;
            if (!layers.settings(row.settings, combination, next, error))
                std::fprintf(stderr, "halvorn-replay: recorded settings unreadable (%s); defaults stand in\n",
                             error.c_str());
            // A daemon started afresh starts a fresh controller; a reload
            // keeps the periods, as the daemon does.
            const bool start = !controller || row.reason == HeaderReason::start;
            if (!start) {
                next.update_time = settings.update_time;
                next.update_vm_list = settings.update_vm_list;
            }
            settings = next;
            if (start) {
                controller = std::make_unique<Controller>();
                install_replay_logger(options.log, settings.log_level);
                judged_before.clear();
                fresh = true;
            }
            if (!header)
                summary.min_idle_level = settings.min_cpu_idle_level;
            header = tick.header;
        }

        const bool list_from_vms = fresh && tick.host_open && !tick.rebuilt;
        host.begin_tick(i, list_from_vms);
        controller->vm_list_due = tick.rebuilt || list_from_vms;
        set_log_clock(tick.wall_ns, recording.headers[tick.header].pid);
        controller->run_tick(host);
        if (tick.host_open)
            fresh = false;

        if (summary.ticks++ == 0)
            summary.first_wall_ns = tick.wall_ns;
        summary.last_wall_ns = tick.wall_ns;
        // A gap (the daemon stopped, records lost) counts as one tick.
        const int64_t tick_ns = settings.update_time * 1'000'000;
        const int64_t counted = host.interval_ns() > 3 * tick_ns ? tick_ns : host.interval_ns();

        for (const ReplayHost::Step& step : host.steps()) {
            ++(step.to < step.from ? summary.steps_down : summary.steps_up);
            summary.lowest_limit = std::min(summary.lowest_limit.value_or(step.to), step.to);
        }
        if (const auto limit = host.class1_limit())
            summary.lowest_limit = std::min(summary.lowest_limit.value_or(*limit), *limit);
        if (const auto idle = host.idle_share(); idle && *idle < settings.min_cpu_idle_level)
            summary.below_min_idle_ns += counted;
        for (const VmRow& vm : recording.vms_of(tick)) {
            if (vm.name == no_name)
                continue;
            VmSummary& entry = vms.by_index(vm.name);
            if (host.class_in_force(vm.pid) == 2)
                entry.class2_ns += counted;
        }
        for (const ReplayHost::Move& move : host.moves())
            ++vms.by_index(move.name).moves;

        // Judgements: a VM that turns MINER, as the registry shows it.
        vm_facts(*controller, facts);
        judged.clear();
        size_t before = 0;
        for (const VmFacts& fact : facts) {
            while (before < judged_before.size() && judged_before[before].pid < fact.pid)
                ++before;
            const bool was_miner = before < judged_before.size() && judged_before[before].pid == fact.pid &&
                                   judged_before[before].miner;
            if (fact.miner && !was_miner) {
                VmSummary& vm = vms.by_name(*fact.name);
                if (vm.judged_miner++ == 0) {
                    vm.first_miner_wall_ns = tick.wall_ns;
                    vm.first_miner_seconds = static_cast<double>(tick.wall_ns - summary.first_wall_ns) / 1e9;
                }
            }
            judged.push_back({fact.pid, fact.miner});
        }
        std::swap(judged, judged_before);

        if (options.after_tick)
            options.after_tick(tick, *controller, host);
    }
    summary.unrecorded_throttle_reads = host.unrecorded_throttle_reads();
    std::sort(summary.vms.begin(), summary.vms.end(),
              [](const VmSummary& a, const VmSummary& b) { return a.name < b.name; });
    return summary;
}
