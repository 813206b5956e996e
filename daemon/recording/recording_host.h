#pragma once

#include <memory>
#include <string>

#include "controller/host_access.h"
#include "recording/recording.h"

// Forwards one tick's host calls to the real host and notes what they read
// as the last tick of a Recording. Noting is an append: no formatting, no
// I/O, no change to what the tick sees. Each per-VM call goes to the row of
// the VM it names, in the order the VMs were first named.
class RecordingHost final : public HostAccess {
public:
    // Starts a tick row in `into`.
    RecordingHost(HostAccess& host, Recording& into);

    bool is_open() const override;
    const std::string& error() const override;
    int64_t now() const override;
    CpuTimes cpu_times() const override;
    int cpu_count() const override { return host_.cpu_count(); }
    BhyveProcesses bhyve_processes() const override;
    NumberedVcpus vcpu_threads(int process_group, int pid) const override;
    KnobValue read_int_knob(Knob name) override;
    void write_int_knob(Knob name, int value, size_t size) override;
    bool process_exists(int pid) const override;
    std::unique_ptr<VmHandle> open_vm(int pid, const std::string& name) override;

private:
    class NotedVm;
    TickRow& tick() const { return into_.ticks.back(); }
    // The row of the VM `pid` in this tick, made at its first call.
    VmRow& vm_row(int pid) const;

    HostAccess& host_;
    Recording& into_;
    mutable bool clock_noted_ = false;
    mutable size_t hint_ = 0;  // where the next VM's row is looked for first
};
