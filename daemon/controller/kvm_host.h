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
    int cpu_count() const override;
    BhyveProcesses bhyve_processes() const override { return ::bhyve_processes(reader_); }
    // Thread names become vCPU numbers here, once.
    NumberedVcpus vcpu_threads(int process_group, int) const override
    {
        return numbered_vcpus(reader_.vcpu_threads(process_group));
    }
    KnobValue read_int_knob(Knob name) override;
    void write_int_knob(Knob name, int value, size_t size) override;
    bool process_exists(int pid) const override;
    // libvmmapi opens a VM by its name.
    std::unique_ptr<VmHandle> open_vm(int pid, const std::string& name) override;

private:
    const KvmReader& reader_;
};
