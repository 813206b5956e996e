#pragma once

#include <memory>
#include <string>

#include "controller/host_access.h"
#include "recording/recording.h"

// Forwards one tick's host calls to the real host and notes what they read
// as the last tick of a Recording. Noting is an append: no formatting, no
// I/O, no change to what the tick sees.
class RecordingHost final : public HostAccess {
public:
    // Starts a tick row in `into`.
    RecordingHost(HostAccess& host, Recording& into);

    bool is_open() const override;
    const std::string& error() const override;
    int64_t now() const override;
    CpuTimes cpu_times() const override;
    BhyveProcesses bhyve_processes() const override;
    VcpuThreads vcpu_threads(int process_group) const override;
    KnobValue read_int_knob(const std::string& name) override;
    void write_int_knob(const std::string& name, int value, size_t size) override;
    bool process_exists(int pid) const override;
    std::unique_ptr<VmHandle> open_vm(const std::string& name) override;

private:
    class NotedVm;
    TickRow& tick() const { return into_.ticks.back(); }
    // The VM evaluated last; null before the first.
    VmRow* current_vm() const;

    HostAccess& host_;
    Recording& into_;
    mutable bool clock_noted_ = false;
};
