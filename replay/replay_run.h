#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "recording/recording.h"
#include "replay/replay_host.h"
#include "replay/replay_settings.h"
#include "replay/summary.h"

class Controller;
struct JudgedVm;

struct ReplayOptions {
    bool log = false;  // the daemon's log lines on standard output
    // Called after every replayed tick, e.g. for the chart.
    std::function<void(const TickRow& tick, const Controller& controller, const ReplayHost& host)> after_tick;
};

// The daemon's controller over the ticks of a recording, one at a time, in
// simulated time, with the settings of one combination. The recording may
// drop the ticks already replayed, all but the last.
class ReplayRun {
public:
    ReplayRun(const Recording& recording, const ReplaySettings& settings, Combination combination,
              ReplayOptions options = {});
    ~ReplayRun();
    ReplayRun(const ReplayRun&) = delete;
    ReplayRun& operator=(const ReplayRun&) = delete;

    // Replays the recording's tick `index`.
    void tick(size_t index);
    uint64_t ticks() const { return summary_.ticks; }
    // The settings of the first header replayed.
    const Settings& first_settings() const { return first_settings_; }
    RunSummary finish();

private:
    struct Judged {
        int32_t pid;
        bool miner;
    };
    void take_header(const TickRow& tick);
    void account(const TickRow& tick);
    VmSummary& vm_named(uint32_t name);
    VmSummary& vm_named(const std::string& name);

    const Recording& recording_;
    const ReplaySettings& layers_;
    const Combination combination_;
    const ReplayOptions options_;
    RunSummary summary_;
    ReplayHost host_;
    std::unique_ptr<Controller> controller_;
    std::optional<uint32_t> header_;
    Settings first_settings_;
    bool fresh_ = false;  // a controller that has not yet seen a working tick
    std::vector<JudgedVm> facts_;
    std::vector<Judged> judged_;
    std::vector<Judged> judged_before_;
    std::vector<int> by_name_index_;  // recording text -> entry of summary_.vms, -1 none
    std::unordered_map<std::string, size_t> by_name_;
};

// Replays every tick of `recording`.
RunSummary replay(const Recording& recording, const ReplaySettings& settings, const Combination& combination,
                  const ReplayOptions& options = {});
