#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/kvm_reader.h"

// What controller ticks read from the host: noted by the daemon's recorder,
// read back from the file by halvorn-replay. Rows live in flat arrays, so a
// day of ticks costs a handful of allocations.

inline constexpr uint32_t no_name = std::numeric_limits<uint32_t>::max();

enum class ThrottleRead : uint8_t {
    not_read,  // the tick did not ask (a VM too small to judge)
    unknown,   // asked, and the counters could not be read
    known,
};

struct VcpuRow {
    int32_t number = 0;
    ThrottleRead throttle = ThrottleRead::not_read;
    uint64_t run_us = 0;  // cumulative thread run time
    uint64_t throttle_us = 0;
};

enum class VmOutcome : uint8_t {
    gone,        // the bhyve process no longer exists
    unopenable,  // it exists, but libvmmapi could not open the VM
    opened,
};

struct VmRow {
    int32_t pid = 0;
    int32_t group = -1;  // process group of the vCPU threads; -1 unknown
    uint32_t name = no_name;
    VmOutcome outcome = VmOutcome::gone;
    bool threads_read = false;
    int32_t cls = -1;    // the class read, when opened
    int32_t set_to = 0;  // the class a move asked for; 0 none
    int32_t set_result = 0;
    uint32_t first_vcpu = 0;
    uint32_t vcpu_count = 0;
};

// A bhyve process as a VM-list rebuild found it.
struct ProcessRow {
    int32_t group = 0;
    int32_t pid = 0;
    uint32_t name = no_name;
};

struct KnobRead {
    bool read = false;  // the tick asked for it
    bool ok = false;
    int32_t value = 0;
};

struct TickRow {
    uint64_t seq = 0;
    int64_t clock_ns = 0;  // the controller's steady clock
    int64_t wall_ns = 0;   // the wall clock at the same moment
    uint32_t header = 0;   // index of the header in force
    bool host_open = true;
    uint32_t error = no_name;  // why the kernel reader did not open
    bool cpu_read = false;
    CpuTimes cpu;
    KnobRead class1;  // as first read: the limit in force since the last tick
    KnobRead class2;  // likewise
    KnobRead burst;
    bool class1_written = false;
    int32_t class1_write = 0;
    bool class2_written = false;  // the last write of the tick
    int32_t class2_write = 0;
    bool rebuilt = false;  // the VM list was rebuilt from `processes`
    uint32_t first_process = 0;
    uint32_t process_count = 0;
    uint32_t first_vm = 0;  // VMs in the order they were evaluated
    uint32_t vm_count = 0;
    uint32_t first_vcpu = 0;  // where the tick's vCPU rows begin
};

// Why a header was written.
enum class HeaderReason : uint8_t { start, reload, reopen, resume };

struct HeaderRow {
    int format = 0;
    std::string version;
    HeaderReason reason = HeaderReason::start;
    int32_t cpus = 0;
    int32_t pid = 0;
    int64_t update_time = 0;  // ms
    int64_t steady_ns = 0;
    int64_t wall_ns = 0;
    std::string settings;  // INI text
};

class Recording {
public:
    std::vector<HeaderRow> headers;
    std::vector<TickRow> ticks;
    std::vector<VmRow> vms;
    std::vector<VcpuRow> vcpus;
    std::vector<ProcessRow> processes;

    std::span<const VmRow> vms_of(const TickRow& tick) const
    {
        return {vms.data() + tick.first_vm, tick.vm_count};
    }
    std::span<const VcpuRow> vcpus_of(const VmRow& vm) const
    {
        return {vcpus.data() + vm.first_vcpu, vm.vcpu_count};
    }
    std::span<const ProcessRow> processes_of(const TickRow& tick) const
    {
        return {processes.data() + tick.first_process, tick.process_count};
    }

    // Where in `vms` the row of `tick` for `pid` is, looked for first at the
    // row found last, then from `hint` on: ticks evaluate their VMs in pid
    // order, asking for each several times before the next.
    std::optional<size_t> find_vm(const TickRow& tick, int32_t pid, size_t& hint) const;

    uint32_t intern(std::string_view text);
    // Empty for no_name.
    const std::string& text(uint32_t index) const
    {
        return index < texts_.size() ? texts_[index] : no_text();
    }
    size_t text_count() const { return texts_.size(); }

    // Makes room for `more` ticks like those held: growing a day's rows
    // step by step would copy them over and over.
    void reserve_ticks(size_t more);
    // Drops every row, keeping the arrays' room.
    void clear_rows();
    // Drops the last tick with its VM, vCPU and process rows.
    void drop_last_tick();
    // Drops the ticks before `keep` with their rows, for a reader that
    // takes the ticks one at a time; the headers and texts stay.
    void drop_ticks_before(size_t keep);
    void clear_texts();

private:
    static const std::string& no_text();
    std::deque<std::string> texts_;  // a deque: the index's views stay valid as it grows
    std::unordered_map<std::string_view, uint32_t> text_index_;
};
