#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "recording/recording.h"
#include "replay/replay_driver.h"
#include "replay/replay_settings.h"
#include "replay/summary.h"
#include "replay/summary_keeper.h"
#include "startup/settings.h"

class ControllerView;

struct ReplayOptions {
    bool log = false;  // the daemon's log lines on standard output
    // The host without halvorn replayed alongside, for the summary.
    bool baseline = false;
    // Called after every replayed tick, e.g. for the chart.
    std::function<void(const TickRow& tick, const ControllerView& view, const ReplayHost& host)> after_tick;
};

// One replay: the controller driven over the recording's ticks with the
// settings of one combination, and the summary kept of what it did. The
// recording may drop the ticks already replayed, all but the last.
class ReplayRun {
public:
    ReplayRun(const Recording& recording, const ReplaySettings& settings, Combination combination,
              ReplayOptions options = {});

    // Replays the recording's tick `index`.
    void tick(size_t index);
    uint64_t ticks() const { return keeper_.ticks(); }
    // The settings of the first header replayed.
    const Settings& first_settings() const { return driver_.first_settings(); }
    RunSummary finish();

private:
    // The process-wide settings are the run's own for as long as this lives.
    class SettingsInForce {
    public:
        explicit SettingsInForce(Settings& aside) : aside_(aside) { std::swap(Settings::instance(), aside_); }
        ~SettingsInForce() { std::swap(Settings::instance(), aside_); }
        SettingsInForce(const SettingsInForce&) = delete;
        SettingsInForce& operator=(const SettingsInForce&) = delete;

    private:
        Settings& aside_;
    };

    struct Baseline {
        explicit Baseline(const Recording& recording)
            : host(recording, ReplayMode{.without_halvorn = true}), keeper(recording)
        {}
        ReplayHost host;
        SummaryKeeper keeper;
    };

    const Recording& recording_;
    const ReplayOptions options_;
    ReplayDriver driver_;
    SummaryKeeper keeper_;
    std::optional<Baseline> baseline_;
};

// The host without halvorn: the class-1 limit at 100 % throughout, nobody
// moved, no controller; the recording may drop the ticks already replayed,
// all but the last.
class BaselineRun {
public:
    explicit BaselineRun(const Recording& recording)
        : recording_(recording), host_(recording, ReplayMode{.without_halvorn = true}), keeper_(recording)
    {}
    void tick(size_t index);
    RunSummary finish() { return keeper_.finish(0); }

private:
    const Recording& recording_;
    ReplayHost host_;
    SummaryKeeper keeper_;
    std::optional<uint32_t> header_;
    Settings settings_;  // the recorded ones at the tick's header
};

// The host without halvorn over every tick of `recording`.
RunSummary replay_without_halvorn(const Recording& recording);

// Replays every tick of `recording`.
RunSummary replay(const Recording& recording, const ReplaySettings& settings, const Combination& combination,
                  const ReplayOptions& options = {});
