#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "controller/host_access.h"
#include "controller/rate_limit_class.h"
#include "recording/recording.h"

// The host of a replay: answers the controller's reads from a recording,
// tick by tick, and models what the replayed limits and classes change.
//
// A vCPU's recorded run and throttle time over an interval are what it got,
// and what the rate limit held back, under the recorded limit of its
// recorded class. What it wanted is taken from them: its run and throttle
// time, and for a throttled vCPU at least its whole limit and the throttle
// beyond it. On a host with no idle CPU (a saturated interval) contention
// hides demand: a vCPU that ran at the level the busiest unthrottled vCPUs
// ran at, below its limit, may have wanted more; it is taken to want what
// it wanted when the host last had room, or its whole limit if it never had.
//
// Under an equal replayed limit a vCPU gets exactly what it got. Under a
// lower one it runs at most the new limit and is held back what it wanted
// beyond it; the CPU it no longer runs goes first to the vCPUs that were
// waiting for CPU, and only what they do not take is idle. Under a higher
// one it also runs what it wanted beyond the old limit, up to the new one,
// as far as the host's idle CPU and the CPU freed by others allow, shared
// evenly. The host's idle time is the recorded one less what the vCPUs ran
// more, plus what they ran less. With the recorded limits and classes every
// answer is the recorded one.
// What a replay host replays.
struct ReplayMode {
    // The host without halvorn: the class-1 limit at 100 % throughout,
    // whatever the recording holds, and nobody moved.
    bool without_halvorn = false;
    // Knobs the operator set otherwise: read in place of the recorded values,
    // also where the recording shows them set anew; the replayed daemon may
    // still write the class-2 limit.
    std::optional<int> class2_rate_limit = std::nullopt;
    std::optional<int> class1_burst_secs = std::nullopt;
};

class ReplayHost final : public HostAccess {
public:
    struct Move {
        int32_t pid;
        uint32_t name;  // in the recording's texts
        int from;
        int to;
    };
    struct Step {
        int from;
        int to;
    };
    // What one VM wanted over the tick's interval and what the rate limit
    // of its replayed class held back, in microseconds of CPU time.
    struct VmCost {
        int32_t pid;
        uint32_t name;  // in the recording's texts
        int cls;        // the class in force over the interval
        double wanted_us;
        double held_us;
    };

    explicit ReplayHost(const Recording& recording, ReplayMode mode = {}) : recording_(recording), mode_(mode)
    {}

    // Prepares the answers of tick `index`. With `list_from_vms`, a VM-list
    // rebuild finds the VMs the tick evaluated (for a recording that starts
    // between two rebuilds).
    void begin_tick(size_t index, bool list_from_vms = false);

    // What happened in the tick begun last.
    const std::vector<Move>& moves() const { return moves_; }
    const std::vector<Step>& steps() const { return steps_; }
    // Steps of the class-2 rate limit.
    const std::vector<Step>& class2_steps() const { return class2_steps_; }
    // The VMs whose threads the tick read, with their costs.
    const std::vector<VmCost>& costs() const { return costs_; }
    // The recorded host had no idle CPU over the tick's interval and some
    // vCPUs waited for it: what they wanted is an estimate.
    bool wants_estimated() const { return wants_estimated_; }
    // The recording's CPU count at this tick.
    int cpus() const;
    // The replayed host's idle share over the tick's interval; none when the
    // counters give none.
    std::optional<double> idle_share() const { return idle_share_; }
    // Nanoseconds since the tick before, as far as replayed VMs were seen.
    int64_t interval_ns() const { return interval_ns_; }
    // The class-1 rate limit in force over the interval; none when unreadable.
    std::optional<int> class1_limit() const { return class1_.in_force; }
    // The class-2 rate limit in force over the interval; none when unreadable.
    std::optional<int> class2_limit() const { return class2_.in_force; }
    // vCPU time of VMs in class 2 over the interval: what a class-2 limit
    // above the recorded one let them run beyond the recording, and what
    // their limit still held back.
    struct Class2Time {
        int64_t given_back_us = 0;
        int64_t held_back_us = 0;
    };
    Class2Time class2_time() const { return class2_time_; }
    // Class the VM had over the interval, as replayed; unreadable_class
    // when unknown.
    int class_in_force(int32_t pid) const;
    // The same for the VM of the tick's row `row`, without a look-up.
    int class_in_force_at(size_t row) const;
    // Throttle times asked for that the recording does not hold (VMs the
    // recorded daemon judged too small to read them), answered as 0.
    uint64_t unrecorded_throttle_reads() const { return unrecorded_throttle_reads_; }

    bool is_open() const override;
    const std::string& error() const override;
    int64_t now() const override;
    CpuTimes cpu_times() const override;
    int cpu_count() const override { return cpus(); }
    BhyveProcesses bhyve_processes() const override;
    NumberedVcpus vcpu_threads(int process_group, int pid) const override;
    void read_vcpu_threads(int process_group, int pid, NumberedVcpus& threads) const override;
    KnobValue read_int_knob(Knob name) override;
    void write_int_knob(Knob name, int value, size_t size) override;
    bool process_exists(int pid) const override;
    std::unique_ptr<VmHandle> open_vm(int pid, const std::string& name) override;

private:
    class Handle;
    struct VcpuState {
        int32_t number = 0;
        uint64_t recorded_run = 0;
        uint64_t recorded_throttle = 0;
        bool throttle_known = false;
        // The replayed counters are the recorded ones plus these, in the
        // counters' own wrapping arithmetic.
        uint64_t run_offset = 0;
        uint64_t throttle_offset = 0;
        // What it wanted, as a share of a CPU, when the host last had room;
        // negative before that was seen.
        double share_with_room = -1.0;
    };
    // A rate-limit knob as replayed: the recording's value until the replayed
    // controller writes it, and the recording's again wherever it shows the
    // knob set behind the recorded daemon's back.
    struct FollowedLimit {
        bool readable = false;
        int value = 0;                // the replayed knob
        std::optional<int> expected;  // what the recording should read next
        std::optional<int> in_force;  // over the tick's interval, as replayed
        std::optional<int> recorded;  // over the tick's interval, as recorded

        // `set`: the operator's value, in place of the recorded one.
        void follow(const KnobRead& read, bool written, int32_t write, std::optional<int> set);
        std::optional<int> current() const { return readable ? std::optional<int>(value) : std::nullopt; }
    };
    struct VmState {
        int cls = unreadable_class;  // as replayed
        // The class the recording should read next; none before it was read.
        std::optional<int> expected_recorded;
        int class_in_force = unreadable_class;
        int64_t last_read_ns = 0;  // when its threads were last read
        std::vector<VcpuState> vcpus;
    };
    // One vCPU over the tick's interval, microseconds.
    struct Interval {
        VcpuState* vcpu;
        double length;
        double ran;
        double held;
        // The recorded and the replayed limits as shares (1 without a
        // limit), and 1 / length: worked out once a VM, not again for every
        // vCPU in every pass.
        double recorded_share;
        double replayed_share;
        double per_length;
        double wanted = 0.0;
        bool limit_changed;    // both limits known, and the replay's another
        bool waiting = false;  // ran below its limit for want of CPU
        double run = 0.0;      // as replayed
        double throttle = 0.0;
        double claim = 0.0;  // more it would run, were there CPU
        size_t cost = 0;     // its VM's entry of costs_
    };

    void follow_knobs(const TickRow& tick);
    void follow_class(VmState& state, const VmRow& vm);
    // The intervals of the VM's vCPUs since they were last read; none at
    // first sight or after a new boot, whose counters start afresh.
    void note_vcpus(VmState& state, const VmRow& vm, int64_t clock_ns);
    // The recorded cp_time since the last valid sample: ticks in all and
    // idle, over `interval_us`; none when the counters give none.
    struct CpuSample {
        uint64_t total;
        uint64_t idle;
        double interval_us;
    };
    std::optional<CpuSample> recorded_cpu(const TickRow& tick) const;
    // What the tick's intervals wanted; on a saturated host, estimated for
    // those that waited for CPU.
    void estimate_wants();
    // What the vCPU wanted over an interval of a host with room, folded
    // into its share_with_room; `per_length`: 1 / the interval's length.
    static void note_room(VcpuState& vcpu, double ran, double held, double per_length);
    // What each vCPU runs and is held back under the replayed limits; the
    // run time they got more than recorded (less: negative), us.
    double replay_intervals(std::optional<double> idle_us);
    void replay_idle(const TickRow& tick, const std::optional<CpuSample>& sample, double extra_run_us);
    std::optional<int> limit_of(int cls, bool replayed) const;
    // Where in the tick's rows the VM `pid` is; no_row when the tick has
    // none. (Not an optional: asked for several times a VM and tick, and
    // GCC returns an optional through memory.)
    static constexpr size_t no_row = SIZE_MAX;
    size_t row_index(int pid) const;
    // The replayed state of the VM of the tick's row `index`.
    VmState& state_at(size_t index);

    const Recording& recording_;
    const ReplayMode mode_;
    const TickRow* tick_ = nullptr;
    bool list_from_vms_ = false;
    std::unordered_map<int32_t, VmState> vms_;
    // The states of the tick's rows, by their place; null for a state
    // dropped since. Ticks list their VMs alike, so the tick before's
    // mostly serve again without a look-up.
    std::vector<VmState*> states_;
    std::vector<int32_t> state_pids_;
    mutable size_t hint_ = 0;  // where the next VM's row is looked for first
    // The storage of the handle an evaluation dropped, for the next one to
    // open: one handle a VM and tick would otherwise be an allocation each.
    std::unique_ptr<std::byte[]> spare_handle_;

    FollowedLimit class1_;
    FollowedLimit class2_;
    std::optional<int> burst_;

    // cp_time: the recorded counters with idle time shifted by `idle_shift_`
    // ticks from the busy ones (wrapping, as the counters do).
    uint64_t idle_shift_ = 0;
    std::optional<CpuTimes> last_valid_cpu_;
    int64_t last_valid_cpu_ns_ = 0;
    double pending_extra_us_ = 0.0;  // since the last valid sample
    std::optional<double> idle_share_;
    // The recorded host had no idle CPU over the tick's interval.
    bool saturated_ = false;
    // It had some: what the vCPUs wanted shows what they want with room.
    bool room_shown_ = false;
    bool wants_estimated_ = false;
    int64_t previous_clock_ns_ = 0;
    // A read's interval in microseconds and its inverse, for the interval
    // in nanoseconds they were worked out for: every VM of a tick has the same.
    int64_t read_interval_ns_ = -1;
    double read_length_us_ = 0.0;
    double read_per_length_ = 0.0;
    int64_t interval_ns_ = 0;

    // The tick's are the first `interval_count_`; the rest are rows of a
    // tick before, kept to be written over.
    std::vector<Interval> intervals_;
    size_t interval_count_ = 0;
    std::span<Interval> intervals() { return {intervals_.data(), interval_count_}; }
    // The claims of the tick's intervals on freed and on idle CPU, reused.
    std::vector<double*> waiting_claims_;
    std::vector<double*> raised_claims_;
    std::vector<Move> moves_;
    std::vector<Step> steps_;
    std::vector<VmCost> costs_;
    std::vector<Step> class2_steps_;
    Class2Time class2_time_;
    uint64_t unrecorded_throttle_reads_ = 0;
};
