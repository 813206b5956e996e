#include "replay/replay_run.h"

#include <algorithm>
#include <cstdio>

#include "controller/controller.h"
#include "replay/controller_facts.h"
#include "replay/replay_log.h"
#include "startup/settings.h"

ReplayRun::ReplayRun(const Recording& recording, const ReplaySettings& settings, Combination combination,
                     ReplayOptions options)
    : recording_(recording), layers_(settings), combination_(std::move(combination)),
      options_(std::move(options)), host_(recording)
{}

ReplayRun::~ReplayRun() = default;

void ReplayRun::take_header(const TickRow& tick)
{
    Settings& settings = Settings::instance();
    const HeaderRow& row = recording_.headers[tick.header];
    Settings next;
    std::string error;
    if (!layers_.settings(row.settings, combination_, next, error))
        std::fprintf(stderr, "halvorn-replay: recorded settings unreadable (%s); defaults stand in\n",
                     error.c_str());
    // A daemon started afresh starts a fresh controller; a reload keeps the
    // periods, as the daemon does.
    const bool start = !controller_ || row.reason == HeaderReason::start;
    if (!start) {
        next.update_time = settings.update_time;
        next.update_vm_list = settings.update_vm_list;
    }
    settings = next;
    if (start) {
        controller_ = std::make_unique<Controller>();
        install_replay_logger(options_.log, settings.log_level);
        judged_before_.clear();
        fresh_ = true;
    }
    if (!header_)
        first_settings_ = settings;
    header_ = tick.header;
}

void ReplayRun::tick(size_t index)
{
    const TickRow& tick = recording_.ticks[index];
    if (header_ != tick.header)
        take_header(tick);
    const bool list_from_vms = fresh_ && tick.host_open && !tick.rebuilt;
    host_.begin_tick(index, list_from_vms);
    controller_->vm_list_due = tick.rebuilt || list_from_vms;
    set_log_clock(tick.wall_ns, recording_.headers[tick.header].pid);
    controller_->run_tick(host_);
    if (tick.host_open)
        fresh_ = false;
    account(tick);
    if (options_.after_tick)
        options_.after_tick(tick, *controller_, host_);
}

VmSummary& ReplayRun::vm_named(const std::string& name)
{
    const auto [it, added] = by_name_.try_emplace(name, summary_.vms.size());
    if (added) {
        VmSummary vm;
        vm.name = name;
        summary_.vms.push_back(std::move(vm));
    }
    return summary_.vms[it->second];
}

VmSummary& ReplayRun::vm_named(uint32_t name)
{
    if (name >= by_name_index_.size())
        by_name_index_.resize(name + 1, -1);
    if (by_name_index_[name] < 0) {
        vm_named(recording_.text(name));
        by_name_index_[name] = static_cast<int>(by_name_.at(recording_.text(name)));
    }
    return summary_.vms[static_cast<size_t>(by_name_index_[name])];
}

void ReplayRun::account(const TickRow& tick)
{
    const Settings& settings = Settings::instance();
    if (summary_.ticks++ == 0)
        summary_.first_wall_ns = tick.wall_ns;
    summary_.last_wall_ns = tick.wall_ns;
    // A gap (the daemon stopped, records lost) counts as one tick.
    const int64_t tick_ns = settings.update_time * 1'000'000;
    const int64_t counted = host_.interval_ns() > 3 * tick_ns ? tick_ns : host_.interval_ns();

    for (const ReplayHost::Step& step : host_.steps()) {
        ++(step.to < step.from ? summary_.steps_down : summary_.steps_up);
        summary_.lowest_limit = std::min(summary_.lowest_limit.value_or(step.to), step.to);
    }
    if (const auto limit = host_.class1_limit())
        summary_.lowest_limit = std::min(summary_.lowest_limit.value_or(*limit), *limit);
    if (const auto idle = host_.idle_share(); idle && *idle < settings.min_cpu_idle_level)
        summary_.below_min_idle_ns += counted;
    for (const VmRow& vm : recording_.vms_of(tick)) {
        if (vm.name == no_name)
            continue;
        VmSummary& entry = vm_named(vm.name);
        if (host_.class_in_force(vm.pid) == 2)
            entry.class2_ns += counted;
    }
    for (const ReplayHost::Move& move : host_.moves())
        ++vm_named(move.name).moves;

    // Judgements: a VM that turns MINER, as the registry shows it.
    judged_vms(*controller_, facts_);
    judged_.clear();
    size_t before = 0;
    for (const JudgedVm& fact : facts_) {
        while (before < judged_before_.size() && judged_before_[before].pid < fact.pid)
            ++before;
        const bool was_miner = before < judged_before_.size() && judged_before_[before].pid == fact.pid &&
                               judged_before_[before].miner;
        if (fact.miner && !was_miner) {
            VmSummary& vm = vm_named(*fact.name);
            if (vm.judged_miner++ == 0)
                vm.first_miner_wall_ns = tick.wall_ns;
        }
        judged_.push_back({fact.pid, fact.miner});
    }
    std::swap(judged_, judged_before_);
}

RunSummary ReplayRun::finish()
{
    summary_.unrecorded_throttle_reads = host_.unrecorded_throttle_reads();
    RunSummary done = std::move(summary_);
    std::sort(done.vms.begin(), done.vms.end(),
              [](const VmSummary& a, const VmSummary& b) { return a.name < b.name; });
    return done;
}

RunSummary replay(const Recording& recording, const ReplaySettings& settings, const Combination& combination,
                  const ReplayOptions& options)
{
    ReplayRun run(recording, settings, combination, options);
    for (size_t i = 0; i < recording.ticks.size(); ++i)
        run.tick(i);
    return run.finish();
}
