#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "controller/controller.h"
#include "controller/controller_observer.h"
#include "controller/controller_view.h"
#include "controller/vm_record.h"
#include "fake_host.h"
#include "log_capture.h"
#include "startup/settings.h"

using spdlog::level::level_enum;
using Lines = std::vector<LogCapture::Line>;

namespace {

Settings& fresh_settings() { return Settings::instance() = Settings{}; }

// A sample whose idle share against `from` is `percent`, 1000 ticks later.
CpuTimes after(const CpuTimes& from, int percent)
{
    CpuTimes next = from;
    next.user += static_cast<uint64_t>(1000 - percent * 10);
    next.idle += static_cast<uint64_t>(percent * 10);
    next.valid = true;
    return next;
}

std::string trace_line(const std::string& average, int limit)
{
    return "CPU_Idle=" + average + "%  CPU_Idle_bound=[15:35] VCPU_rate_limit=" + std::to_string(limit) +
           "  CPU_Idle_Class_level=30%";
}

struct ControllerTest : ::testing::Test {
    Settings& settings = fresh_settings();
    Controller controller;
    LogCapture log;  // after the controller, whose constructor installs the daemon's logger
    FakeHost host;

    void regulate_at(double average, int limit)
    {
        controller.idle_average = average;
        host.knobs[Knob::class1_rate_limit] = limit;
        controller.regulate(host);
    }
};

TEST_F(ControllerTest, StartsInTheMiddleOfTheBand)
{
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_TRUE(controller.vm_list_due);
}

TEST_F(ControllerTest, FloorOf30IsKeptWithoutWriteOrReset)
{
    regulate_at(5.0, 30);
    EXPECT_TRUE(host.writes.empty());
    EXPECT_DOUBLE_EQ(controller.idle_average, 5.0);
    EXPECT_EQ(log.take(), (Lines{{level_enum::trace, trace_line(" 5.0", 30)}}));
}

TEST_F(ControllerTest, BusyHostStepsDownToTheFloorAndReportsTheConfiguredStep)
{
    regulate_at(15.0, 33);  // the lower bound counts as busy
    EXPECT_EQ(host.writes, (std::vector<std::pair<Knob, int>>{{Knob::class1_rate_limit, 30}}));
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_EQ(log.take(),
              (Lines{{level_enum::trace, trace_line("15.0", 33)},
                     {level_enum::info, "CPU Idle=15.0 VCPU_rate_limit=30; has been decreased by 5"}}));
}

TEST_F(ControllerTest, DryRunStepsTheLimitItWouldHaveSetAndLogsEachStep)
{
    settings.dry_run = true;
    regulate_at(10.0, 80);
    regulate_at(10.0, 80);  // the knob stays; the would-be limit goes on down
    EXPECT_TRUE(host.writes.empty());
    EXPECT_EQ(controller.dry_run_rate_limit, 70);
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);  // reset as after a real step
    EXPECT_EQ(controller.tally.rate_limit_steps_down, 0u);
    const Lines lines = log.take();
    EXPECT_EQ(lines[1],
              (LogCapture::Line{level_enum::info,
                                "CPU Idle=10.0 VCPU_rate_limit=75; has been decreased by 5 (dry run)"}));
    EXPECT_EQ(lines[3],
              (LogCapture::Line{level_enum::info,
                                "CPU Idle=10.0 VCPU_rate_limit=70; has been decreased by 5 (dry run)"}));

    settings.dry_run = false;  // enforcing again: from the real knob
    regulate_at(10.0, 80);
    regulate_at(40.0, 75);
    EXPECT_EQ(controller.dry_run_rate_limit, std::nullopt);
    EXPECT_EQ(host.writes, (std::vector<std::pair<Knob, int>>{{Knob::class1_rate_limit, 75},
                                                              {Knob::class1_rate_limit, 80}}));
    EXPECT_EQ(controller.tally.rate_limit_steps_down, 1u);
    EXPECT_EQ(controller.tally.rate_limit_steps_up, 1u);

    settings.dry_run = true;  // a new dry run starts from the knob as it is now
    regulate_at(10.0, 80);
    EXPECT_EQ(controller.dry_run_rate_limit, 75);
}

TEST_F(ControllerTest, IdleHostStepsUpToTheCeilingThenStops)
{
    regulate_at(35.0, 98);  // the upper bound counts as idle
    EXPECT_EQ(host.knobs[Knob::class1_rate_limit], 100);
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_EQ(
        log.take().back(),
        (LogCapture::Line{level_enum::info, "CPU Idle=35.0 VCPU_rate_limit=100; has been increased by 5"}));

    host.writes.clear();
    regulate_at(60.0, 100);
    EXPECT_TRUE(host.writes.empty());
    EXPECT_DOUBLE_EQ(controller.idle_average, 60.0);

    settings.rate_limit_delta = std::numeric_limits<int32_t>::max();  // no overflow past the ceiling
    regulate_at(60.0, 50);
    EXPECT_EQ(host.knobs[Knob::class1_rate_limit], 100);
}

TEST_F(ControllerTest, InsideTheBandOrOutOfRangeValuesOnlyStepWhereAllowed)
{
    regulate_at(15.05, 50);
    regulate_at(34.95, 50);
    regulate_at(10.0, 10);  // below the floor: a busy host changes nothing
    EXPECT_TRUE(host.writes.empty());
    regulate_at(40.0, 10);  // an idle host raises it by one step
    EXPECT_EQ(host.knobs[Knob::class1_rate_limit], 15);
}

TEST_F(ControllerTest, UnreadableKnobSkipsRegulationSilently)
{
    controller.idle_average = 5.0;
    controller.regulate(host);
    EXPECT_TRUE(host.writes.empty());
    EXPECT_DOUBLE_EQ(controller.idle_average, 5.0);
    EXPECT_TRUE(log.take().empty());
}

TEST_F(ControllerTest, FirstSampleCarriesTheShareSinceBootAndOneSampleWindowTakesItAlone)
{
    settings.averaging_time = 10;
    settings.update_time = 10000;  // n = 1
    host.sample = after(CpuTimes{}, 30);
    controller.tick(host);
    EXPECT_DOUBLE_EQ(controller.idle_average, 30.0);
    EXPECT_EQ(controller.previous.idle, host.sample.idle);
}

TEST_F(ControllerTest, SamplesFoldIntoAnExponentialAverage)
{
    host.sample = after(CpuTimes{}, 55);
    controller.tick(host);  // n = 30: (29 * 25 + 55) / 30
    EXPECT_DOUBLE_EQ(controller.idle_average, 26.0);

    // A window too long to count in milliseconds holds the average still
    // instead of wrapping round to a short or empty one.
    settings.averaging_time = 18'446'744'073'709'552;  // x 1000 wraps to 384
    host.sample = after(host.sample, 95);
    controller.tick(host);
    EXPECT_NEAR(controller.idle_average, 26.0, 1e-9);
}

TEST_F(ControllerTest, SamplesWithoutAShareLeaveTheAverage)
{
    host.knobs[Knob::class1_rate_limit] = 100;
    host.sample = after(CpuTimes{}, 20);
    host.sample.valid = false;  // unreadable counters: regulation still runs
    controller.tick(host);
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_FALSE(controller.previous.valid);
    EXPECT_EQ(log.take().size(), 1u);

    host.sample.valid = true;
    controller.previous = host.sample;
    controller.tick(host);  // counters did not move: no share
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_TRUE(controller.previous.valid);
}

TEST_F(ControllerTest, VmsEvaluatedInTheTickSeeTheResetAverage)
{
    settings.averaging_time = 10;
    settings.update_time = 10000;
    settings.tracked_vm = "web";
    host.knobs[Knob::class1_rate_limit] = 100;
    host.add_vm("web", 200, 20, 4);
    controller.run_tick(host);  // registry refresh and first sight
    host.clock += 1'000'000'000;
    host.sample = after(host.sample, 10);
    controller.run_tick(host);
    EXPECT_EQ(host.knobs[Knob::class1_rate_limit], 95);
    EXPECT_EQ(log.take().back(),
              (LogCapture::Line{level_enum::debug,
                                "Track VM id=web  RateLimitClass::Normal  workload=0.0%  CPU_idle=25.0%  "
                                "overload=false  left=0s"}));
}

TEST_F(ControllerTest, RegistryIsRefreshedOnlyWhenDueAndDroppedVmsAreErased)
{
    host.add_vm("a", 101, 20, 4);
    host.add_vm("b", 102, 21, 4);
    host.add_vm("c", 103, 22, 4);
    controller.run_tick(host);
    EXPECT_FALSE(controller.vm_list_due);
    EXPECT_EQ(controller.vms.size(), 3u);

    host.alive.erase(102);
    host.processes.clear();  // not rescanned until due again
    host.clock += 1'000'000'000;
    controller.run_tick(host);
    ASSERT_EQ(controller.vms.size(), 2u);
    EXPECT_TRUE(controller.vms.contains(101));
    EXPECT_TRUE(controller.vms.contains(103));
}

TEST_F(ControllerTest, TickWithoutKernelReaderOnlyLogsTheError)
{
    host.open = false;
    host.open_error = "kvm_open: no access";
    host.add_vm("a", 101, 20, 4);
    host.knobs[Knob::class1_rate_limit] = 100;
    host.sample = after(CpuTimes{}, 90);
    controller.run_tick(host);
    EXPECT_TRUE(controller.vm_list_due);
    EXPECT_TRUE(controller.vms.empty());
    EXPECT_DOUBLE_EQ(controller.idle_average, 25.0);
    EXPECT_EQ(log.take(), (Lines{{level_enum::err, "KVM error: kvm_open: no access"}}));
}

// A host whose CPU sample costs the reading thread a known CPU time, so a
// tick that reads it costs at least that.
class CostlyHost : public FakeHost {
public:
    static constexpr double cost_seconds = 0.02;

    CpuTimes cpu_times() const override
    {
        const double start = thread_seconds();
        while (thread_seconds() - start < cost_seconds) {
        }
        return FakeHost::cpu_times();
    }

private:
    static double thread_seconds()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }
};

TEST(ControllerAfterTick, SeesEveryTickAndCountsKernelErrors)
{
    Settings::instance() = Settings{};
    Controller controller;
    CostlyHost host;
    host.knobs[Knob::class1_rate_limit] = 80;
    struct Seen final : ControllerObserver {
        std::vector<uint64_t> ticks;
        std::vector<uint64_t> errors;
        std::vector<std::optional<int>> limits;
        std::vector<double> cpu_seconds;
        void after_tick(const ControllerView& view) override
        {
            ticks.push_back(view.tally().ticks);
            errors.push_back(view.tally().kvm_errors);
            limits.push_back(view.knobs().class1_rate_limit);
            cpu_seconds.push_back(view.tally().last_tick_cpu_seconds);
        }
    } seen;
    controller.observer = &seen;
    controller.run_tick(host);
    host.open = false;
    controller.run_tick(host);
    // A busy host: the limit shown is the one the tick set.
    host.open = true;
    controller.idle_average = 10.0;
    controller.run_tick(host);
    EXPECT_EQ(seen.ticks, (std::vector<uint64_t>{1, 1, 2}));
    EXPECT_EQ(seen.errors, (std::vector<uint64_t>{0, 1, 1}));
    EXPECT_EQ(seen.limits, (std::vector<std::optional<int>>{80, 80, 75}));
    // Each tick's own CPU time: the second never read the costly sample.
    ASSERT_EQ(seen.cpu_seconds.size(), 3u);
    EXPECT_GE(seen.cpu_seconds[0], CostlyHost::cost_seconds);
    EXPECT_LT(seen.cpu_seconds[1], CostlyHost::cost_seconds);
}

}  // namespace
