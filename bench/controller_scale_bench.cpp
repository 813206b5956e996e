// CPU time of the controller alone: ticks driven through HostAccess against a
// modelled host (no processes, no /proc, no libvmmapi) of 10, 100 and 1,000
// VMs of 16 vCPUs. One VM in four is saturated (every vCPU runs or is held
// back the whole second), the rest are calm; the host is short of idle CPU,
// so the saturated ones are judged MINER and moved to class 2.
// Run:  controller_scale_bench [--benchmark_repetitions=N] [...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "controller/controller.h"
#include "controller/host_access.h"
#include "cpu_summary.h"
#include "startup/settings.h"

namespace {

constexpr int vcpus_per_vm = 16;
constexpr int64_t tick_ns = 1'000'000'000;
constexpr uint64_t tick_us = 1'000'000;
constexpr int vm_counts[] = {10, 100, 1000};

struct ModelledVm {
    std::string name;
    int pid = 0;
    int group = 0;
    bool saturated = false;
    int cls = 1;
    NumberedVcpus threads;              // the run time of each vCPU, us
    std::vector<uint64_t> throttle_us;  // by vCPU number
};

// A host whose clock, CPU counters, threads and throttle times move one
// second per advance(), as the script of each VM says.
class ModelledHost final : public HostAccess {
public:
    explicit ModelledHost(int vm_count)
    {
        for (int i = 0; i < vm_count; ++i) {
            ModelledVm vm;
            vm.name = "vm" + std::to_string(i);
            vm.pid = 10'000 + 2 * i;
            vm.group = vm.pid - 1;
            vm.saturated = i % 4 == 0;
            for (int v = 0; v < vcpus_per_vm; ++v)
                vm.threads.push_back({v, 0});
            vm.throttle_us.assign(vcpus_per_vm, 0);
            processes_[{vm.group, vm.pid}] = vm.name;
            by_group_[vm.group] = vms_.size();
            by_name_[vm.name] = vms_.size();
            vms_.push_back(std::move(vm));
        }
    }

    void advance()
    {
        clock_ += tick_ns;
        // 10 % idle: below every idle bound, so the host counts as busy.
        sample_.user += 90;
        sample_.idle += 10;
        for (ModelledVm& vm : vms_) {
            for (VcpuThread& thread : vm.threads) {
                // A saturated vCPU in class 2 spends part of the second held back.
                const uint64_t held = vm.saturated && vm.cls == 2 ? tick_us / 2 : 0;
                thread.runtime_us += vm.saturated ? tick_us - held : tick_us / 20;
                vm.throttle_us[static_cast<size_t>(thread.number)] += held;
            }
        }
    }

    size_t count_in_class(int cls) const
    {
        size_t n = 0;
        for (const ModelledVm& vm : vms_)
            n += vm.cls == cls ? 1 : 0;
        return n;
    }

    bool is_open() const override { return true; }
    const std::string& error() const override { return error_; }
    int64_t now() const override { return clock_; }
    CpuTimes cpu_times() const override { return sample_; }
    int cpu_count() const override { return 1; }
    BhyveProcesses bhyve_processes() const override { return processes_; }
    NumberedVcpus vcpu_threads(int group, int) const override
    {
        const auto it = by_group_.find(group);
        return it == by_group_.end() ? NumberedVcpus{} : vms_[it->second].threads;
    }
    KnobValue read_int_knob(Knob name) override
    {
        return {true, name == Knob::class1_burst_secs ? 5 : 50, sizeof(int)};
    }
    void write_int_knob(Knob, int, size_t) override {}
    bool process_exists(int) const override { return true; }
    std::unique_ptr<VmHandle> open_vm(int, const std::string& name) override
    {
        const auto it = by_name_.find(name);
        return std::make_unique<Handle>(it == by_name_.end() ? nullptr : &vms_[it->second]);
    }

private:
    class Handle final : public VmHandle {
    public:
        explicit Handle(ModelledVm* vm) : vm_(vm) {}
        bool is_open() const override { return vm_ != nullptr; }
        int get_class() const override { return vm_->cls; }
        int set_class(int cls) override
        {
            vm_->cls = cls;
            return 0;
        }
        ThrottleTime throttle_us(int vcpu) const override
        {
            return vcpu >= 0 && vcpu < vcpus_per_vm ? vm_->throttle_us[static_cast<size_t>(vcpu)] : 0;
        }

    private:
        ModelledVm* vm_;
    };

    std::string error_;
    int64_t clock_ = 1'000 * tick_ns;
    CpuTimes sample_{.valid = true};
    BhyveProcesses processes_;
    std::vector<ModelledVm> vms_;
    std::map<int, size_t> by_group_;
    std::map<std::string, size_t> by_name_;
};

Settings bench_settings()
{
    Settings settings;
    settings.averaging_time = 5;  // a short window, so judgements settle within the warm-up
    return settings;
}

// Enough ticks for every saturated VM to be judged and moved to class 2.
constexpr int warm_up_ticks = 60;

void bench_tick(benchmark::State& state)
{
    const int vm_count = static_cast<int>(state.range(0));
    Settings::instance() = bench_settings();
    Controller controller;
    spdlog::set_level(spdlog::level::off);
    ModelledHost host(vm_count);
    for (int i = 0; i < warm_up_ticks; ++i) {
        host.advance();
        controller.run_tick(host);
    }
    if (host.count_in_class(2) != static_cast<size_t>((vm_count + 3) / 4))
        state.SkipWithError("the saturated VMs were not all moved to class 2");
    for (auto _ : state) {
        state.PauseTiming();
        host.advance();
        state.ResumeTiming();
        controller.tick(host);
    }
    state.counters["vms"] = static_cast<double>(controller.vms.size());
}

// The registry refresh that runs every few minutes, apart from the tick.
void bench_vm_list(benchmark::State& state)
{
    const int vm_count = static_cast<int>(state.range(0));
    Settings::instance() = bench_settings();
    Controller controller;
    spdlog::set_level(spdlog::level::off);
    ModelledHost host(vm_count);
    controller.run_tick(host);
    for (auto _ : state)
        update_vm_list(controller.vms, host);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (int count : vm_counts) {
        benchmark::RegisterBenchmark("tick", bench_tick)->Arg(count)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("vm_list", bench_vm_list)->Arg(count)->Unit(benchmark::kMicrosecond);
    }
    CpuSummary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();
    for (int count : vm_counts) {
        const CpuSummary::Spread t = summary.spread("tick/" + std::to_string(count));
        if (t.valid)
            std::printf("%5d VMs: %8.1f us per tick [%.1f..%.1f], %.2f us per VM\n", count, t.median, t.low,
                        t.high, t.median / count);
    }
    return 0;
}
