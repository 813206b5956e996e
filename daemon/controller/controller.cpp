#include "controller/controller.h"

#include <cmath>
#include <iterator>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/evaluate.h"
#include "controller/kvm_host.h"
#include "controller/vm_record.h"
#include "controller/vm_registry.h"
#include "startup/logging.h"
#include "startup/settings.h"

Controller::Controller()
{
    idle_average = idle_band_middle(Settings::instance());
    setup_logging();
}

Controller::~Controller() = default;

void Controller::on_vm_list_timer(ev::timer&, int) { vm_list_due = true; }

void Controller::on_tick_timer(ev::timer& watcher, int)
{
    // Inactive while the tick runs; an exception leaves it stopped and the
    // reader closed on its way out.
    watcher.stop();
    {
        const KvmReader reader;
        KvmHost host(reader);
        run_tick(host);
    }
    watcher.start();
}

void Controller::run_tick(HostAccess& host)
{
    if (!host.is_open()) {
        spdlog::error("KVM error: {}", host.error());
        return;
    }
    if (vm_list_due) {
        update_vm_list(vms, host);
        vm_list_due = false;
    }
    tick(host);
}

void Controller::tick(HostAccess& host)
{
    const CpuTimes sample = host.cpu_times();
    if (sample.valid) {
        const double share = idle_share(previous, sample);
        // Counters that did not move give no share; one NaN would poison
        // the average for good.
        if (!std::isnan(share))
            idle_average = fold_average(idle_average, share, averaging_weight(Settings::instance()));
        previous = sample;
    }
    regulate(host);
    for (auto it = vms.begin(); it != vms.end();)
        it = evaluate(*it->second, host, idle_average) ? std::next(it) : vms.erase(it);
}
