#include "replay/replay_run.h"

#include "controller/controller_view.h"
#include "startup/settings.h"

ReplayRun::ReplayRun(const Recording& recording, const ReplaySettings& settings, Combination combination,
                     ReplayOptions options)
    : recording_(recording), options_(std::move(options)),
      driver_(recording, settings, std::move(combination), options_.log), keeper_(recording)
{
    if (options_.baseline)
        baseline_.emplace(recording);
}

void ReplayRun::tick(size_t index)
{
    const SettingsInForce in_force(driver_.settings_aside());
    const ControllerView view = driver_.tick(index);
    const TickRow& tick = recording_.ticks[index];
    keeper_.account(tick, driver_.host(), view);
    if (baseline_) {
        baseline_->host.begin_tick(index);
        baseline_->keeper.account_host(tick, baseline_->host, view.settings());
    }
    if (options_.after_tick)
        options_.after_tick(tick, view, driver_.host());
}

RunSummary ReplayRun::finish()
{
    const SettingsInForce in_force(driver_.settings_aside());
    RunSummary summary = keeper_.finish(driver_.host().unrecorded_throttle_reads());
    if (baseline_) {
        const RunSummary without = baseline_->keeper.finish(0);
        summary.baseline = BaselineSummary{without.below_min_idle_ns, without.held_us()};
    }
    return summary;
}

void BaselineRun::tick(size_t index)
{
    const TickRow& tick = recording_.ticks[index];
    if (header_ != tick.header) {
        std::string error;  // unreadable: the defaults, as a replay takes them
        settings_ = Settings{};
        ReplaySettings{}.settings(recording_.headers[tick.header].settings, {}, settings_, error);
        header_ = tick.header;
    }
    host_.begin_tick(index);
    keeper_.account_host(tick, host_, settings_);
}

RunSummary replay_without_halvorn(const Recording& recording)
{
    BaselineRun run(recording);
    for (size_t i = 0; i < recording.ticks.size(); ++i)
        run.tick(i);
    return run.finish();
}

RunSummary replay(const Recording& recording, const ReplaySettings& settings, const Combination& combination,
                  const ReplayOptions& options)
{
    ReplayRun run(recording, settings, combination, options);
    for (size_t i = 0; i < recording.ticks.size(); ++i)
        run.tick(i);
    return run.finish();
}
