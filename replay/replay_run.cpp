#include "replay/replay_run.h"

#include "controller/controller_view.h"

ReplayRun::ReplayRun(const Recording& recording, const ReplaySettings& settings, Combination combination,
                     ReplayOptions options)
    : recording_(recording), options_(std::move(options)),
      driver_(recording, settings, std::move(combination), options_.log), keeper_(recording)
{}

void ReplayRun::tick(size_t index)
{
    const ControllerView view = driver_.tick(index);
    const TickRow& tick = recording_.ticks[index];
    keeper_.account(tick, driver_.host(), view);
    if (options_.after_tick)
        options_.after_tick(tick, view, driver_.host());
}

RunSummary replay(const Recording& recording, const ReplaySettings& settings, const Combination& combination,
                  const ReplayOptions& options)
{
    ReplayRun run(recording, settings, combination, options);
    for (size_t i = 0; i < recording.ticks.size(); ++i)
        run.tick(i);
    return run.finish();
}
