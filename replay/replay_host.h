#pragma once

#include <cstdint>
#include <optional>
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
// recorded class. Under an equal replayed limit it gets exactly that; under
// a higher one it also gets what was held back, up to the difference of the
// limits; under a lower one it runs at most the new limit and the rest is
// throttle. The host's idle time is the recorded one less what the vCPUs ran
// more, plus what they ran less, within 0 and the interval's capacity. With
// the recorded limits and classes every answer is the recorded one.
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

    explicit ReplayHost(const Recording& recording) : recording_(recording) {}

    // Prepares the answers of tick `index`. With `list_from_vms`, a VM-list
    // rebuild finds the VMs the tick evaluated (for a recording that starts
    // between two rebuilds).
    void begin_tick(size_t index, bool list_from_vms = false);

    // What happened in the tick begun last.
    const std::vector<Move>& moves() const { return moves_; }
    const std::vector<Step>& steps() const { return steps_; }
    // Steps of the class-2 rate limit.
    const std::vector<Step>& class2_steps() const { return class2_steps_; }
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
    // Throttle times asked for that the recording does not hold (VMs the
    // recorded daemon judged too small to read them), answered as 0.
    uint64_t unrecorded_throttle_reads() const { return unrecorded_throttle_reads_; }

    bool is_open() const override;
    const std::string& error() const override;
    int64_t now() const override;
    CpuTimes cpu_times() const override;
    BhyveProcesses bhyve_processes() const override;
    NumberedVcpus vcpu_threads(int process_group, int pid) const override;
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

        void follow(const KnobRead& read, bool written, int32_t write);
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

    void follow_knobs(const TickRow& tick);
    void follow_class(VmState& state, const VmRow& vm);
    // Run time the VM's vCPUs got more than recorded (less: negative), us.
    double replay_vcpus(VmState& state, const VmRow& vm, int64_t clock_ns);
    void replay_idle(const TickRow& tick, double extra_run_us);
    std::optional<int> limit_of(int cls, bool replayed) const;
    // The tick's row of the VM `pid`; null when the tick has none.
    const VmRow* row_of(int pid) const;

    const Recording& recording_;
    const TickRow* tick_ = nullptr;
    bool list_from_vms_ = false;
    std::unordered_map<int32_t, VmState> vms_;
    mutable size_t hint_ = 0;  // where the next VM's row is looked for first

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
    int64_t previous_clock_ns_ = 0;
    int64_t interval_ns_ = 0;

    std::vector<Move> moves_;
    std::vector<Step> steps_;
    std::vector<Step> class2_steps_;
    Class2Time class2_time_;
    uint64_t unrecorded_throttle_reads_ = 0;
};
