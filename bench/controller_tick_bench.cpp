// CPU time of one controller tick (reader open, CPU sample, regulation, every
// VM evaluated, reader closed) on a simulated host with 1, 10 and 50 idle VMs
// of 4 vCPUs. Run as root:  controller_tick_bench [--benchmark_...]
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "controller/controller.h"
#include "controller/kvm_host.h"
#include "sim_harness.h"
#include "startup/settings.h"

namespace {

void run_one_tick(Controller& controller)
{
    const KvmReader reader;
    KvmHost host(reader);
    controller.run_tick(host);
}

void BM_Tick(benchmark::State& state)
{
    const auto vm_count = static_cast<size_t>(state.range(0));
    std::vector<std::string> args{"--duration", "600"};
    for (size_t i = 0; i < vm_count; ++i) {
        args.push_back("--vm");
        args.push_back("bench" + std::to_string(i) + ":4:0");
    }
    simtest::Runner runner(args);
    if (!runner.ready(std::chrono::seconds(60))) {
        state.SkipWithError("simulator did not start");
        return;
    }
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
    state.counters["vms"] = static_cast<double>(controller.vms.size());
}

BENCHMARK(BM_Tick)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

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
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rmdir(root);
    return 0;
}
