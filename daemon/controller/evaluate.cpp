#include "controller/evaluate.h"

#include <cstdint>
#include <optional>
#include <utility>

#include <spdlog/spdlog.h>

#include "controller/averaging.h"
#include "controller/host_access.h"
#include "controller/rate_limit_class.h"
#include "controller/vm_record.h"
#include "startup/settings.h"

namespace {

struct Demand {
    double total_load = 0.0;
    size_t overloaded = 0;
};

// The averaging of one evaluation's vCPU loads, its divisions done once.
struct Folding {
    int64_t averaging_time = 0;  // s
    int64_t update_time = 0;     // ms
    double elapsed_us = 0.0;
    double previous_weight = 0.0;
    double per_sample = 0.0;
    double percent_per_us = 0.0;  // of CPU time over the interval
};

// The folding for these settings and this interval. Every VM of a tick
// folds alike, so the last one serves again: its divisions cost more than
// the folding of a VM's loads.
const Folding& folding_for(const Settings& settings, double elapsed_us)
{
    thread_local Folding last;
    if (last.averaging_time != settings.averaging_time || last.update_time != settings.update_time ||
        last.elapsed_us != elapsed_us || last.update_time == 0) {
        const int64_t n = averaging_weight(settings);
        last.averaging_time = settings.averaging_time;
        last.update_time = settings.update_time;
        last.elapsed_us = elapsed_us;
        last.previous_weight = static_cast<double>(static_cast<uint64_t>(n - 1));
        last.per_sample = 1.0 / static_cast<double>(static_cast<uint64_t>(n));
        last.percent_per_us = 100.0 / elapsed_us;
    }
    return last;
}

// Takes one vCPU's run time and throttle time into its history; returns its
// averaged load. `next` is where its load is looked for first: vCPUs mostly
// come in number order, as the loads are kept.
double fold_vcpu(VmRecord& vm, const VcpuThread& thread, ThrottleTime throttled, const Folding& folding,
                 size_t& next)
{
    VcpuLoads& loads = vm.vcpu_loads;
    const size_t at = loads.holds(next, thread.number) ? next : loads.position(thread.number);
    const bool known = loads.holds(at, thread.number);
    if (known)
        next = at + 1;
    // Without the throttle time this interval's demand is unknown: what was
    // known stands, and the next good read measures over the whole time since
    // the same baseline.
    if (!throttled) {
        if (!known)
            return 0.0;
        VcpuLoad& load = loads.load_at(at);
        load.unread_us += folding.elapsed_us;
        return load.load;
    }
    if (!known) {
        // A vCPU seen for the first time shows no demand yet.
        loads.insert(at, thread.number, VcpuLoad{thread.runtime_us, *throttled, 0.0});
        next = at + 1;
        return 0.0;
    }
    VcpuLoad& load = loads.load_at(at);
    const uint64_t total = thread.runtime_us + *throttled;
    const uint64_t previous_total = load.runtime + load.throttled;
    // Counters that stepped back measure nothing; they only become the new
    // baseline. Subtracting would wrap to an enormous demand.
    if (total >= previous_total) {
        const auto used = static_cast<double>(total - previous_total);
        const double demand = load.unread_us == 0.0 ? used * folding.percent_per_us
                                                    : used * 100.0 / (folding.elapsed_us + load.unread_us);
        // A VM found in class 2 was judged a MINER before this daemon saw it
        // (it ran before a restart). Climbing from 0 would take most of the
        // averaging window, long enough to release a miner that still
        // saturates: its average starts from what it really demands.
        load.load = vm.found_in_class2 && !load.measured
                        ? demand
                        : (folding.previous_weight * load.load + demand) * folding.per_sample;
        load.measured = true;
    }
    load.unread_us = 0.0;
    load.runtime = thread.runtime_us;
    load.throttled = *throttled;
    return load.load;
}

// Folds each vCPU's run time plus throttle time since the last evaluation
// into its averaged load.
Demand measure_demand(VmRecord& vm, const VmHandle& context, const NumberedVcpus& threads, double elapsed_us,
                      const Settings& settings)
{
    Demand demand;
    const Folding folding = folding_for(settings, elapsed_us);  // a copy, kept in registers
    size_t next = 0;
    for (const VcpuThread& thread : threads) {
        const double load = fold_vcpu(vm, thread, context.throttle_us(thread.number), folding, next);
        demand.total_load += load;
        if (load >= static_cast<double>(settings.overload_bound))
            ++demand.overloaded;
    }
    return demand;
}

// Starts the countdown to a change of kind: twice the class-1 burst length.
void start_countdown(VmRecord& vm, HostAccess& host, int64_t now, int cls, size_t vcpus)
{
    const int64_t burst_secs = host.read_int_knob(Knob::class1_burst_secs).value;
    vm.deadline = now + burst_secs * 2 * one_second_ns;
    vm.countdown = true;
    spdlog::debug("VM_id={} bhyve_pid={} {} expected as {}; vCPU={}", vm.name, vm.pid, RateLimitClass(cls),
                  kind_name(other_kind(vm.kind)), vcpus);
}

struct Judgement {
    int kind;
    int64_t seconds_left = 0;
};

// One step of the MINER / NORMAL judgement: `kind` changes only after an
// unbroken run of evaluations on the other side until the deadline.
Judgement judge(VmRecord& vm, HostAccess& host, int64_t now, int cls, size_t vcpus, bool all_overloaded)
{
    Judgement judgement{vm.kind};
    const int settled_kind = all_overloaded ? kind_miner : kind_normal;
    if (vm.kind != settled_kind) {
        if (vm.overloaded == all_overloaded) {
            const int64_t remaining = vm.deadline - now;
            judgement.seconds_left = remaining / one_second_ns;
            if (remaining < one_second_ns) {
                judgement.kind = settled_kind;
                vm.countdown = false;
            }
        } else {
            start_countdown(vm, host, now, cls, vcpus);
        }
    } else {
        vm.countdown = false;
    }
    vm.overloaded = all_overloaded;
    return judgement;
}

void warn_set_class_failure(int result)
{
    if (result == set_class_refused)
        spdlog::warn("vmmapi::vm_set_vcpu_class() error");
    else if (result == set_class_no_context)
        spdlog::warn("Unexpected vmmapi VM context close");
}

// Logs a move made, or one a dry run would have made when it differs from
// the last one it reported.
template <typename... Args>
void log_move(VmRecord& vm, int to_class, bool dry_run, fmt::format_string<Args...> format, Args&&... args)
{
    if (!dry_run) {
        spdlog::info(format, std::forward<Args>(args)...);
        return;
    }
    if (vm.dry_run_class != to_class)
        spdlog::info("{} (dry run)", fmt::format(format, std::forward<Args>(args)...));
    vm.dry_run_class = to_class;
}

// Sets the class, or only reports it where a dry run or an exemption holds
// the move back. True when the VM is in `to_class` afterwards, or would be.
bool move(VmRecord& vm, VmHandle& context, int to_class)
{
    if (vm.exempt) {
        if (!vm.exempt_logged)
            spdlog::info("VM_id={} bhyve_pid={}  exempt, not moved", vm.name, vm.pid);
        vm.exempt_logged = true;
        return false;
    }
    if (Settings::instance().dry_run)
        return true;
    vm.dry_run_class.reset();
    const int result = context.set_class(to_class);
    warn_set_class_failure(result);
    if (result != set_class_done) {
        ++(to_class == normal_class ? vm.refused_moves_to_class1 : vm.refused_moves_to_class2);
        return false;
    }
    vm.last_class = to_class;
    ++(to_class == normal_class ? vm.moves_to_class1 : vm.moves_to_class2);
    return true;
}

// Adds the time since the last evaluation to the class the VM was in, when
// this one finds it still there: a change by someone else happened at an
// unknown moment in between.
void count_class_time(VmRecord& vm, int cls, int64_t now)
{
    if (vm.class_timed_at != no_time && cls == vm.last_class && now > vm.class_timed_at) {
        if (cls == normal_class)
            vm.class1_ns += now - vm.class_timed_at;
        else if (cls == miner_class)
            vm.class2_ns += now - vm.class_timed_at;
    }
    vm.class_timed_at = now;
}

// A NORMAL VM goes back to class 1 at once; a MINER goes to class 2 only
// while the host is short of idle CPU.
void place_in_class(VmRecord& vm, VmHandle& context, HostAccess& host, int cls, double idle_average)
{
    const bool dry_run = Settings::instance().dry_run;
    if (vm.kind == kind_normal) {
        if (cls != miner_class) {
            vm.dry_run_class.reset();
            return;
        }
        if (move(vm, context, normal_class))
            log_move(vm, normal_class, dry_run, "VM_id={} bhyve_pid={}  VCPU_class_2 => VCPU_class_1",
                     vm.name, vm.pid);
        return;
    }
    const bool busy_host = static_cast<double>(Settings::instance().cpu_idle_level) >= idle_average;
    if (!busy_host || cls != normal_class) {
        vm.dry_run_class.reset();
        return;
    }
    if (move(vm, context, miner_class)) {
        const int class2_limit = host.read_int_knob(Knob::class2_rate_limit).value;
        log_move(vm, miner_class, dry_run,
                 "VM_id={} bhyve_pid={}  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)={}%", vm.name,
                 vm.pid, class2_limit);
    }
}

}  // namespace

bool evaluate(VmRecord& vm, HostAccess& host, double idle_average)
{
    const int64_t now = host.now();
    if (vm.last_sample == no_time) {
        vm.last_sample = now;  // the first sight only starts the clock
        return true;
    }
    if (!host.process_exists(vm.pid))
        return false;
    const std::unique_ptr<VmHandle> context = host.open_vm(vm.pid, vm.name);
    if (!context->is_open())
        return false;

    vm.exempt = Settings::instance().is_exempt(vm.name);
    if (!vm.exempt)
        vm.exempt_logged = false;  // exempt anew after a reload: say it again
    const int cls = context->get_class();
    count_class_time(vm, cls, now);
    if (cls != vm.last_class && vm.last_class != unreadable_class)
        spdlog::info("VM_id={} bhyve_pid={}  Unexpected class change: VCPU_class={}, expected VCPU_class={}",
                     vm.name, vm.pid, cls, vm.last_class);
    vm.last_class = cls;
    if (cls != normal_class && cls != miner_class)
        return true;  // other classes are not ours to manage
    if (vm.kind == kind_unjudged) {
        vm.kind = cls == miner_class ? kind_miner : kind_normal;
        vm.found_in_class2 = cls == miner_class;
    }

    host.read_vcpu_threads(vm.parent_pid, vm.pid, vm.threads);
    const NumberedVcpus& threads = vm.threads;
    if (threads.empty())
        return false;
    const Settings& settings = Settings::instance();
    vm.vcpus = static_cast<int>(threads.size());
    vm.measured = static_cast<int64_t>(threads.size()) >= settings.vcpu;
    if (!vm.measured)
        return true;  // small VMs are not judged

    const double elapsed_us = static_cast<double>((now - vm.last_sample) / 1000);
    vm.last_sample = now;
    const Demand demand = measure_demand(vm, *context, threads, elapsed_us, settings);
    const bool all_overloaded = demand.overloaded == threads.size();
    const Judgement judgement = judge(vm, host, now, cls, threads.size(), all_overloaded);

    if (vm.name == settings.tracked_vm)
        spdlog::debug("Track VM id={}  {}  workload={:.1f}%  CPU_idle={:.1f}%  overload={}  left={}s",
                      vm.name, RateLimitClass(cls), demand.total_load / static_cast<double>(threads.size()),
                      idle_average, all_overloaded, judgement.seconds_left < 0 ? 0 : judgement.seconds_left);

    if (judgement.kind != vm.kind) {
        spdlog::debug("VM_id={} bhyve_pid={} {} defined as {}; vCPU count {}", vm.name, vm.pid,
                      RateLimitClass(cls), kind_name(judgement.kind), threads.size());
        vm.kind = judgement.kind;
    }
    place_in_class(vm, *context, host, cls, idle_average);
    return true;
}
