#include "replay/replay_driver.h"

#include <cstdio>

#include "controller/controller.h"
#include "controller/controller_view.h"
#include "replay/replay_log.h"
#include "startup/settings.h"

namespace {

// The host's knobs that `combination` sets otherwise than recorded.
ReplayMode knobs_set(const ReplaySettings& layers, const Combination& combination)
{
    Settings set;
    std::string ignored;
    (void)layers.settings({}, combination, set, ignored);
    ReplayMode mode;
    if (set.replayed_class2_rate_limit > 0)
        mode.class2_rate_limit = set.replayed_class2_rate_limit;
    if (set.replayed_class1_burst_secs > 0)
        mode.class1_burst_secs = set.replayed_class1_burst_secs;
    return mode;
}

}  // namespace

ReplayDriver::ReplayDriver(const Recording& recording, const ReplaySettings& layers, Combination combination,
                           bool log)
    : recording_(recording), layers_(layers), combination_(std::move(combination)), log_(log),
      host_(recording, knobs_set(layers, combination_))
{}

ReplayDriver::~ReplayDriver() = default;

void ReplayDriver::take_header(const TickRow& tick)
{
    Settings& settings = Settings::instance();
    const HeaderRow& row = recording_.headers[tick.header];
    Settings next;
    std::string error;
    if (!layers_.settings(row.settings, combination_, next, error))
        std::fprintf(stderr, "halvorn-replay: recorded settings unreadable (%s); defaults stand in\n",
                     error.c_str());
    const bool start = !controller_ || row.reason == HeaderReason::start;
    if (!start) {
        next.update_time = settings.update_time;
        next.update_vm_list = settings.update_vm_list;
    }
    settings = next;
    if (start) {
        controller_ = std::make_unique<Controller>();
        controller_->timed = false;
        install_replay_logger(log_, settings.log_level);
        fresh_ = true;
    }
    if (!header_)
        first_settings_ = settings;
    header_ = tick.header;
}

ControllerView ReplayDriver::tick(size_t index)
{
    const TickRow& tick = recording_.ticks[index];
    if (header_ != tick.header)
        take_header(tick);
    // A recording that starts between two rebuilds: the first working tick
    // finds the VMs it evaluated.
    const bool list_from_vms = fresh_ && tick.host_open && !tick.rebuilt;
    host_.begin_tick(index, list_from_vms);
    controller_->vm_list_due = tick.rebuilt || list_from_vms;
    set_log_clock(tick.wall_ns, recording_.headers[tick.header].pid);
    controller_->run_tick(host_);
    if (tick.host_open)
        fresh_ = false;
    return ControllerView(*controller_);
}
