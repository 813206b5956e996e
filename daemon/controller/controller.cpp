#include "controller/controller.h"

#include <cmath>
#include <ctime>
#include <iterator>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/controller_observer.h"
#include "controller/controller_view.h"
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

void Controller::on_vm_list_timer(ev::timer&, int)
{
    vm_list_due = true;
    vm_list_timer_fired = std::chrono::steady_clock::now();
}

void Controller::on_tick_timer(ev::timer& watcher, int)
{
    // Inactive while the tick runs; an exception leaves it stopped and the
    // reader closed on its way out.
    watcher.stop();
    {
        const KvmReader reader;
        KvmHost host(reader);
        run_tick(observer != nullptr ? observer->tap(host) : host);
    }
    watcher.start();
}

namespace {

double thread_cpu_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::optional<int> knob_value(HostAccess& host, Knob name)
{
    const KnobValue knob = host.read_int_knob(name);
    return knob.ok ? std::optional<int>(knob.value) : std::nullopt;
}

}  // namespace

void Controller::run_tick(HostAccess& host)
{
    const double cpu_start = timed ? thread_cpu_seconds() : 0.0;
    if (!host.is_open()) {
        spdlog::error("KVM error: {}", host.error());
        ++tally.kvm_errors;
    } else {
        if (vm_list_due) {
            update_vm_list(vms, host);
            vm_list_due = false;
        }
        tick(host);
    }
    if (timed) {
        tally.last_tick_cpu_seconds = thread_cpu_seconds() - cpu_start;
        last_tick_unix_seconds =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    }
    if (observer != nullptr)
        observer->after_tick(ControllerView(*this));
}

void Controller::read_knobs(HostAccess& host)
{
    // regulate() has read the rate limits; only a write makes one worth
    // reading again, to show what the kernel took.
    if (class1_written_)
        knobs.class1_rate_limit = knob_value(host, Knob::class1_rate_limit);
    if (class2_written_)
        knobs.class2_rate_limit = knob_value(host, Knob::class2_rate_limit);
    knobs.class1_burst_secs = knob_value(host, Knob::class1_burst_secs);
}

bool Controller::evaluate_counted(VmRecord& vm, HostAccess& host)
{
    const uint64_t to_class1 = vm.moves_to_class1;
    const uint64_t to_class2 = vm.moves_to_class2;
    const bool kept = evaluate(vm, host, idle_average);
    tally.moves_to_class1 += vm.moves_to_class1 - to_class1;
    tally.moves_to_class2 += vm.moves_to_class2 - to_class2;
    return kept;
}

void Controller::tick(HostAccess& host)
{
    const CpuTimes sample = host.cpu_times();
    last_idle_share.reset();
    if (sample.valid) {
        const double share = idle_share(previous, sample);
        // Counters that did not move give no share; one NaN would poison
        // the average for good.
        if (!std::isnan(share)) {
            idle_average = fold_average(idle_average, share, averaging_weight(Settings::instance()));
            last_idle_share = share;
        }
        previous = sample;
    }
    last_tick_time = host.now();
    ++tally.ticks;
    class1_written_ = false;
    class2_written_ = false;
    regulate(host);
    for (auto it = vms.begin(); it != vms.end();)
        it = evaluate_counted(*it->second, host) ? std::next(it) : vms.erase(it);
    read_knobs(host);
}
