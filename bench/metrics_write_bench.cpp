// CPU time the metrics file adds to a tick: the text built from the
// controller's view and the file replaced, for 1, 10 and 50 VMs of 4 vCPUs.
// Also the `status` reply for the same VMs. Run as anyone:
//   metrics_write_bench [--benchmark_...]
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "controller/controller.h"
#include "controller/controller_view.h"
#include "controller/vm_record.h"
#include "runtime/metrics_file.h"
#include "runtime/status.h"
#include "startup/settings.h"

namespace {

void fill(Controller& controller, int vm_count)
{
    controller.knobs = {70, 25, 30};
    for (int pid = 1000; pid < 1000 + vm_count; ++pid) {
        auto vm = std::make_unique<VmRecord>();
        vm->name = "vm-" + std::to_string(pid);
        vm->pid = pid;
        vm->last_class = 1;
        vm->kind = 1;
        for (int vcpu = 0; vcpu < 4; ++vcpu)
            vm->vcpu_loads[vcpu].load = 12.5 * vcpu;
        controller.vms[pid] = std::move(vm);
    }
}

void BM_MetricsWrite(benchmark::State& state)
{
    Settings::instance() = Settings{};
    Controller controller;
    fill(controller, static_cast<int>(state.range(0)));
    char dir[] = "/tmp/metrics_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no scratch directory");
        return;
    }
    const std::string path = std::string(dir) + "/halvorn.prom";
    MetricsFile metrics;
    for (auto _ : state)
        if (!metrics.write(ControllerView(controller), path))
            state.SkipWithError("write failed");
    unlink(path.c_str());
    rmdir(dir);
}

void BM_StatusReply(benchmark::State& state)
{
    Settings::instance() = Settings{};
    Controller controller;
    fill(controller, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(status_reply(ControllerView(controller)));
}

BENCHMARK(BM_MetricsWrite)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusReply)->Arg(50)->Arg(200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
