// What recording adds to a controller tick at 50 VMs of 4 vCPUs on a
// modelled busy host (bench/busy_host.h): the tick alone, the tick with its
// reads noted, and the record formatted, compressed and written after it.
// Run:  record_tick_bench [--benchmark_repetitions=N] [...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <spdlog/spdlog.h>

#include "busy_host.h"
#include "controller/controller.h"
#include "controller/controller_view.h"
#include "cpu_summary.h"
#include "recording/recorder.h"
#include "startup/settings.h"

namespace {

// Enough ticks for the miners to be judged and the averages to settle.
constexpr int warm_up_ticks = 200;

enum class Mode { plain, noted, recorded };

void bench_tick(benchmark::State& state, Mode mode)
{
    const std::string path = std::filesystem::temp_directory_path() / "record_tick_bench.gz";
    std::filesystem::remove(path);
    Settings& settings = Settings::instance() = Settings{};
    settings.dry_run = true;
    settings.record_file = mode == Mode::plain ? "" : path;
    Controller controller;
    spdlog::set_level(spdlog::level::off);
    BusyHost host(BusyHost::Shape{});
    Recorder recorder;
    // Recorded: the record is written after each tick too.
    if (mode == Mode::recorded)
        controller.observer = &recorder;
    for (int i = 0; i < warm_up_ticks; ++i) {
        host.advance();
        controller.run_tick(recorder.tap(host));
    }
    for (auto _ : state) {
        state.PauseTiming();
        host.advance();
        state.ResumeTiming();
        controller.run_tick(recorder.tap(host));
    }
    recorder.stop();
    std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("tick", bench_tick, Mode::plain)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("tick_noted", bench_tick, Mode::noted)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("tick_recorded", bench_tick, Mode::recorded)->Unit(benchmark::kMicrosecond);
    CpuSummary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();
    const CpuSummary::Spread plain = summary.spread("tick");
    const CpuSummary::Spread noted = summary.spread("tick_noted");
    const CpuSummary::Spread recorded = summary.spread("tick_recorded");
    if (plain.valid && noted.valid && recorded.valid)
        std::printf(
            "recording adds %.1f us a tick: %.1f us noting the reads in the tick, %.1f us writing after it\n",
            recorded.median - plain.median, noted.median - plain.median, recorded.median - noted.median);
    return 0;
}
