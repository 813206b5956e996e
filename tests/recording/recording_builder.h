// Recordings built row by row, for tests of what reads and replays them.
#pragma once

#include <string>
#include <vector>

#include "recording/recording.h"

struct Vcpu {
    int number;
    uint64_t run;
    ThrottleRead throttle = ThrottleRead::known;
    uint64_t throttled = 0;
};

struct Vm {
    int pid;
    int group;
    std::string name;
    VmOutcome outcome = VmOutcome::opened;
    int cls = 1;
    bool threads = true;
    std::vector<Vcpu> vcpus;
    int set_to = 0;
    int set_result = 0;
};

// Appends a tick that read `vms` and `cpu`, with knobs class 1 at 85, class 2
// unreadable, burst 30; a `rebuild` found the same VMs.
inline TickRow& add_tick(Recording& rec, uint64_t seq, int64_t clock, const std::vector<Vm>& vms,
                         CpuTimes cpu, bool rebuild = false)
{
    TickRow tick;
    tick.seq = seq;
    tick.clock_ns = clock;
    tick.wall_ns = clock + 1'700'000'000'000'000'000;
    tick.header = rec.headers.empty() ? 0 : static_cast<uint32_t>(rec.headers.size() - 1);
    tick.cpu_read = true;
    tick.cpu = cpu;
    tick.class1 = {true, true, 85};
    tick.class2 = {true, false, 0};
    tick.burst = {true, true, 30};
    tick.first_vm = static_cast<uint32_t>(rec.vms.size());
    tick.first_vcpu = static_cast<uint32_t>(rec.vcpus.size());
    tick.first_process = static_cast<uint32_t>(rec.processes.size());
    if (rebuild) {
        tick.rebuilt = true;
        for (const Vm& vm : vms)
            rec.processes.push_back({vm.group, vm.pid, rec.intern(vm.name)});
        tick.process_count = static_cast<uint32_t>(vms.size());
    }
    for (const Vm& vm : vms) {
        VmRow row;
        row.pid = vm.pid;
        row.group = vm.group;
        row.name = rec.intern(vm.name);
        row.outcome = vm.outcome;
        row.cls = vm.outcome == VmOutcome::opened ? vm.cls : -1;
        row.set_to = vm.set_to;
        row.set_result = vm.set_result;
        row.threads_read = vm.outcome == VmOutcome::opened && vm.threads;
        row.first_vcpu = static_cast<uint32_t>(rec.vcpus.size());
        if (row.threads_read)
            for (const Vcpu& vcpu : vm.vcpus)
                rec.vcpus.push_back({vcpu.number, vcpu.throttle, vcpu.run,
                                     vcpu.throttle == ThrottleRead::known ? vcpu.throttled : 0});
        row.vcpu_count = static_cast<uint32_t>(rec.vcpus.size()) - row.first_vcpu;
        rec.vms.push_back(row);
    }
    tick.vm_count = static_cast<uint32_t>(vms.size());
    rec.ticks.push_back(tick);
    return rec.ticks.back();
}

// A cp_time sample: `idle` and `busy` ticks, the busy ones split user / sys.
inline CpuTimes cpu(uint64_t busy, uint64_t idle, bool valid = true)
{
    CpuTimes times;
    times.user = busy - busy / 4;
    times.sys = busy / 4;
    times.idle = idle;
    times.valid = valid;
    return times;
}
