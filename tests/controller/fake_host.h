#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "controller/host_access.h"

// A scripted VM behind libvmmapi.
struct ScriptedVm {
    bool openable = true;
    int cls = 1;
    int set_result = 0;  // what set_class answers; 0 applies the class
    std::map<int, uint64_t> throttle_us;
    bool counters_unreadable = false;  // every throttle read fails
    std::vector<int> set_calls;
};

// A scripted host: clock, CPU sample, process table, knobs and VMs.
class FakeHost : public HostAccess {
public:
    bool open = true;
    std::string open_error;
    int64_t clock = 1'000'000'000'000;
    CpuTimes sample;
    BhyveProcesses processes;
    std::map<int, VcpuThreads> threads;  // by process group, named as the kernel names them
    std::map<Knob, int> knobs;           // a missing knob is unreadable
    std::vector<std::pair<Knob, int>> writes;
    std::set<int> alive;
    std::map<std::string, ScriptedVm> vms;
    int opens = 0;
    int cpus = 4;

    // A running VM with `vcpus` threads "vcpu 0".. at zero run time.
    ScriptedVm& add_vm(const std::string& name, int pid, int group, int vcpus, int cls = 1)
    {
        processes[{group, pid}] = name;
        alive.insert(pid);
        for (int i = 0; i < vcpus; ++i)
            threads[group]["vcpu " + std::to_string(i)] = 0;
        ScriptedVm& vm = vms[name];
        vm.cls = cls;
        return vm;
    }

    // `ns` pass: the CPU counters count `busy` and `idle` ticks more, and
    // every vCPU thread runs `run_us`.
    void advance(int64_t ns, uint64_t busy, uint64_t idle, uint64_t run_us)
    {
        clock += ns;
        sample.user += busy;
        sample.idle += idle;
        for (auto& [group, named] : threads)
            for (auto& [name, runtime] : named)
                runtime += run_us;
    }

    bool is_open() const override { return open; }
    const std::string& error() const override { return open_error; }
    int64_t now() const override { return clock; }
    CpuTimes cpu_times() const override { return sample; }
    int cpu_count() const override { return cpus; }
    BhyveProcesses bhyve_processes() const override { return processes; }
    NumberedVcpus vcpu_threads(int group, int) const override
    {
        const auto it = threads.find(group);
        return it == threads.end() ? NumberedVcpus{} : numbered_vcpus(it->second);
    }
    KnobValue read_int_knob(Knob name) override
    {
        const auto it = knobs.find(name);
        return it == knobs.end() ? KnobValue{} : KnobValue{true, it->second, sizeof(int)};
    }
    void write_int_knob(Knob name, int value, size_t) override
    {
        writes.emplace_back(name, value);
        knobs[name] = value;
    }
    bool process_exists(int pid) const override { return alive.contains(pid); }
    std::unique_ptr<VmHandle> open_vm(int, const std::string& name) override
    {
        ++opens;
        const auto it = vms.find(name);
        return std::make_unique<Handle>(it == vms.end() || !it->second.openable ? nullptr : &it->second);
    }

private:
    class Handle final : public VmHandle {
    public:
        explicit Handle(ScriptedVm* vm) : vm_(vm) {}
        bool is_open() const override { return vm_ != nullptr; }
        int get_class() const override { return vm_ ? vm_->cls : -1; }
        int set_class(int cls) override
        {
            vm_->set_calls.push_back(cls);
            if (vm_->set_result == 0)
                vm_->cls = cls;
            return vm_->set_result;
        }
        ThrottleTime throttle_us(int vcpu) const override
        {
            if (vm_->counters_unreadable)
                return std::nullopt;
            const auto it = vm_->throttle_us.find(vcpu);
            return it == vm_->throttle_us.end() ? 0 : it->second;
        }

    private:
        ScriptedVm* vm_;
    };
};
