#pragma once

#include "controller/host_access.h"

// The real host: the tick's kernel reader, sysctl knobs, kill(2), the
// steady clock and libvmmapi.
class KvmHost final : public HostAccess {
public:
    explicit KvmHost(const KvmReader& reader) : reader_(reader) {}

    bool is_open() const override { return reader_.handle != nullptr; }
    const std::string& error() const override { return reader_.error(); }
    int64_t now() const override;
    CpuTimes cpu_times() const override { return reader_.cpu_times(); }
    BhyveProcesses bhyve_processes() const override { return ::bhyve_processes(reader_); }
    VcpuThreads vcpu_threads(int process_group) const override { return reader_.vcpu_threads(process_group); }
    KnobValue read_int_knob(const std::string& name) override { return ::read_int_knob(name); }
    void write_int_knob(const std::string& name, int value, size_t size) override;
    bool process_exists(int pid) const override;
    std::unique_ptr<VmHandle> open_vm(const std::string& name) override;

private:
    const KvmReader& reader_;
};
