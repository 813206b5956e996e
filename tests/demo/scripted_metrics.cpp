// Prints the metrics file the daemon's own writer makes at tick N of a
// scripted run, for the chart test: the miner is expected as MINER at tick 2,
// moves to class 2 at tick 5, its class cannot be read at tick 7 and it goes
// back at tick 9; a VM whose name holds quotes and a backslash appears at
// tick 3, its load at tick 4. The host's idle over a tick is 40 - N; the
// class-2 rate limit is raised from 25 to 35 at tick 6.
// With "reloaded" after N, a reload at tick 6 changed the idle band to 20..40,
// CpuIdleLevel to 25 and OverloadBound to 80, and started a dry run, which
// would set the class-1 limit to 60 + N while the kernel's stays at 70.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "controller/controller.h"
#include "controller/controller_view.h"
#include "controller/vm_record.h"
#include "runtime/metrics_file.h"
#include "startup/settings.h"

namespace {

VmRecord& add(Controller& controller, const std::string& name, int pid, int cls, double load)
{
    auto record = std::make_unique<VmRecord>();
    record->name = name;
    record->pid = pid;
    record->last_class = cls;
    record->kind = kind_normal;
    record->measured = true;
    record->vcpus = 2;
    if (load >= 0.0)
        record->vcpu_loads[0].load = record->vcpu_loads[1].load = load;
    VmRecord& vm = *record;
    controller.vms[pid] = std::move(record);
    return vm;
}

}  // namespace

int main(int argc, char** argv)
{
    const int tick = argc >= 2 ? std::atoi(argv[1]) : 0;
    const bool reloaded = argc == 3 && std::string(argv[2]) == "reloaded" && tick >= 6;
    if (tick < 1 || argc > 3) {
        std::fputs("usage: scripted_metrics TICK (1 or more) [reloaded]\n", stderr);
        return 2;
    }
    Settings& settings = Settings::instance();
    settings.log_level = 6;  // the controller's logger stays quiet
    Controller controller;
    controller.idle_average = 10 + tick + 0.5;
    controller.knobs = {100 - 5 * tick, tick >= 6 ? 35 : 25, 5};
    if (reloaded) {
        settings.min_cpu_idle_level = 20;
        settings.max_cpu_idle_level = 40;
        settings.cpu_idle_level = 25;
        settings.overload_bound = 80;
        settings.dry_run = true;
        controller.knobs.class1_rate_limit = 70;
        controller.dry_run_rate_limit = 60 + tick;
    }
    controller.tally.ticks = static_cast<uint64_t>(tick);
    controller.last_idle_share = 40 - tick;

    const int miner_class = tick == 7 ? -1 : tick >= 5 && tick < 9 ? 2 : 1;
    VmRecord& miner = add(controller, "miner", 10, miner_class, 100.1);
    if (tick >= 4)
        miner.kind = kind_miner;
    else if (tick >= 2) {
        miner.countdown = true;
        miner.deadline = controller.last_tick_time + 2'000'000'000;
    }
    add(controller, "web01", 20, 1, 6.2);
    if (tick >= 3)
        add(controller, "odd \"q\\b", 30, 1, tick >= 4 ? 3.0 : -1.0);

    std::fputs(metrics_text(ControllerView(controller)).c_str(), stdout);
    return 0;
}
