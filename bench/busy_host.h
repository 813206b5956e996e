// A modelled bhyve host for the recording's generator and benchmarks: VMs of
// several kinds whose vCPUs want noisy shares of a CPU, get at most their
// class's rate limit (the rest counted as throttle, in milliseconds as
// libvmmapi counts it), and share the host's CPUs; cp_time ticks at stathz.
// Deterministic for a seed.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "controller/host_access.h"

class BusyHost final : public HostAccess {
public:
    struct Shape {
        int vms = 50;
        int vcpus = 4;
        int cpus = 64;
        int64_t tick_ns = 1'000'000'000;
        unsigned seed = 19;
    };

    explicit BusyHost(const Shape& shape) : shape_(shape), random_(shape.seed)
    {
        for (int i = 0; i < shape.vms; ++i)
            vms_.push_back(make_vm(i));
        knobs_[Knob::class1_rate_limit] = 100;
        knobs_[Knob::class2_rate_limit] = 25;
        knobs_[Knob::class1_burst_secs] = 30;
        cpu_.valid = true;
    }

    // One tick of time: every vCPU runs, is held back or waits for a CPU.
    void advance()
    {
        clock_ += shape_.tick_ns;
        ++ticks_;
        const double day_share = std::fmod(static_cast<double>(clock_) / 86'400e9, 1.0);
        const double tick_us = static_cast<double>(shape_.tick_ns) / 1000.0;
        // Every six hours a VM is booted again: a new pid, counters from 0.
        if (ticks_ % (6 * 3600 * 1'000'000'000LL / shape_.tick_ns) == 0)
            reboot(static_cast<size_t>(ticks_ / 97) % vms_.size());
        double wanted_us = 0.0;
        for (Vm& vm : vms_)
            for (Vcpu& vcpu : vm.vcpus) {
                vcpu.wants = std::clamp(demand(vm, day_share) + noise_(random_), 0.0, 100.0);
                const double limit = limit_of(vm.cls);
                vcpu.gets = std::min(vcpu.wants, limit);
                wanted_us += vcpu.gets / 100.0 * tick_us;
            }
        // Short of CPUs, every vCPU runs less alike: not held back, waiting.
        const double capacity_us = shape_.cpus * tick_us * 0.97;
        const double share = wanted_us > capacity_us ? capacity_us / wanted_us : 1.0;
        double ran_us = 0.0;
        for (Vm& vm : vms_)
            for (Vcpu& vcpu : vm.vcpus) {
                const double run_us = vcpu.gets * share / 100.0 * tick_us;
                vcpu.runtime_us += static_cast<uint64_t>(run_us);
                vcpu.held_us += (vcpu.wants - vcpu.gets) / 100.0 * tick_us;
                ran_us += run_us;
            }
        // cp_time at 127 ticks a second on each CPU; 3 % goes to the host.
        const double ticks = shape_.cpus * 127.0 * static_cast<double>(shape_.tick_ns) / 1e9 + carry_;
        const auto whole = static_cast<uint64_t>(ticks);
        carry_ = ticks - static_cast<double>(whole);
        const auto busy =
            std::min<uint64_t>(whole, static_cast<uint64_t>((ran_us / tick_us + 0.03 * shape_.cpus) * 127.0 *
                                                            static_cast<double>(shape_.tick_ns) / 1e9));
        cpu_.user += busy * 4 / 5;
        cpu_.sys += busy - busy * 4 / 5;
        cpu_.idle += whole - busy;
    }

    bool is_open() const override { return true; }
    const std::string& error() const override { return error_; }
    int64_t now() const override { return clock_; }
    CpuTimes cpu_times() const override { return cpu_; }
    int cpu_count() const override { return shape_.cpus; }
    BhyveProcesses bhyve_processes() const override
    {
        BhyveProcesses processes;
        for (const Vm& vm : vms_)
            processes[{vm.pid - 1, vm.pid}] = vm.name;
        return processes;
    }
    NumberedVcpus vcpu_threads(int group, int) const override
    {
        NumberedVcpus threads;
        if (const Vm* vm = by_pid(group + 1))
            for (size_t i = 0; i < vm->vcpus.size(); ++i)
                threads.push_back({static_cast<int>(i), vm->vcpus[i].runtime_us});
        return threads;
    }
    KnobValue read_int_knob(Knob name) override
    {
        const auto it = knobs_.find(name);
        return it == knobs_.end() ? KnobValue{} : KnobValue{true, it->second, sizeof(int)};
    }
    void write_int_knob(Knob name, int value, size_t) override { knobs_[name] = value; }
    bool process_exists(int pid) const override { return by_pid(pid) != nullptr; }
    std::unique_ptr<VmHandle> open_vm(int, const std::string& name) override
    {
        for (Vm& vm : vms_)
            if (vm.name == name)
                return std::make_unique<Handle>(&vm);
        return std::make_unique<Handle>(nullptr);
    }

private:
    enum class Kind { miner, batch, regular };
    struct Vcpu {
        double wants = 0.0;
        double gets = 0.0;
        uint64_t runtime_us = 0;
        double held_us = 0.0;
    };
    struct Vm {
        std::string name;
        int pid = 0;
        Kind kind = Kind::regular;
        int cls = 1;
        double base = 0.0;   // percent
        double phase = 0.0;  // of the day
        std::vector<Vcpu> vcpus;
    };

    class Handle final : public VmHandle {
    public:
        explicit Handle(Vm* vm) : vm_(vm) {}
        bool is_open() const override { return vm_ != nullptr; }
        int get_class() const override { return vm_ ? vm_->cls : -1; }
        int set_class(int cls) override
        {
            vm_->cls = cls;
            return set_class_done;
        }
        ThrottleTime throttle_us(int vcpu) const override
        {
            if (vcpu < 0 || static_cast<size_t>(vcpu) >= vm_->vcpus.size())
                return 0;
            // libvmmapi counts whole milliseconds.
            return static_cast<uint64_t>(vm_->vcpus[static_cast<size_t>(vcpu)].held_us / 1000.0) * 1000;
        }

    private:
        Vm* vm_;
    };

    Vm make_vm(int i)
    {
        Vm vm;
        vm.name = "vm-" + std::to_string(1000 + i);
        vm.pid = next_pid_;
        next_pid_ += 2;
        vm.kind = i < 2 ? Kind::miner : i < 7 ? Kind::batch : Kind::regular;
        vm.base = std::uniform_real_distribution<double>(10.0, 60.0)(random_);
        // Most of the host is busy at much the same time of day.
        vm.phase = std::uniform_real_distribution<double>(0.0, 0.15)(random_);
        vm.vcpus.resize(static_cast<size_t>(shape_.vcpus));
        return vm;
    }

    void reboot(size_t index)
    {
        Vm fresh = make_vm(static_cast<int>(index));
        fresh.name = vms_[index].name;
        vms_[index] = std::move(fresh);
    }

    // What a vCPU of the VM wants now, before noise.
    static double demand(const Vm& vm, double day_share)
    {
        switch (vm.kind) {
        case Kind::miner: return 100.0;
        case Kind::batch:
            // An hour's burst in every four, at its own time of day.
            return std::fmod(day_share * 6.0 + vm.phase, 1.0) < 0.25 ? 100.0 : 3.0;
        case Kind::regular: break;
        }
        return vm.base * (0.6 + 0.4 * std::sin(2.0 * M_PI * (day_share + vm.phase)));
    }

    double limit_of(int cls) const
    {
        const auto it = knobs_.find(cls == 2 ? Knob::class2_rate_limit : Knob::class1_rate_limit);
        return cls == 1 || cls == 2 ? static_cast<double>(it->second) : 100.0;
    }

    const Vm* by_pid(int pid) const
    {
        for (const Vm& vm : vms_)
            if (vm.pid == pid)
                return &vm;
        return nullptr;
    }

    Shape shape_;
    std::mt19937 random_;
    std::normal_distribution<double> noise_{0.0, 4.0};
    std::vector<Vm> vms_;
    std::map<Knob, int> knobs_;
    CpuTimes cpu_;
    double carry_ = 0.0;
    int64_t clock_ = 1'000'000'000'000;
    int64_t ticks_ = 0;
    int next_pid_ = 20'001;
    std::string error_;
};
