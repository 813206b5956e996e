#include "recording/recording_host.h"

#include "controller/evaluate.h"

// Notes what evaluate() reads of the VM it opened.
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
    std::optional<uint64_t> throttle_us(int vcpu) const override
    {
        const std::optional<uint64_t> throttle = vm_->throttle_us(vcpu);
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
    size_t row_;
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

VmRow* RecordingHost::current_vm() const
{
    const TickRow& row = tick();
    return row.vm_count == 0 ? nullptr : &into_.vms[row.first_vm + row.vm_count - 1];
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

VcpuThreads RecordingHost::vcpu_threads(int process_group) const
{
    VcpuThreads threads = host_.vcpu_threads(process_group);
    VmRow* vm = current_vm();
    if (vm == nullptr)
        return threads;
    vm->group = process_group;
    vm->threads_read = true;
    vm->first_vcpu = static_cast<uint32_t>(into_.vcpus.size());
    // Only threads the controller takes for vCPUs; it drops the others.
    for (const auto& [name, runtime] : threads)
        if (const auto number = vcpu_number(name))
            into_.vcpus.push_back({*number, ThrottleRead::not_read, runtime, 0});
    vm->vcpu_count = static_cast<uint32_t>(into_.vcpus.size()) - vm->first_vcpu;
    return threads;
}

KnobValue RecordingHost::read_int_knob(const std::string& name)
{
    const KnobValue knob = host_.read_int_knob(name);
    KnobRead* noted = nullptr;
    if (name == class1_rate_limit_knob) {
        // The first read, before any write: the limit of the last interval.
        if (!tick().class1.read)
            noted = &tick().class1;
    } else if (name == class2_rate_limit_knob) {
        noted = &tick().class2;
    } else if (name == class1_burst_knob) {
        noted = &tick().burst;
    }
    if (noted != nullptr)
        *noted = {true, knob.ok, knob.value};
    return knob;
}

void RecordingHost::write_int_knob(const std::string& name, int value, size_t size)
{
    host_.write_int_knob(name, value, size);
    if (name == class1_rate_limit_knob) {
        tick().class1_written = true;
        tick().class1_write = value;
    }
}

bool RecordingHost::process_exists(int pid) const
{
    const bool exists = host_.process_exists(pid);
    VmRow row;
    row.pid = pid;
    row.outcome = exists ? VmOutcome::unopenable : VmOutcome::gone;
    into_.vms.push_back(row);
    ++tick().vm_count;
    return exists;
}

std::unique_ptr<VmHandle> RecordingHost::open_vm(const std::string& name)
{
    std::unique_ptr<VmHandle> vm = host_.open_vm(name);
    VmRow* row = current_vm();
    if (row == nullptr)
        return vm;
    row->name = into_.intern(name);
    row->outcome = vm && vm->is_open() ? VmOutcome::opened : VmOutcome::unopenable;
    if (!vm)
        return vm;
    return std::make_unique<NotedVm>(std::move(vm), into_, static_cast<size_t>(row - into_.vms.data()));
}
