#include "replay/replay_host.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <unordered_set>

#include "controller/rate_limit_bounds.h"
#include "controller/vm_handle.h"

namespace {

// Microseconds as a whole number, within what a tick could hold.
constexpr int64_t most_us = int64_t{1} << 53;

double counted(uint64_t us) { return static_cast<double>(std::min<uint64_t>(us, most_us)); }

// std::llround for the microseconds of a tick, without a call into libm:
// half away from zero, exact below 2^53.
int64_t rounded(double us)
{
    if (!(std::fabs(us) < static_cast<double>(most_us)))
        return std::llround(us);
    auto whole = static_cast<int64_t>(us);
    const double part = us - static_cast<double>(whole);
    if (part >= 0.5)
        ++whole;
    else if (part <= -0.5)
        --whole;
    return whole;
}

// A limit in percent as a share of the interval; none is no limit.
double limit_share(std::optional<int> limit) { return limit ? std::clamp(*limit, 0, 100) / 100.0 : 1.0; }

// Below this share of idle CPU the recorded host had none to speak of, and
// vCPUs may have waited for it.
constexpr double saturated_idle_share = 3.0;
// A vCPU that ran at least this part of what the busiest unthrottled vCPUs
// ran, on a saturated host, ran as much as it was given.
constexpr double contention_level = 0.5;
// Just below its limit is at its limit: rates and clocks are not exact.
constexpr double at_limit = 0.98;
// How fast what a vCPU wants with room follows the intervals that show it.
constexpr double with_room_weight = 0.2;

// What a vCPU that did not wait for CPU wanted: what it ran and was held
// back, and when held back by its limit, all of the limit and more.
double wanted_unhindered(double ran, double held, double limit, double length)
{
    return held > 0.0 ? std::min(std::max(ran, limit * length) + held, length) : ran + held;
}

// Shares `pool` evenly among the claims, none getting more than it claims
// (water-filling); returns what is left.
double share_out(std::vector<double*>& claims, double pool)
{
    std::sort(claims.begin(), claims.end(), [](const double* a, const double* b) { return *a < *b; });
    size_t left = claims.size();
    for (double* claim : claims) {
        const double even = pool / static_cast<double>(left--);
        const double given = std::min(*claim, even);
        *claim = given;
        pool -= given;
    }
    return pool;
}

}  // namespace

// One VM as the recording holds it for this tick, with its replayed state.
class ReplayHost::Handle final : public VmHandle {
public:
    Handle(ReplayHost& host, const VmRow* row, size_t index) : host_(host), row_(row), index_(index) {}
    // Built in storage the host lends (see open_vm); deleting one gives the
    // storage back for the next.
    void operator delete(Handle* handle, std::destroying_delete_t)
    {
        ReplayHost& host = handle->host_;
        handle->~Handle();
        std::unique_ptr<std::byte[]> storage(reinterpret_cast<std::byte*>(handle));
        if (!host.spare_handle_)
            host.spare_handle_ = std::move(storage);
    }

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
    ThrottleTime throttle_us(int vcpu) const override
    {
        if (!is_open())
            return std::nullopt;
        if (replayed_ == nullptr)
            bind_vcpus();
        // The controller asks for the vCPUs in the order it was given them.
        size_t i = next_vcpu_;
        if (i >= vcpu_count_ || recorded_[i].number != vcpu) {
            for (i = 0; i < vcpu_count_ && recorded_[i].number != vcpu; ++i) {
            }
            if (i == vcpu_count_)
                return 0;
        }
        next_vcpu_ = i + 1;
        if (recorded_[i].throttle == ThrottleRead::unknown)
            return std::nullopt;
        if (recorded_[i].throttle == ThrottleRead::not_read)
            ++host_.unrecorded_throttle_reads_;
        const VcpuState& replayed = replayed_[i];
        const uint64_t base = replayed.throttle_known ? replayed.recorded_throttle : 0;
        return base + replayed.throttle_offset;
    }

private:
    VmState& state() const
    {
        if (state_ == nullptr)
            state_ = &host_.state_at(index_);
        return *state_;
    }
    // The recorded and the replayed vCPUs, side by side, for the evaluation
    // to ask after one by one.
    void bind_vcpus() const
    {
        const std::span<const VcpuRow> recorded = host_.recording_.vcpus_of(*row_);
        const VmState& vm = state();
        recorded_ = recorded.data();
        replayed_ = vm.vcpus.data();
        vcpu_count_ = std::min(recorded.size(), vm.vcpus.size());
    }

    ReplayHost& host_;
    const VmRow* row_;
    size_t index_;  // of the row in the tick's
    mutable VmState* state_ = nullptr;
    mutable const VcpuRow* recorded_ = nullptr;
    mutable const VcpuState* replayed_ = nullptr;
    mutable size_t vcpu_count_ = 0;
    mutable size_t next_vcpu_ = 0;  // where the next vCPU asked for is looked for first
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
    if (!tick.host_open) {
        // A tick without its kernel reader reads nothing; its rows, if any,
        // find their states when asked.
        state_pids_.clear();
        for (const VmRow& vm : recording_.vms_of(tick))
            state_pids_.push_back(vm.pid);
        states_.assign(state_pids_.size(), nullptr);
        return;
    }

    follow_knobs(tick);
    interval_count_ = 0;
    costs_.clear();
    const std::optional<CpuSample> sample = recorded_cpu(tick);
    const std::optional<double> idle_us =
        sample
            ? std::optional<double>(static_cast<double>(sample->idle) / static_cast<double>(sample->total) *
                                    sample->interval_us * std::max(cpus(), 1))
            : std::nullopt;
    const double capacity_us = static_cast<double>(interval_ns_) / 1000.0 * std::max(cpus(), 1);
    saturated_ = idle_us && capacity_us > 0.0 && *idle_us * 100.0 < saturated_idle_share * capacity_us;
    room_shown_ = !saturated_ && idle_us;
    if (tick.rebuilt) {
        // States of VMs gone from the process table, dropped before the
        // tick's intervals point into them: a VM the tick reads all the
        // same (a damaged recording) starts afresh.
        std::unordered_set<int32_t> running;
        for (const ProcessRow& process : recording_.processes_of(tick))
            running.insert(process.pid);
        std::erase_if(vms_, [&running](const auto& entry) { return !running.contains(entry.first); });
        for (size_t j = 0; j < states_.size(); ++j)
            if (!running.contains(state_pids_[j]))
                states_[j] = nullptr;
    }
    const std::span<const VmRow> rows = recording_.vms_of(tick);
    states_.resize(rows.size(), nullptr);
    state_pids_.resize(rows.size(), 0);
    for (size_t j = 0; j < rows.size(); ++j) {
        const VmRow& vm = rows[j];
        if (states_[j] == nullptr || state_pids_[j] != vm.pid) {
            states_[j] = &vms_[vm.pid];
            state_pids_[j] = vm.pid;
        }
        VmState& state = *states_[j];
        if (vm.outcome == VmOutcome::opened && vm.cls != unreadable_class)
            follow_class(state, vm);
        state.class_in_force = state.cls;
        if (vm.threads_read) {
            costs_.push_back({vm.pid, vm.name, state.class_in_force, 0.0, 0.0});
            note_vcpus(state, vm, tick.clock_ns);
        }
    }
    estimate_wants();
    replay_idle(tick, sample, replay_intervals(idle_us));
}

void ReplayHost::FollowedLimit::follow(const KnobRead& read, bool written, int32_t write,
                                       std::optional<int> set)
{
    if (read.read) {
        if (!read.ok) {
            readable = false;
            expected.reset();
            recorded.reset();
        } else {
            recorded = read.value;
            // At the start, or set behind the recorded daemon's back: the
            // replay follows, unless the operator's value stands in.
            if (!readable || expected != read.value)
                value = set.value_or(read.value);
            readable = true;
            expected = written ? write : read.value;
        }
    }
    in_force = current();
}

void ReplayHost::follow_knobs(const TickRow& tick)
{
    class1_.follow(tick.class1, tick.class1_written, tick.class1_write, std::nullopt);
    class2_.follow(tick.class2, tick.class2_written, tick.class2_write, mode_.class2_rate_limit);
    if (mode_.without_halvorn) {
        class1_.readable = true;
        class1_.value = rate_limit_ceiling;
        class1_.in_force = rate_limit_ceiling;
    }
    if (tick.burst.read)
        burst_ = tick.burst.ok ? std::optional<int>(mode_.class1_burst_secs.value_or(tick.burst.value))
                               : std::nullopt;
}

void ReplayHost::follow_class(VmState& state, const VmRow& vm)
{
    // A VM seen for the first time, or moved by someone other than the
    // recorded daemon (classes other than 1 and 2 are never the daemon's).
    if (state.expected_recorded != vm.cls)
        state.cls = vm.cls;
    state.expected_recorded = vm.set_to != 0 && vm.set_result == set_class_done ? vm.set_to : vm.cls;
    // Without halvorn nobody had moved a VM to class 2 either.
    if (mode_.without_halvorn && state.cls == miner_class)
        state.cls = normal_class;
}

std::optional<int> ReplayHost::limit_of(int cls, bool replayed) const
{
    if (cls == normal_class)
        return replayed ? class1_.in_force : class1_.recorded;
    if (cls == miner_class)
        return replayed ? class2_.in_force : class2_.recorded;
    return std::nullopt;
}

void ReplayHost::note_vcpus(VmState& state, const VmRow& vm, int64_t clock_ns)
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
        return;
    }
    if (clock_ns - state.last_read_ns != read_interval_ns_) {
        read_interval_ns_ = clock_ns - state.last_read_ns;
        read_length_us_ = static_cast<double>(read_interval_ns_) / 1000.0;
        read_per_length_ = 1.0 / read_length_us_;
    }
    const double length = read_length_us_;
    const double per_length = read_per_length_;
    state.last_read_ns = clock_ns;
    const std::optional<int> recorded_limit = limit_of(vm.cls, false);
    const std::optional<int> replayed_limit = limit_of(state.class_in_force, true);
    // Under its recorded limit, on a host with CPU to spare, a vCPU runs
    // as recorded and shares nothing out: its costs are taken here, without
    // an interval for the rest of the tick to go over.
    const bool limit_changed = recorded_limit && replayed_limit && *recorded_limit != *replayed_limit;
    const bool as_recorded = !saturated_ && !limit_changed;
    const double limit = limit_share(recorded_limit);
    const double replayed_share = limit_share(replayed_limit);
    for (size_t i = 0; i < recorded.size(); ++i) {
        VcpuState& vcpu = state.vcpus[i];
        const VcpuRow& now = recorded[i];
        const bool throttle_read = now.throttle == ThrottleRead::known;
        const double ran = now.run_us >= vcpu.recorded_run ? counted(now.run_us - vcpu.recorded_run) : 0.0;
        const double held = throttle_read && vcpu.throttle_known && now.throttle_us >= vcpu.recorded_throttle
                                ? counted(now.throttle_us - vcpu.recorded_throttle)
                                : 0.0;
        vcpu.recorded_run = now.run_us;
        if (throttle_read) {
            vcpu.recorded_throttle = now.throttle_us;
            vcpu.throttle_known = true;
        }
        if (length > 0.0 && as_recorded) {
            if (room_shown_)
                note_room(vcpu, ran, held, per_length);
            VmCost& cost = costs_.back();
            cost.wanted_us += wanted_unhindered(ran, held, limit, length);
            cost.held_us += held;
            if (cost.cls == miner_class)
                class2_time_.held_back_us += rounded(held);
        } else if (length > 0.0) {
            // Written field by field over a row of a tick before: a row
            // built aside and copied in, or cleared first, costs more than
            // the rest of this loop.
            if (interval_count_ == intervals_.size())
                intervals_.emplace_back();
            Interval& v = intervals_[interval_count_++];
            v.vcpu = &vcpu;
            v.length = length;
            v.ran = ran;
            v.held = held;
            v.limit_changed = limit_changed;
            v.recorded_share = limit;
            v.replayed_share = replayed_share;
            v.per_length = per_length;
            v.wanted = 0.0;
            v.waiting = false;
            v.run = 0.0;
            v.throttle = 0.0;
            v.claim = 0.0;
            v.cost = costs_.size() - 1;
        }
    }
}

std::optional<ReplayHost::CpuSample> ReplayHost::recorded_cpu(const TickRow& tick) const
{
    if (!tick.cpu_read || !tick.cpu.valid || !last_valid_cpu_)
        return std::nullopt;
    const CpuTimes& now = tick.cpu;
    const CpuTimes& then = *last_valid_cpu_;
    const uint64_t total = (now.user + now.nice + now.sys + now.intr + now.idle) -
                           (then.user + then.nice + then.sys + then.intr + then.idle);
    const uint64_t idle = now.idle - then.idle;
    const double interval_us = static_cast<double>(tick.clock_ns - last_valid_cpu_ns_) / 1000.0;
    // Counters that stepped back or did not move give no share.
    constexpr uint64_t implausible = uint64_t{1} << 53;
    if (total == 0 || total >= implausible || idle > total || interval_us <= 0.0)
        return std::nullopt;
    return CpuSample{total, idle, interval_us};
}

void ReplayHost::note_room(VcpuState& vcpu, double ran, double held, double per_length)
{
    if (!vcpu.throttle_known)
        return;
    const double share = (ran + held) * per_length;
    double& seen = vcpu.share_with_room;
    seen = seen < 0.0 ? share : seen + with_room_weight * (share - seen);
}

void ReplayHost::estimate_wants()
{
    wants_estimated_ = false;
    // What contention gave the busiest unthrottled vCPUs, as a share of
    // their interval.
    double given = 0.0;
    for (const Interval& v : intervals())
        if (v.held == 0.0)
            given = std::max(given, v.ran / v.length);
    for (Interval& v : intervals()) {
        const double limit = v.recorded_share;
        if (saturated_ && v.held <= 0.0 && v.ran < at_limit * limit * v.length &&
            v.ran >= contention_level * given * v.length) {
            v.waiting = true;
            wants_estimated_ = true;
            const double with_room = v.vcpu->share_with_room >= 0.0 ? v.vcpu->share_with_room : limit;
            v.wanted = std::max(v.ran, std::min(with_room, limit) * v.length);
        } else {
            v.wanted = wanted_unhindered(v.ran, v.held, limit, v.length);
        }
        if (room_shown_)
            note_room(*v.vcpu, v.ran, v.held, v.per_length);
    }
}

double ReplayHost::replay_intervals(std::optional<double> idle_us)
{
    double freed = 0.0;
    std::vector<double*>& waiting = waiting_claims_;
    std::vector<double*>& raised = raised_claims_;
    waiting.clear();
    raised.clear();
    for (Interval& v : intervals()) {
        v.run = v.ran;
        v.throttle = v.held;
        if (v.limit_changed) {
            const double limit = v.replayed_share * v.length;
            v.run = std::min(v.ran, limit);
            v.throttle = std::max(0.0, v.wanted - limit);
            freed += v.ran - v.run;
            v.claim = std::max(0.0, std::min(v.wanted, limit) - v.run);
        } else if (v.waiting) {
            const double limit = v.replayed_share * v.length;  // a share of 1 without a limit
            v.claim = std::max(0.0, std::min(v.wanted, limit) - v.run);
        }
        if (v.claim > 0.0)
            (v.waiting ? waiting : raised).push_back(&v.claim);
    }
    // CPU a lower limit frees goes first to the vCPUs that waited for it;
    // the idle CPU recorded was idle while they waited, so they take none
    // of it. What a higher limit lets a vCPU run comes from either.
    const double left = share_out(waiting, freed);
    share_out(raised, idle_us ? *idle_us + left : std::numeric_limits<double>::infinity());
    double extra_run_us = 0.0;
    for (Interval& v : intervals()) {
        v.run += v.claim;
        if (v.run != v.ran || v.throttle != v.held) {
            extra_run_us += v.run - v.ran;
            // The counters' own wrapping arithmetic carries a negative step.
            v.vcpu->run_offset += static_cast<uint64_t>(rounded(v.run - v.ran));
            v.vcpu->throttle_offset += static_cast<uint64_t>(rounded(v.throttle - v.held));
        }
        VmCost& cost = costs_[v.cost];
        cost.wanted_us += v.wanted;
        cost.held_us += v.throttle;
        if (cost.cls == miner_class) {
            class2_time_.given_back_us += rounded(std::max(0.0, v.run - v.ran));
            class2_time_.held_back_us += rounded(v.throttle);
        }
    }
    return extra_run_us;
}

void ReplayHost::replay_idle(const TickRow& tick, const std::optional<CpuSample>& sample, double extra_run_us)
{
    pending_extra_us_ += extra_run_us;
    if (!tick.cpu_read || !tick.cpu.valid)
        return;
    const int cpus = recording_.headers[tick.header].cpus;
    if (sample && cpus > 0) {
        const auto total = static_cast<double>(sample->total);
        // cp_time ticks per microsecond of one CPU.
        const double ticks_per_us = total / (cpus * sample->interval_us);
        const double replayed =
            std::clamp(static_cast<double>(sample->idle) - ticks_per_us * pending_extra_us_, 0.0, total);
        const auto replayed_idle = static_cast<uint64_t>(rounded(replayed));
        idle_shift_ += replayed_idle - sample->idle;
        idle_share_ = static_cast<double>(replayed_idle) * 100.0 / total;
    }
    last_valid_cpu_ = tick.cpu;
    last_valid_cpu_ns_ = tick.clock_ns;
    pending_extra_us_ = 0.0;
}

int ReplayHost::cpus() const { return tick_ ? recording_.headers[tick_->header].cpus : 0; }

int ReplayHost::class_in_force(int32_t pid) const
{
    const auto it = vms_.find(pid);
    return it == vms_.end() ? unreadable_class : it->second.class_in_force;
}

int ReplayHost::class_in_force_at(size_t row) const
{
    if (row < states_.size() && states_[row] != nullptr)
        return states_[row]->class_in_force;
    const std::span<const VmRow> rows = tick_ ? recording_.vms_of(*tick_) : std::span<const VmRow>{};
    return row < rows.size() ? class_in_force(rows[row].pid) : unreadable_class;
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

NumberedVcpus ReplayHost::vcpu_threads(int process_group, int pid) const
{
    NumberedVcpus threads;
    read_vcpu_threads(process_group, pid, threads);
    return threads;
}

void ReplayHost::read_vcpu_threads(int, int pid, NumberedVcpus& threads) const
{
    // The recording keeps threads by VM; the group asked for is the one
    // the recorded VM was read under.
    const size_t row = row_index(pid);
    const VmState* state = row != no_row ? states_[row] : nullptr;
    if (row != no_row && state == nullptr) {
        const auto known = vms_.find(pid);
        state = known != vms_.end() ? &known->second : nullptr;
    }
    if (state == nullptr) {
        threads.clear();
        return;
    }
    // The recorded threads, or those last read should the recording not
    // have read them this time.
    threads.resize(state->vcpus.size());
    for (size_t i = 0; i < threads.size(); ++i) {
        const VcpuState& vcpu = state->vcpus[i];
        threads[i] = {vcpu.number, vcpu.recorded_run + vcpu.run_offset};
    }
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

size_t ReplayHost::row_index(int pid) const
{
    if (tick_ == nullptr)
        return no_row;
    // The controller asks for each VM a few times in a row, then for the
    // next, in the order the recorded one did: from the last one found on.
    const std::span<const VmRow> rows = recording_.vms_of(*tick_);
    const size_t from = std::min(hint_ > 0 ? hint_ - 1 : 0, rows.size());
    for (size_t i = from; i < rows.size(); ++i)
        if (rows[i].pid == pid) {
            hint_ = i + 1;
            return i;
        }
    for (size_t i = 0; i < from; ++i)
        if (rows[i].pid == pid) {
            hint_ = i + 1;
            return i;
        }
    return no_row;
}

ReplayHost::VmState& ReplayHost::state_at(size_t index)
{
    if (states_[index] == nullptr)
        states_[index] = &vms_[state_pids_[index]];
    return *states_[index];
}

bool ReplayHost::process_exists(int pid) const
{
    const size_t row = row_index(pid);
    return row != no_row && recording_.vms_of(*tick_)[row].outcome != VmOutcome::gone;
}

std::unique_ptr<VmHandle> ReplayHost::open_vm(int pid, const std::string& name)
{
    // libvmmapi opens by name: another name than the recorded daemon opened
    // under this pid is a VM the recording knows nothing of.
    const size_t index = row_index(pid);
    const VmRow* row = index != no_row ? &recording_.vms_of(*tick_)[index] : nullptr;
    if (row != nullptr && recording_.text(row->name) != name)
        row = nullptr;
    std::byte* storage = spare_handle_ ? spare_handle_.release() : new std::byte[sizeof(Handle)];
    return std::unique_ptr<VmHandle>(new (storage) Handle(*this, row, row != nullptr ? index : 0));
}
