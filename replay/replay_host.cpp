#include "replay/replay_host.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "controller/vm_handle.h"

namespace {

// Microseconds as a whole number, within what a tick could hold.
constexpr int64_t most_us = int64_t{1} << 53;

int64_t microseconds(double us) { return std::llround(std::clamp(us, 0.0, static_cast<double>(most_us))); }

int64_t counted(uint64_t us) { return static_cast<int64_t>(std::min<uint64_t>(us, most_us)); }

}  // namespace

// One VM as the recording holds it for this tick, with its replayed state.
class ReplayHost::Handle final : public VmHandle {
public:
    Handle(ReplayHost& host, const VmRow* row) : host_(host), row_(row) {}

    bool is_open() const override { return row_ != nullptr && row_->outcome == VmOutcome::opened; }
    int get_class() const override
    {
        if (!is_open() || row_->cls == unreadable_class)
            return unreadable_class;  // unreadable then, unreadable now
        return state().cls;
    }
    int set_class(int cls) override
    {
        if (!is_open())
            return set_class_no_context;
        // A move the library refused to the recorded daemon is refused again.
        if (row_->set_to == cls && row_->set_result != set_class_done)
            return row_->set_result;
        VmState& vm = state();
        host_.moves_.push_back({row_->pid, row_->name, vm.cls, cls});
        vm.cls = cls;
        return set_class_done;
    }
    std::optional<uint64_t> throttle_us(int vcpu) const override
    {
        if (!is_open())
            return std::nullopt;
        const std::span<const VcpuRow> recorded = host_.recording_.vcpus_of(*row_);
        const VmState& vm = state();
        for (size_t i = 0; i < recorded.size() && i < vm.vcpus.size(); ++i) {
            if (recorded[i].number != vcpu)
                continue;
            const VcpuState& replayed = vm.vcpus[i];
            if (recorded[i].throttle == ThrottleRead::unknown)
                return std::nullopt;
            if (recorded[i].throttle == ThrottleRead::not_read)
                ++host_.unrecorded_throttle_reads_;
            const uint64_t base = replayed.throttle_known ? replayed.recorded_throttle : 0;
            return base + replayed.throttle_offset;
        }
        return 0;
    }

private:
    VmState& state() const { return host_.vms_[row_->pid]; }

    ReplayHost& host_;
    const VmRow* row_;
};

void ReplayHost::begin_tick(size_t index, bool list_from_vms)
{
    tick_ = &recording_.ticks[index];
    list_from_vms_ = list_from_vms;
    moves_.clear();
    steps_.clear();
    class2_steps_.clear();
    class2_time_ = {};
    hint_ = 0;
    idle_share_.reset();
    const TickRow& tick = *tick_;
    // A clock that starts lower again is a host restarted: nothing carries over.
    if (tick.clock_ns < previous_clock_ns_) {
        last_valid_cpu_.reset();
        previous_clock_ns_ = 0;
    }
    interval_ns_ = previous_clock_ns_ > 0 ? tick.clock_ns - previous_clock_ns_ : 0;
    previous_clock_ns_ = tick.clock_ns;
    if (!tick.host_open)
        return;  // a tick without its kernel reader reads nothing

    follow_knobs(tick);
    double extra_run_us = 0.0;
    for (const VmRow& vm : recording_.vms_of(tick)) {
        VmState& state = vms_[vm.pid];
        if (vm.outcome == VmOutcome::opened && vm.cls != unreadable_class)
            follow_class(state, vm);
        state.class_in_force = state.cls;
        if (vm.threads_read)
            extra_run_us += replay_vcpus(state, vm, tick.clock_ns);
    }
    if (tick.rebuilt) {
        // States of VMs gone from the process table.
        std::unordered_set<int32_t> running;
        for (const ProcessRow& process : recording_.processes_of(tick))
            running.insert(process.pid);
        std::erase_if(vms_, [&running](const auto& entry) { return !running.contains(entry.first); });
    }
    replay_idle(tick, extra_run_us);
}

void ReplayHost::FollowedLimit::follow(const KnobRead& read, bool written, int32_t write)
{
    if (read.read) {
        if (!read.ok) {
            readable = false;
            expected.reset();
            recorded.reset();
        } else {
            recorded = read.value;
            // At the start, or set behind the recorded daemon's back: the
            // replay follows.
            if (!readable || expected != read.value)
                value = read.value;
            readable = true;
            expected = written ? write : read.value;
        }
    }
    in_force = current();
}

void ReplayHost::follow_knobs(const TickRow& tick)
{
    class1_.follow(tick.class1, tick.class1_written, tick.class1_write);
    class2_.follow(tick.class2, tick.class2_written, tick.class2_write);
    if (tick.burst.read)
        burst_ = tick.burst.ok ? std::optional<int>(tick.burst.value) : std::nullopt;
}

void ReplayHost::follow_class(VmState& state, const VmRow& vm)
{
    // A VM seen for the first time, or moved by someone other than the
    // recorded daemon (classes other than 1 and 2 are never the daemon's).
    if (state.expected_recorded != vm.cls)
        state.cls = vm.cls;
    state.expected_recorded = vm.set_to != 0 && vm.set_result == set_class_done ? vm.set_to : vm.cls;
}

std::optional<int> ReplayHost::limit_of(int cls, bool replayed) const
{
    if (cls == normal_class)
        return replayed ? class1_.in_force : class1_.recorded;
    if (cls == miner_class)
        return replayed ? class2_.in_force : class2_.recorded;
    return std::nullopt;
}

double ReplayHost::replay_vcpus(VmState& state, const VmRow& vm, int64_t clock_ns)
{
    const std::span<const VcpuRow> recorded = recording_.vcpus_of(vm);
    const bool same = state.vcpus.size() == recorded.size() &&
                      std::equal(recorded.begin(), recorded.end(), state.vcpus.begin(),
                                 [](const VcpuRow& r, const VcpuState& s) { return r.number == s.number; });
    if (!same) {
        // First sight, or another vCPU count: a new boot, counters as recorded.
        state.vcpus.clear();
        for (const VcpuRow& vcpu : recorded)
            state.vcpus.push_back(
                {vcpu.number, vcpu.run_us, vcpu.throttle_us, vcpu.throttle == ThrottleRead::known, 0, 0});
        state.last_read_ns = clock_ns;
        return 0.0;
    }
    const double interval_us = static_cast<double>(clock_ns - state.last_read_ns) / 1000.0;
    state.last_read_ns = clock_ns;
    const std::optional<int> recorded_limit = limit_of(vm.cls, false);
    const std::optional<int> replayed_limit = limit_of(state.class_in_force, true);
    const bool adjust =
        recorded_limit && replayed_limit && *recorded_limit != *replayed_limit && interval_us > 0.0;
    const bool in_class2 = state.class_in_force == miner_class;
    double extra_run_us = 0.0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        VcpuState& vcpu = state.vcpus[i];
        const VcpuRow& now = recorded[i];
        const bool throttle_read = now.throttle == ThrottleRead::known;
        const int64_t held = throttle_read && vcpu.throttle_known && now.throttle_us >= vcpu.recorded_throttle
                                 ? counted(now.throttle_us - vcpu.recorded_throttle)
                                 : 0;
        int64_t more = 0;  // run time replayed beyond the recorded
        if (adjust) {
            const int64_t ran = now.run_us >= vcpu.recorded_run ? counted(now.run_us - vcpu.recorded_run) : 0;
            if (*replayed_limit > *recorded_limit) {
                const double room = (*replayed_limit - *recorded_limit) / 100.0 * interval_us;
                more = std::min(held, microseconds(room));
            } else {
                const double cap = std::max(0, *replayed_limit) / 100.0 * interval_us;
                more = -std::max<int64_t>(0, ran - microseconds(cap));
            }
            vcpu.run_offset += static_cast<uint64_t>(more);
            vcpu.throttle_offset -= static_cast<uint64_t>(more);
            extra_run_us += static_cast<double>(more);
        }
        if (in_class2) {
            class2_time_.given_back_us += std::max<int64_t>(0, more);
            class2_time_.held_back_us += std::max<int64_t>(0, held - more);
        }
        vcpu.recorded_run = now.run_us;
        if (throttle_read) {
            vcpu.recorded_throttle = now.throttle_us;
            vcpu.throttle_known = true;
        }
    }
    return extra_run_us;
}

void ReplayHost::replay_idle(const TickRow& tick, double extra_run_us)
{
    pending_extra_us_ += extra_run_us;
    if (!tick.cpu_read || !tick.cpu.valid)
        return;
    const CpuTimes& now = tick.cpu;
    if (last_valid_cpu_) {
        const CpuTimes& then = *last_valid_cpu_;
        const uint64_t total = (now.user + now.nice + now.sys + now.intr + now.idle) -
                               (then.user + then.nice + then.sys + then.intr + then.idle);
        const uint64_t idle = now.idle - then.idle;
        const double interval_us = static_cast<double>(tick.clock_ns - last_valid_cpu_ns_) / 1000.0;
        const int cpus = recording_.headers[tick.header].cpus;
        // Counters that stepped back or did not move give no share.
        constexpr uint64_t implausible = uint64_t{1} << 53;
        if (total > 0 && total < implausible && idle <= total && cpus > 0 && interval_us > 0.0) {
            // cp_time ticks per microsecond of one CPU.
            const double ticks_per_us = static_cast<double>(total) / (cpus * interval_us);
            const double replayed = std::clamp(static_cast<double>(idle) - ticks_per_us * pending_extra_us_,
                                               0.0, static_cast<double>(total));
            const auto replayed_idle = static_cast<uint64_t>(std::llround(replayed));
            idle_shift_ += replayed_idle - idle;
            idle_share_ = static_cast<double>(replayed_idle) * 100.0 / static_cast<double>(total);
        }
    }
    last_valid_cpu_ = now;
    last_valid_cpu_ns_ = tick.clock_ns;
    pending_extra_us_ = 0.0;
}

int ReplayHost::class_in_force(int32_t pid) const
{
    const auto it = vms_.find(pid);
    return it == vms_.end() ? unreadable_class : it->second.class_in_force;
}

bool ReplayHost::is_open() const { return tick_ != nullptr && tick_->host_open; }

const std::string& ReplayHost::error() const { return recording_.text(tick_ ? tick_->error : no_name); }

int64_t ReplayHost::now() const { return tick_ ? tick_->clock_ns : 0; }

CpuTimes ReplayHost::cpu_times() const
{
    if (tick_ == nullptr || !tick_->cpu_read)
        return {};
    CpuTimes times = tick_->cpu;
    if (times.valid) {
        // Wrapping arithmetic, as the controller's own differences are.
        times.idle += idle_shift_;
        times.user -= idle_shift_;
    }
    return times;
}

BhyveProcesses ReplayHost::bhyve_processes() const
{
    BhyveProcesses processes;
    if (tick_ == nullptr)
        return processes;
    if (tick_->rebuilt) {
        for (const ProcessRow& process : recording_.processes_of(*tick_))
            processes.emplace(std::pair{process.group, process.pid}, recording_.text(process.name));
    } else if (list_from_vms_) {
        for (const VmRow& vm : recording_.vms_of(*tick_))
            if (vm.name != no_name)
                processes.emplace(std::pair{vm.group, vm.pid}, recording_.text(vm.name));
    }
    return processes;
}

NumberedVcpus ReplayHost::vcpu_threads(int, int pid) const
{
    // The recording keeps threads by VM; the group asked for is the one
    // the recorded VM was read under.
    NumberedVcpus threads;
    const auto state = vms_.find(pid);
    if (state == vms_.end() || row_of(pid) == nullptr)
        return threads;
    // The recorded threads, or those last read should the recording not
    // have read them this time.
    threads.reserve(state->second.vcpus.size());
    for (const VcpuState& vcpu : state->second.vcpus)
        threads.push_back({vcpu.number, vcpu.recorded_run + vcpu.run_offset});
    return threads;
}

KnobValue ReplayHost::read_int_knob(Knob name)
{
    std::optional<int> value;
    switch (name) {
    case Knob::class1_rate_limit: value = class1_.current(); break;
    case Knob::class2_rate_limit: value = class2_.current(); break;
    case Knob::class1_burst_secs: value = burst_; break;
    }
    return value ? KnobValue{true, *value, sizeof(int)} : KnobValue{};
}

void ReplayHost::write_int_knob(Knob name, int value, size_t)
{
    if (name == Knob::class1_burst_secs)
        return;
    FollowedLimit& knob = name == Knob::class1_rate_limit ? class1_ : class2_;
    (name == Knob::class1_rate_limit ? steps_ : class2_steps_).push_back({knob.value, value});
    knob.value = value;
}

const VmRow* ReplayHost::row_of(int pid) const
{
    if (tick_ == nullptr)
        return nullptr;
    const std::optional<size_t> row = recording_.find_vm(*tick_, pid, hint_);
    return row ? &recording_.vms[*row] : nullptr;
}

bool ReplayHost::process_exists(int pid) const
{
    const VmRow* row = row_of(pid);
    return row != nullptr && row->outcome != VmOutcome::gone;
}

std::unique_ptr<VmHandle> ReplayHost::open_vm(int pid, const std::string& name)
{
    // libvmmapi opens by name: another name than the recorded daemon opened
    // under this pid is a VM the recording knows nothing of.
    const VmRow* row = row_of(pid);
    if (row != nullptr && recording_.text(row->name) != name)
        row = nullptr;
    return std::make_unique<Handle>(*this, row);
}
