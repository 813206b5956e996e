#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "controller/class2_regulation.h"
#include "controller/controller_tally.h"
#include "controller/host_knobs.h"
#include "controller/rate_limit_class.h"
#include "controller/vm_record.h"
#include "controller/vm_registry.h"

class Controller;
struct Settings;

// What the controller knows of one VM, in the presenters' terms: "none" is
// an empty optional, never a sentinel number.
struct VmFacts {
    std::string name;
    int pid = 0;
    std::optional<int> cls;  // the vCPU class last read; none when unreadable or not read yet
    // Judged at all: a VM in class 1 or 2 with at least VCPU vCPUs.
    bool judged = false;
    VmKind kind = kind_unjudged;     // kind_unjudged while not judged
    std::optional<bool> overloaded;  // all vCPUs at or above the bound; none while not judged
    std::optional<double> load;      // mean vCPU demand, percent; none before a measured interval
    std::vector<std::pair<int, double>> vcpu_loads;  // (vCPU number, percent) in number order
    int vcpus = 0;                                   // vCPU threads seen; 0 before they were counted
    std::optional<int64_t> countdown_seconds;        // whole seconds left, while a countdown runs
    std::optional<VmKind> countdown_to;              // the kind it leads to, while it runs
    bool exempt = false;
    uint64_t moves = 0;                // class moves this daemon made
    std::optional<int> dry_run_class;  // the class a dry run said it would move the VM to

    // This daemon's counts: the moves by class moved to, the moves libvmmapi
    // refused by class asked for, and the seconds spent in class 1 and 2.
    uint64_t moves_to_class1 = 0;
    uint64_t moves_to_class2 = 0;
    uint64_t refused_moves_to_class1 = 0;
    uint64_t refused_moves_to_class2 = 0;
    double class1_seconds = 0.0;
    double class2_seconds = 0.0;
};

// What presenters (status replies, metrics files, the recording, the
// replay's summary and chart) may see of the controller: read-only, as of
// the last tick. The one place that reads the controller's records.
class ControllerView {
public:
    explicit ControllerView(const Controller& controller) : controller_(controller) {}

    double idle_average() const;
    // The host's idle share over the last tick, percent; none when unknown.
    std::optional<double> idle_share() const;
    double last_tick_unix_seconds() const;
    const HostKnobs& knobs() const;
    const ControllerTally& tally() const;
    const Settings& settings() const;
    int64_t uptime_seconds() const;
    // Seconds until the VM list is next rebuilt; 0 when the next tick does.
    int64_t vm_list_rebuild_seconds() const;
    // The class-1 limit a dry run would have set; none outside a dry run.
    std::optional<int> dry_run_rate_limit() const;
    // Whether and where the class-2 limit is regulated, what it goes back
    // to, and what a dry run would have set it to.
    const Class2Regulation& class2_regulation() const;

    // Every VM of the registry, in pid order.
    std::vector<VmFacts> vms() const;
    size_t vm_count() const;
    // Calls `visit(const VmFacts&)` for every VM in pid order, without
    // allocating per VM: one VmFacts is filled again for each, so it is
    // valid during its call only.
    template <typename Visit>
    void for_each_vm(Visit&& visit) const
    {
        VmFacts facts;
        for (const auto& [pid, vm] : registry()) {
            fill(*vm, facts);
            visit(static_cast<const VmFacts&>(facts));
        }
    }

    // Calls `visit(pid, name, kind)` for every VM in pid order, with the
    // kind `for_each_vm` would give it: for presenters that need no more,
    // every tick.
    template <typename Visit>
    void for_each_kind(Visit&& visit) const
    {
        for (const auto& [pid, vm] : registry())
            visit(vm->pid, vm->name, kind_of(*vm));
    }

private:
    const VmRegistry& registry() const;
    void fill(const VmRecord& vm, VmFacts& facts) const;
    // Judged at all: a VM in class 1 or 2 with at least VCPU vCPUs. A VM
    // too small to judge, or moved to a class that is not ours, keeps the
    // kind its class once gave it, but nothing judges it. A class that could
    // not be read this time leaves the judgement standing.
    static bool judged(const VmRecord& vm)
    {
        const bool managed_class = vm.last_class == unreadable_class || vm.last_class == normal_class ||
                                   vm.last_class == miner_class;
        return vm.measured && managed_class && vm.kind != kind_unjudged;
    }
    static VmKind kind_of(const VmRecord& vm)
    {
        return judged(vm) ? static_cast<VmKind>(vm.kind) : kind_unjudged;
    }

    const Controller& controller_;
};
