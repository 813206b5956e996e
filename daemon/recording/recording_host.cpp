#include "recording/recording_host.h"

// Notes what evaluate() reads of the VM it opened, in that VM's row.
class RecordingHost::NotedVm final : public VmHandle {
public:
    NotedVm(std::unique_ptr<VmHandle> vm, Recording& into, size_t row)
        : vm_(std::move(vm)), into_(into), row_(row)
    {}

    bool is_open() const override { return vm_->is_open(); }
    int get_class() const override
    {
        const int cls = vm_->get_class();
        into_.vms[row_].cls = cls;
        return cls;
    }
    int set_class(int cls) override
    {
        const int result = vm_->set_class(cls);
        into_.vms[row_].set_to = cls;
        into_.vms[row_].set_result = result;
        return result;
    }
    ThrottleTime throttle_us(int vcpu) const override
    {
        const ThrottleTime throttle = vm_->throttle_us(vcpu);
        const VmRow& row = into_.vms[row_];
        for (uint32_t i = row.first_vcpu; i < row.first_vcpu + row.vcpu_count; ++i) {
            VcpuRow& noted = into_.vcpus[i];
            if (noted.number != vcpu)
                continue;
            noted.throttle = throttle ? ThrottleRead::known : ThrottleRead::unknown;
            noted.throttle_us = throttle.value_or(0);
            break;
        }
        return throttle;
    }

private:
    std::unique_ptr<VmHandle> vm_;
    Recording& into_;
    size_t row_;  // an index: the rows move as the tick adds more
};

RecordingHost::RecordingHost(HostAccess& host, Recording& into) : host_(host), into_(into)
{
    TickRow tick;
    tick.first_vm = static_cast<uint32_t>(into.vms.size());
    tick.first_process = static_cast<uint32_t>(into.processes.size());
    tick.first_vcpu = static_cast<uint32_t>(into.vcpus.size());
    tick.header = into.headers.empty() ? 0 : static_cast<uint32_t>(into.headers.size() - 1);
    into.ticks.push_back(tick);
}

VmRow& RecordingHost::vm_row(int pid) const
{
    TickRow& row = tick();
    if (const std::optional<size_t> known = into_.find_vm(row, pid, hint_))
        return into_.vms[*known];
    VmRow vm;
    vm.pid = pid;
    into_.vms.push_back(vm);
    ++row.vm_count;
    hint_ = row.vm_count;
    return into_.vms.back();
}

bool RecordingHost::is_open() const
{
    const bool open = host_.is_open();
    tick().host_open = open;
    return open;
}

const std::string& RecordingHost::error() const
{
    const std::string& error = host_.error();
    tick().error = into_.intern(error);
    return error;
}

int64_t RecordingHost::now() const
{
    const int64_t now = host_.now();
    // The tick's own reading; the evaluations' later ones differ by the
    // microseconds the tick takes.
    if (!clock_noted_)
        tick().clock_ns = now;
    clock_noted_ = true;
    return now;
}

CpuTimes RecordingHost::cpu_times() const
{
    const CpuTimes times = host_.cpu_times();
    tick().cpu_read = true;
    tick().cpu = times;
    return times;
}

BhyveProcesses RecordingHost::bhyve_processes() const
{
    BhyveProcesses processes = host_.bhyve_processes();
    TickRow& row = tick();
    row.rebuilt = true;
    row.first_process = static_cast<uint32_t>(into_.processes.size());
    for (const auto& [key, name] : processes)
        into_.processes.push_back({key.first, key.second, into_.intern(name)});
    row.process_count = static_cast<uint32_t>(into_.processes.size()) - row.first_process;
    return processes;
}

NumberedVcpus RecordingHost::vcpu_threads(int process_group, int pid) const
{
    NumberedVcpus threads = host_.vcpu_threads(process_group, pid);
    VmRow& vm = vm_row(pid);
    vm.group = process_group;
    vm.threads_read = true;
    // Read again in the same tick: the later answer stands.
    vm.first_vcpu = static_cast<uint32_t>(into_.vcpus.size());
    for (const VcpuThread& thread : threads)
        into_.vcpus.push_back({thread.number, ThrottleRead::not_read, thread.runtime_us, 0});
    vm.vcpu_count = static_cast<uint32_t>(threads.size());
    return threads;
}

KnobValue RecordingHost::read_int_knob(Knob name)
{
    const KnobValue knob = host_.read_int_knob(name);
    TickRow& row = tick();
    switch (name) {
    // The first read of a rate limit, before any write: the limit of the
    // last interval.
    case Knob::class1_rate_limit:
        if (!row.class1.read)
            row.class1 = {true, knob.ok, knob.value};
        break;
    case Knob::class2_rate_limit:
        if (!row.class2.read)
            row.class2 = {true, knob.ok, knob.value};
        break;
    case Knob::class1_burst_secs: row.burst = {true, knob.ok, knob.value}; break;
    }
    return knob;
}

void RecordingHost::write_int_knob(Knob name, int value, size_t size)
{
    host_.write_int_knob(name, value, size);
    if (name == Knob::class1_rate_limit) {
        tick().class1_written = true;
        tick().class1_write = value;
    } else if (name == Knob::class2_rate_limit) {
        tick().class2_written = true;
        tick().class2_write = value;
    }
}

bool RecordingHost::process_exists(int pid) const
{
    const bool exists = host_.process_exists(pid);
    vm_row(pid).outcome = exists ? VmOutcome::unopenable : VmOutcome::gone;
    return exists;
}

std::unique_ptr<VmHandle> RecordingHost::open_vm(int pid, const std::string& name)
{
    std::unique_ptr<VmHandle> vm = host_.open_vm(pid, name);
    VmRow& row = vm_row(pid);
    row.name = into_.intern(name);
    row.outcome = vm->is_open() ? VmOutcome::opened : VmOutcome::unopenable;
    return std::make_unique<NotedVm>(std::move(vm), into_, static_cast<size_t>(&row - into_.vms.data()));
}
