#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "controller/vm_handle.h"
#include "host/knobs.h"
#include "host/kvm_reader.h"
#include "host/processes.h"

// Everything one controller tick reads from or changes on the host. The
// daemon uses the kernel and libvmmapi (KvmHost); tests script a host.
class HostAccess {
public:
    virtual ~HostAccess() = default;
    // False when the kernel reader could not be opened; error() says why.
    virtual bool is_open() const = 0;
    virtual const std::string& error() const = 0;
    // Steady clock, nanoseconds.
    virtual int64_t now() const = 0;
    virtual CpuTimes cpu_times() const = 0;
    virtual BhyveProcesses bhyve_processes() const = 0;
    virtual VcpuThreads vcpu_threads(int process_group) const = 0;
    virtual KnobValue read_int_knob(const std::string& name) = 0;
    virtual void write_int_knob(const std::string& name, int value, size_t size) = 0;
    // kill(pid, 0) succeeds.
    virtual bool process_exists(int pid) const = 0;
    // Never null; check is_open() on the result.
    virtual std::unique_ptr<VmHandle> open_vm(const std::string& name) = 0;
};

inline const std::string class1_rate_limit_knob = "hw.vmm.vcpu_limit.class.1.rate_limit";
inline const std::string class2_rate_limit_knob = "hw.vmm.vcpu_limit.class.2.rate_limit";
inline const std::string class1_burst_knob = "hw.vmm.vcpu_limit.class.1.burst_secs";
