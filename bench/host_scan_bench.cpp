// The host scans of one controller tick: 50 VMs of 4 vCPU threads, each
// bhyve under a supervisor that leads its process group, among ~300 other
// processes. Run as root:  host_scan_bench [--benchmark_...]
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fake_vm.h"
#include "host/kvm_reader.h"
#include "host/processes.h"
#include "platform_kernel.h"
#include "idle_processes.h"

namespace {

constexpr int vm_count = 50;
constexpr int vcpus_per_vm = 4;
constexpr int other_processes = 300;

std::vector<pid_t> g_groups;  // the supervisors' groups

// A VM-list tick: the bhyve scan, then the vCPU threads of every VM.
void BM_ScanAndThreads(benchmark::State& state)
{
    size_t vms = 0;
    size_t threads = 0;
    for (auto _ : state) {
        KvmReader reader;
        BhyveProcesses found = bhyve_processes(reader);
        vms = found.size();
        threads = 0;
        for (const auto& [key, id] : found)
            threads += reader.vcpu_threads(key.first).size();
        benchmark::DoNotOptimize(threads);
    }
    if (vms != vm_count || threads != vm_count * vcpus_per_vm)
        state.SkipWithError("fake VMs not all found");
    state.counters["vms"] = static_cast<double>(vms);
    state.counters["vcpus"] = static_cast<double>(threads);
}

// An ordinary tick: the vCPU threads of every VM, no bhyve scan.
void BM_ThreadsOnly(benchmark::State& state)
{
    size_t threads = 0;
    for (auto _ : state) {
        KvmReader reader;
        threads = 0;
        for (pid_t group : g_groups)
            threads += reader.vcpu_threads(group).size();
        benchmark::DoNotOptimize(threads);
    }
    if (threads != vm_count * vcpus_per_vm)
        state.SkipWithError("fake VMs not all found");
}

void BM_Walk(benchmark::State& state)
{
    for (auto _ : state) {
        KvmReader reader;
        int n = 0;
        benchmark::DoNotOptimize(kvm_getprocs(reader.handle, KERN_PROC_PROC, 0, &n));
    }
}
BENCHMARK(BM_Walk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAndThreads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreadsOnly)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::vector<std::unique_ptr<FakeVm>> vms;
    for (int i = 0; i < vm_count; ++i) {
        auto options = vm_options("bhyve: vm" + std::to_string(i), vcpus_per_vm);
        options.supervised = true;
        vms.push_back(std::make_unique<FakeVm>(options));
        g_groups.push_back(vms.back()->group());
    }
    const int others = count_processes() - 2 * vm_count;
    IdleProcesses fillers = start_idle_processes(other_processes > others ? other_processes - others : 0);
    std::fprintf(stderr, "%d processes in /proc (%d VMs with supervisors)\n", count_processes(), vm_count);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    fillers.clear();
    return 0;
}
