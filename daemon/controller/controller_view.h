#pragma once

#include <cstdint>
#include <optional>

#include "controller/controller.h"
#include "controller/controller_tally.h"
#include "controller/vm_record.h"
#include "controller/vm_registry.h"

struct Settings;

// What presenters (status replies, metrics files) may see of the controller:
// read-only, as of the last tick.
class ControllerView {
public:
    explicit ControllerView(const Controller& controller) : controller_(controller) {}

    double idle_average() const { return controller_.idle_average; }
    const HostKnobs& knobs() const { return controller_.knobs; }
    const ControllerTally& tally() const { return controller_.tally; }
    // In pid order.
    const VmRegistry& vms() const { return controller_.vms; }
    const Settings& settings() const;
    int64_t uptime_seconds() const;

    // Mean of the vCPU loads; none before the first measured interval.
    static std::optional<double> mean_load(const VmRecord& vm);
    // Whole seconds left at the last tick; none when no countdown runs.
    std::optional<int64_t> countdown_seconds(const VmRecord& vm) const;
    static uint64_t moves(const VmRecord& vm) { return vm.moves_to_class1 + vm.moves_to_class2; }

private:
    const Controller& controller_;
};
