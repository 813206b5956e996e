#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "controller/host_knobs.h"
#include "controller/vm_handle.h"
#include "host/knobs.h"
#include "host/kvm_reader.h"
#include "host/numbered_vcpus.h"
#include "host/processes.h"

// Everything one controller tick reads from or changes on the host. The
// daemon uses the kernel and libvmmapi (KvmHost); tests script a host, the
// recorder wraps one and the replay answers from a recording.
//
// Every call about one VM names that VM by its bhyve pid, or is made on the
// handle open_vm returned for it, so that a wrapper files what it sees
// under the VM it belongs to whatever order the calls come in.
class HostAccess {
public:
    virtual ~HostAccess() = default;
    // False when the kernel reader could not be opened; error() says why.
    virtual bool is_open() const = 0;
    virtual const std::string& error() const = 0;
    // Steady clock, nanoseconds.
    virtual int64_t now() const = 0;
    virtual CpuTimes cpu_times() const = 0;
    // The CPUs that cp_time counts over.
    virtual int cpu_count() const = 0;
    virtual BhyveProcesses bhyve_processes() const = 0;
    // The vCPU threads of a process group, as the VM `pid` asks for them:
    // the answer depends on the group alone.
    virtual NumberedVcpus vcpu_threads(int process_group, int pid) const = 0;
    // The same into `threads`, whose storage a caller that reads every VM on
    // every tick keeps; by default vcpu_threads' answer.
    virtual void read_vcpu_threads(int process_group, int pid, NumberedVcpus& threads) const
    {
        threads = vcpu_threads(process_group, pid);
    }
    virtual KnobValue read_int_knob(Knob name) = 0;
    virtual void write_int_knob(Knob name, int value, size_t size) = 0;
    // kill(pid, 0) succeeds.
    virtual bool process_exists(int pid) const = 0;
    // The VM `name` that runs as `pid`, through libvmmapi. Never null; check
    // is_open() on the result.
    virtual std::unique_ptr<VmHandle> open_vm(int pid, const std::string& name) = 0;
};
