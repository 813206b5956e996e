#pragma once

#include <functional>

#include "recording/recording.h"
#include "replay/replay_settings.h"
#include "replay/summary.h"

class Controller;
class ReplayHost;

struct ReplayOptions {
    bool log = false;  // the daemon's log lines on standard output
    // Called after every replayed tick, e.g. for the chart.
    std::function<void(const TickRow& tick, const Controller& controller, const ReplayHost& host)> after_tick;
};

// Runs the daemon's controller over every tick of `recording` with the
// settings of `combination`, in simulated time.
RunSummary replay(const Recording& recording, const ReplaySettings& settings, const Combination& combination,
                  const ReplayOptions& options = {});
