// Makes a recording as the daemon would: its controller and its recorder
// over a modelled busy host (bench/busy_host.h), in simulated time, so that
// nobody waits a day for one. Prints what the recording costs.
// Usage: make_recording OUT.gz [HOURS] [VMS] [VCPUS] [enforce|dry] [SEED]
//   defaults: 24 hours of 1 s ticks, 50 VMs of 4 vCPUs, recorded in a dry run;
//   "enforce" records a daemon that moves and holds its MINERs in class 2;
//   another SEED makes another host's day of the same shape.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include <spdlog/spdlog.h>

#include "busy_host.h"
#include "controller/controller.h"
#include "controller/controller_observer.h"
#include "recording/recorder.h"
#include "startup/settings.h"

namespace {

double thread_cpu_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: make_recording OUT.gz [HOURS] [VMS] [VCPUS] [enforce|dry] [SEED]\n", stderr);
        return 2;
    }
    const std::string out = argv[1];
    const double hours = argc > 2 ? std::atof(argv[2]) : 24.0;
    BusyHost::Shape shape;
    shape.vms = argc > 3 ? std::atoi(argv[3]) : 50;
    shape.vcpus = argc > 4 ? std::atoi(argv[4]) : 4;
    if (argc > 6)
        shape.seed = static_cast<unsigned>(std::strtoul(argv[6], nullptr, 10));
    const auto ticks = static_cast<int64_t>(hours * 3600e9 / static_cast<double>(shape.tick_ns));

    std::filesystem::remove(out);
    Settings& settings = Settings::instance() = Settings{};
    settings.record_file = out;
    // A dry run is how a host is recorded before enforcing.
    settings.dry_run = !(argc > 5 && std::string(argv[5]) == "enforce");
    Controller controller;
    spdlog::set_level(spdlog::level::off);
    BusyHost host(shape);
    // The recorder, timed after each tick.
    struct TimedRecorder final : ControllerObserver {
        Recorder recorder;
        double cpu_seconds = 0.0;
        HostAccess& tap(HostAccess& host) override { return recorder.tap(host); }
        void after_tick(const ControllerView& view) override
        {
            const double start = thread_cpu_seconds();
            recorder.after_tick(view);
            cpu_seconds += thread_cpu_seconds() - start;
        }
    } timed;
    controller.observer = &timed;
    const double start = thread_cpu_seconds();
    for (int64_t i = 0; i < ticks; ++i) {
        host.advance();
        controller.run_tick(timed.tap(host));
    }
    timed.recorder.stop();
    const double total = thread_cpu_seconds() - start;

    const auto bytes = std::filesystem::file_size(out);
    const double per_day = static_cast<double>(bytes) / (hours / 24.0) / (1024.0 * 1024.0);
    std::printf("%lld ticks of %d VMs x %d vCPUs: %.1f MiB, %.1f MiB a day\n", static_cast<long long>(ticks),
                shape.vms, shape.vcpus, static_cast<double>(bytes) / (1024.0 * 1024.0), per_day);
    std::printf("CPU: %.1f us a tick in all, %.1f us of it writing the record (after the tick)\n",
                total / static_cast<double>(ticks) * 1e6,
                timed.cpu_seconds / static_cast<double>(ticks) * 1e6);
    return 0;
}
