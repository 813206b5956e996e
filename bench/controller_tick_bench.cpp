// CPU time of one controller tick (reader open, CPU sample, regulation, every
// VM evaluated, reader closed) on a simulated host with 1, 10 and 50 idle VMs
// of 4 vCPUs, and 50 among 300 extra idle processes. Beside each, on the same
// host in the same run, the floor: only the kernel reads such a tick needs
// (one /proc walk reading every process's stat, then the stat of every bhyve
// thread), and the ratio tick / floor; and the ratio to the floor of the
// tick's kernel reads alone, as the stand-in does them.
// Run as root:  controller_tick_bench [--benchmark_repetitions=N] [...]
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "controller/controller.h"
#include "controller/kvm_host.h"
#include "controller/vm_record.h"
#include "cpu_summary.h"
#include "idle_processes.h"
#include "sim_harness.h"
#include "startup/settings.h"

namespace {

struct HostCase {
    size_t vms;
    int idle_processes;
};

constexpr HostCase host_cases[] = {{1, 0}, {10, 0}, {50, 0}, {50, 300}};
constexpr int vcpus_per_vm = 4;

void run_one_tick(Controller& controller)
{
    const KvmReader reader;
    KvmHost host(reader);
    controller.run_tick(host);
}

void bench_tick(benchmark::State& state, size_t vm_count)
{
    Settings::instance() = Settings{};
    Controller controller;
    spdlog::set_level(spdlog::level::off);
    run_one_tick(controller);  // registry refresh and first sight
    run_one_tick(controller);  // vCPU baselines
    if (controller.vms.size() != vm_count) {
        state.SkipWithError("not every simulated VM was found");
        return;
    }
    for (auto _ : state)
        run_one_tick(controller);
    if (controller.vms.size() != vm_count)
        state.SkipWithError("VMs were dropped during the run");
}

// The kernel reads of the same tick alone, through the stand-in: the CPU
// sample and the threads of every VM's group, without libvmmapi.
void bench_tick_reads(benchmark::State& state, size_t vm_count)
{
    Settings::instance() = Settings{};
    Controller controller;
    spdlog::set_level(spdlog::level::off);
    run_one_tick(controller);
    std::vector<int> groups;
    for (const auto& [pid, vm] : controller.vms)
        groups.push_back(vm->parent_pid);
    if (groups.size() != vm_count) {
        state.SkipWithError("not every simulated VM was found");
        return;
    }
    size_t threads = 0;
    for (auto _ : state) {
        const KvmReader reader;
        benchmark::DoNotOptimize(reader.cpu_times());
        threads = 0;
        for (int group : groups)
            threads += reader.vcpu_threads(group).size();
    }
    if (threads != vm_count * vcpus_per_vm)
        state.SkipWithError("the vCPU threads were not all found");
}

bool id_name(const char* name) { return std::isdigit(static_cast<unsigned char>(name[0])) != 0; }

// Reads `path` under `dir_fd` whole; the byte count, or 0.
size_t read_file(int dir_fd, const char* path, char* buf, size_t size)
{
    const int fd = openat(dir_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t n = read(fd, buf, size);
    close(fd);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool is_bhyve(const char* stat, size_t len)
{
    const char* open = static_cast<const char*>(std::memchr(stat, '(', len));
    return open != nullptr && std::strncmp(open, "(bhyve)", 7) == 0;
}

// The floor: what a tick cannot avoid reading, with no parsing beyond
// finding the bhyve processes.
void bench_floor(benchmark::State& state, size_t vm_count)
{
    const int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char path[300];  // room for any directory entry's name
    char buf[1024];
    size_t threads = 0;
    for (auto _ : state) {
        std::vector<int> bhyves;
        DIR* dir = fdopendir(openat(proc_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir == nullptr) {
            state.SkipWithError("/proc cannot be listed");
            break;
        }
        while (dirent* d = readdir(dir)) {
            if (!id_name(d->d_name))
                continue;
            std::snprintf(path, sizeof path, "%s/stat", d->d_name);
            const size_t n = read_file(proc_fd, path, buf, sizeof buf);
            if (is_bhyve(buf, n))
                bhyves.push_back(std::atoi(d->d_name));
        }
        closedir(dir);
        threads = 0;
        for (int pid : bhyves) {
            std::snprintf(path, sizeof path, "%d/task", pid);
            DIR* tasks = fdopendir(openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (tasks == nullptr)
                continue;
            while (dirent* d = readdir(tasks)) {
                if (!id_name(d->d_name))
                    continue;
                std::snprintf(path, sizeof path, "%d/task/%s/stat", pid, d->d_name);
                threads += read_file(proc_fd, path, buf, sizeof buf) > 0 ? 1 : 0;
            }
            closedir(tasks);
        }
        benchmark::DoNotOptimize(threads);
    }
    close(proc_fd);
    if (threads < vm_count * vcpus_per_vm)
        state.SkipWithError("the bhyve threads were not all found");
}

// Runs the tick and the floor against one simulated host; false when the
// simulator would not start.
bool run_case(const HostCase& host_case, CpuSummary& summary)
{
    IdleProcesses idle = start_idle_processes(host_case.idle_processes);
    std::vector<std::string> args{"--duration", "3600"};
    for (size_t i = 0; i < host_case.vms; ++i) {
        args.push_back("--vm");
        args.push_back("bench" + std::to_string(i) + ":" + std::to_string(vcpus_per_vm) + ":0");
    }
    simtest::Runner runner(args);
    if (!runner.ready(std::chrono::seconds(60))) {
        std::fprintf(stderr, "the simulator did not start\n");
        return false;
    }
    const std::string label =
        std::to_string(host_case.vms) + "vms+" + std::to_string(host_case.idle_processes);
    const std::string tick = "tick/" + label;
    const std::string reads = "reads/" + label;
    const std::string floor = "floor/" + label;
    const size_t vms = host_case.vms;
    benchmark::RegisterBenchmark(tick.c_str(), [vms](benchmark::State& s) {
        bench_tick(s, vms);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(reads.c_str(), [vms](benchmark::State& s) {
        bench_tick_reads(s, vms);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(floor.c_str(), [vms](benchmark::State& s) {
        bench_floor(s, vms);
    })->Unit(benchmark::kMillisecond);
    std::fprintf(stderr, "%d processes in /proc\n", count_processes());
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::ClearRegisteredBenchmarks();
    runner.stop(std::chrono::seconds(30));
    idle.clear();

    const CpuSummary::Spread f = summary.spread(floor);
    for (const std::string& name : {tick, reads}) {
        const CpuSummary::Spread t = summary.spread(name);
        if (t.valid && f.valid)
            std::printf("%-16s %.3f ms [%.3f..%.3f]  floor %.3f ms [%.3f..%.3f]  ratio %.2f [%.2f..%.2f]\n",
                        name.c_str(), t.median, t.low, t.high, f.median, f.low, f.high, t.median / f.median,
                        t.low / f.high, t.high / f.low);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // A private simulator root, so a demo or test host on this machine is
    // neither seen nor disturbed.
    char root[] = "/tmp/halvorn-tick-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("VMMSIM_ROOT", root, 1);
    benchmark::Initialize(&argc, argv);
    CpuSummary summary;
    int status = 0;
    for (const HostCase& host_case : host_cases)
        if (!run_case(host_case, summary))
            status = 1;
    benchmark::Shutdown();
    rmdir(root);
    return status;
}
