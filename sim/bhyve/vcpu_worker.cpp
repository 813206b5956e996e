#include "vcpu_worker.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

#include "common/knob_file.h"

namespace vmmsim {
namespace {

int64_t now_ns(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until(int64_t deadline_ns)
{
    timespec ts{static_cast<time_t>(deadline_ns / 1'000'000'000),
                static_cast<long>(deadline_ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Really uses the CPU until this thread has consumed `run_ns` of CPU time or
// the wall clock reaches `deadline_ns`, whichever comes first (a busy host
// may not give us all we asked for within the slice).
void burn(int64_t run_ns, int64_t deadline_ns)
{
    if (run_ns <= 0)
        return;
    int64_t target = now_ns(CLOCK_THREAD_CPUTIME_ID) + run_ns;
    volatile uint64_t sink = 0;
    for (;;) {
        for (int i = 0; i < 20000; ++i)
            sink = sink * 6364136223846793005ULL + 1442695040888963407ULL;
        if (now_ns(CLOCK_THREAD_CPUTIME_ID) >= target || now_ns(CLOCK_MONOTONIC) >= deadline_ns)
            return;
    }
}

}  // namespace

SliceBudget slice_budget(int demand, int limit, int64_t slice_ns)
{
    demand = std::clamp(demand, 0, 100);
    limit = std::clamp(limit, 0, 100);
    int allowed = std::min(demand, limit);
    int64_t slice_us = slice_ns / 1000;
    return {slice_ns * allowed / 100, slice_us * (demand - allowed) / 100, slice_us * (100 - demand) / 100};
}

void VcpuWorker::run() const
{
    VcpuSlot& slot = state->vcpu[number];
    ServiceRing& service = state->service[number];
    int64_t period_ns = static_cast<int64_t>(std::clamp(state->period_ms, 10, 1000)) * 1'000'000;
    // Sub-millisecond remainders carry over so the millisecond counters do not drift.
    int64_t throttle_us = 0;
    int64_t idle_us = 0;
    int64_t cpu_before = now_ns(CLOCK_THREAD_CPUTIME_ID);
    int64_t slice_cpu = cpu_before;
    int64_t slice_start = now_ns(CLOCK_MONOTONIC);
    int64_t late_ns = -1;  // how late this slice began after its sleep; unknown for the first
    for (;;) {
        bool paused = load(state->paused) != 0;
        int demand = paused ? 0 : load(slot.demand);
        // An idle vCPU has nothing to limit; skipping the knob keeps hosts
        // with hundreds of idle vCPUs cheap.
        int limit = demand > 0 ? class_rate_limit(root, load(state->vcpu_class)) : 100;
        SliceBudget planned = slice_budget(demand, limit, period_ns);
        int64_t slice_end = slice_start + period_ns;
        burn(planned.run_ns, slice_end);
        sleep_until(slice_end);

        // A slice that overran (a busy host, a stopped process) counts at its
        // real length; one that overran by more than a whole period is not
        // made up for in a burst afterwards.
        int64_t now = now_ns(CLOCK_MONOTONIC);
        SliceBudget actual = slice_budget(demand, limit, now - slice_start);
        int64_t next_start = now - slice_end > period_ns ? now : slice_end;

        int64_t cpu_now = now_ns(CLOCK_THREAD_CPUTIME_ID);
        add<uint64_t>(slot.counters[counter_run_us], static_cast<uint64_t>((cpu_now - cpu_before) / 1000));
        cpu_before += (cpu_now - cpu_before) / 1000 * 1000;
        throttle_us += actual.throttle_us;
        idle_us += actual.idle_us;
        add<uint64_t>(slot.counters[counter_throttle_ms], static_cast<uint64_t>(throttle_us / 1000));
        add<uint64_t>(slot.counters[counter_idle_ms], static_cast<uint64_t>(idle_us / 1000));
        throttle_us %= 1000;
        idle_us %= 1000;
        add<uint64_t>(slot.counters[counter_exits], 1);
        if (actual.throttle_us > 0)
            add<uint64_t>(slot.counters[counter_throttled_slices], 1);

        // What the guest wanted covers the slice up to where the next one
        // starts, so the slices' wants add up to the wall time, gaps included.
        if (demand > 0) {
            int64_t span = next_start - slice_start;
            record_slice(service, now,
                         {.demand_ns = span * std::clamp(demand, 0, 100) / 100,
                          .wanted_ns = slice_budget(demand, limit, span).run_ns,
                          .used_ns = cpu_now - slice_cpu,
                          .wake_delay_ns = planned.run_ns > 0 ? late_ns : -1});
        }
        slice_cpu = cpu_now;
        // The next slice was due at slice_end and begins now.
        late_ns = now - slice_end;
        slice_start = next_start;
    }
}

}  // namespace vmmsim
