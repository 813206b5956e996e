#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "recording/recording.h"
#include "replay/summary.h"

class ControllerView;
class ReplayHost;
struct Settings;

// Keeps a replay's summary as its ticks go by: the rate-limit steps and
// class moves the replay host saw, class-2 time, time below the recorded
// MinCpuIdleLevel, what the VMs wanted and were held back, and each VM's
// judgements as the controller's view shows them.
class SummaryKeeper {
public:
    explicit SummaryKeeper(const Recording& recording) : recording_(recording) {}

    void account(const TickRow& tick, const ReplayHost& host, const ControllerView& view);
    // What the host did in the tick, without a controller (the host without
    // halvorn); `settings` are those in force.
    void account_host(const TickRow& tick, const ReplayHost& host, const Settings& settings);
    uint64_t ticks() const { return summary_.ticks; }
    RunSummary finish(uint64_t unrecorded_throttle_reads);

private:
    struct Judged {
        int32_t pid;
        bool miner;
    };
    void account_judgements(const TickRow& tick, const ControllerView& view);
    // Asked for every VM on every tick: the entry once known is a look-up
    // in place.
    VmSummary& vm_named(uint32_t name)
    {
        if (name < by_name_index_.size() && by_name_index_[name] >= 0)
            return summary_.vms[static_cast<size_t>(by_name_index_[name])];
        return vm_named_first(name);
    }
    VmSummary& vm_named_first(uint32_t name);
    VmSummary& vm_named(const std::string& name);
    // The recorded MinCpuIdleLevel of the tick's header.
    int floor_of(const TickRow& tick);

    const Recording& recording_;
    RunSummary summary_;
    std::vector<Judged> judged_;
    std::vector<Judged> judged_before_;
    std::vector<int> by_name_index_;  // recording text -> entry of summary_.vms, -1 none
    std::unordered_map<std::string, size_t> by_name_;
    std::vector<std::optional<int>> floors_;  // by header
};
