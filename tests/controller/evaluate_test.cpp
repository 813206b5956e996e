#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "controller/evaluate.h"
#include "controller/vm_record.h"
#include "fake_host.h"
#include "log_capture.h"
#include "startup/settings.h"

using spdlog::level::level_enum;
using Line = LogCapture::Line;

namespace {

constexpr int64_t second = 1'000'000'000;
constexpr int group = 10;

Settings& settings_for_judgement()
{
    Settings& settings = Settings::instance() = Settings{};
    settings.averaging_time = 10;
    settings.update_time = 10000;  // n = 1: a vCPU's load is its last demand
    settings.tracked_vm = "vm1";
    return settings;
}

VmRecord make_record()
{
    VmRecord record;
    record.name = "vm1";
    record.pid = 100;
    record.parent_pid = group;
    return record;
}

// Evaluations measure demand from the second one on; the first one that
// reaches the vCPUs only takes their counters as a baseline.
struct EvaluateTest : ::testing::Test {
    Settings& settings = settings_for_judgement();
    LogCapture log;
    FakeHost host;
    ScriptedVm* vm = nullptr;
    VmRecord record = make_record();
    double idle_average = 50.0;

    void add_vm(int cls, int vcpus = 4)
    {
        vm = &host.add_vm("vm1", 100, group, vcpus, cls);
        host.knobs[Knob::class1_burst_secs] = 3;  // a countdown of 6 s
        host.knobs[Knob::class2_rate_limit] = 40;
        ASSERT_TRUE(evaluate(record, host, idle_average));  // first sight
    }

    // Every vCPU thread runs `percent` of the next `ns` nanoseconds.
    bool step(int percent, int64_t ns = second)
    {
        host.clock += ns;
        for (auto& [name, runtime] : host.threads[group])
            runtime += static_cast<uint64_t>(ns / 1000 * percent / 100);
        return evaluate(record, host, idle_average);
    }

    // Seconds left shown by each tracked-VM line since the last call.
    std::vector<int64_t> seconds_left()
    {
        std::vector<int64_t> result;
        for (const auto& [level, text] : log.take())
            if (text.starts_with("Track VM"))
                result.push_back(std::stoll(text.substr(text.find("left=") + 5)));
        return result;
    }

    size_t count_lines(const std::string& text)
    {
        const auto lines = log.take();
        return static_cast<size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const Line& line) { return line.second == text; }));
    }
};

const std::string expected_miner = "VM_id=vm1 bhyve_pid=100 RateLimitClass::Normal expected as MINER; vCPU=4";

TEST_F(EvaluateTest, FirstSightOnlyStartsTheClock)
{
    add_vm(1);
    EXPECT_EQ(host.opens, 0);
    EXPECT_EQ(record.last_sample, host.clock);
    EXPECT_EQ(record.kind, 0);
}

TEST_F(EvaluateTest, NormalBecomesMinerAfterTwiceTheBurstAndMovesOnlyOnABusyHost)
{
    add_vm(1);
    step(10);
    EXPECT_EQ(record.kind, 1);
    log.take();
    step(100);
    EXPECT_EQ(log.take(), (std::vector<Line>{{level_enum::debug, expected_miner},
                                             {level_enum::debug,
                                              "Track VM id=vm1  RateLimitClass::Normal  workload=100.0%  "
                                              "CPU_idle=50.0%  overload=true  left=0s"}}));
    for (int i = 0; i < 5; ++i)
        step(100);
    EXPECT_EQ(seconds_left(), (std::vector<int64_t>{5, 4, 3, 2, 1}));
    EXPECT_EQ(record.kind, 1);  // exactly 1 s left is not yet less than 1 s

    step(100, second / 1000);
    EXPECT_EQ(record.kind, 2);
    EXPECT_EQ(count_lines("VM_id=vm1 bhyve_pid=100 RateLimitClass::Normal defined as MINER; vCPU count 4"),
              1u);
    EXPECT_TRUE(vm->set_calls.empty());  // the host still has idle CPU

    idle_average = 30.0;  // at CpuIdleLevel: busy
    step(100);
    EXPECT_EQ(vm->set_calls, std::vector<int>{2});
    EXPECT_EQ(record.last_class, 2);
    EXPECT_EQ(log.take().back(),
              (Line{level_enum::info,
                    "VM_id=vm1 bhyve_pid=100  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)=40%"}));
}

TEST_F(EvaluateTest, OneEvaluationOnTheOtherSideAbandonsTheCountdown)
{
    add_vm(1);
    step(10);
    for (int i = 0; i < 4; ++i)
        step(100);
    step(50);
    for (int i = 0; i < 6; ++i)
        step(100);
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(count_lines(expected_miner), 2u);
    step(100);
    EXPECT_EQ(record.kind, 2);
}

TEST_F(EvaluateTest, NewNormalRecordOverloadedFromTheStartGetsNoCountdown)
{
    add_vm(1);
    for (int i = 0; i < 4; ++i)
        record.vcpu_loads[i] = {};  // vCPUs known from before: demand counts at once
    for (int i = 0; i < 20; ++i)
        step(100);
    EXPECT_EQ(record.kind, 1);
    const auto lefts = seconds_left();
    EXPECT_EQ(lefts.back(), (std::numeric_limits<int64_t>::max() - host.clock) / second);
    step(10);
    step(100);
    EXPECT_EQ(count_lines(expected_miner), 1u);
}

TEST_F(EvaluateTest, MinerInClassTwoStaysUntilJudgedNormalThenGoesBack)
{
    add_vm(2);
    step(100);  // the baseline is not overloaded: a countdown starts ...
    step(100);  // ... and is abandoned
    EXPECT_EQ(record.kind, 2);
    step(10);
    EXPECT_EQ(count_lines("VM_id=vm1 bhyve_pid=100 RateLimitClass::Mainer expected as NORMAL; vCPU=4"), 2u);
    for (int i = 0; i < 5; ++i)
        step(10);
    EXPECT_TRUE(vm->set_calls.empty());
    step(10);
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(vm->set_calls, std::vector<int>{1});
    const auto lines = log.take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              (Line{level_enum::debug,
                    "VM_id=vm1 bhyve_pid=100 RateLimitClass::Mainer defined as NORMAL; vCPU count 4"}));
    EXPECT_EQ(lines.back(),
              (Line{level_enum::info, "VM_id=vm1 bhyve_pid=100  VCPU_class_2 => VCPU_class_1"}));
}

TEST_F(EvaluateTest, AfterARestartAMinerFoundInClassTwoStaysAndACalmOneGoesBack)
{
    // The default settings: a 30-sample window, so an average climbing from
    // 0 would need a minute to pass the bound, longer than the countdown.
    settings = Settings{};
    add_vm(2);
    host.knobs[Knob::class1_burst_secs] = 10;
    for (int i = 0; i < 60; ++i)
        step(100);
    EXPECT_EQ(record.kind, 2);
    EXPECT_TRUE(vm->set_calls.empty()) << log.text();

    // Calm, it goes back once its average has fallen below the bound and
    // twice the burst length has passed.
    for (int i = 0; i < 20; ++i)
        step(5);
    EXPECT_TRUE(vm->set_calls.empty());
    for (int i = 0; i < 20; ++i)
        step(5);
    EXPECT_EQ(vm->set_calls, std::vector<int>{1});
}

TEST_F(EvaluateTest, NormalVmMovedToClassTwoByOthersIsReportedAndMovedBack)
{
    add_vm(1);
    step(10);
    vm->cls = 2;
    log.take();
    step(10);
    const auto lines = log.take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), (Line{level_enum::info, "VM_id=vm1 bhyve_pid=100  Unexpected class change: "
                                                     "VCPU_class=2, expected VCPU_class=1"}));
    EXPECT_EQ(vm->cls, 1);
    EXPECT_EQ(record.last_class, 1);
    step(10);
    EXPECT_EQ(
        count_lines("VM_id=vm1 bhyve_pid=100  Unexpected class change: VCPU_class=2, expected VCPU_class=1"),
        0u);
}

TEST_F(EvaluateTest, FailedMovesWarnAndAreRetried)
{
    add_vm(1);
    step(10);
    vm->cls = 2;
    vm->set_result = -3;
    step(10);
    vm->set_result = -1;
    step(10);
    vm->set_result = -2;
    step(10);
    EXPECT_EQ(vm->set_calls, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(record.refused_moves_to_class1, 3u);
    EXPECT_EQ(record.refused_moves_to_class2, 0u);
    EXPECT_EQ(record.moves_to_class1, 0u);
    std::vector<Line> warnings;
    for (const auto& line : log.take())
        if (line.first == level_enum::warn)
            warnings.push_back(line);
    EXPECT_EQ(warnings, (std::vector<Line>{{level_enum::warn, "vmmapi::vm_set_vcpu_class() error"},
                                           {level_enum::warn, "Unexpected vmmapi VM context close"}}));
}

TEST_F(EvaluateTest, TimeInAClassCountsOnlyWhileTheVmIsSeenThere)
{
    add_vm(2);
    step(100);  // the first read of its class starts the clock
    step(100, 2 * second);
    step(100, 3 * second);
    EXPECT_EQ(record.class2_ns, 5 * second);
    // Moved to class 1 by someone else at some moment of these 4 s: they
    // count for neither class. The miner stays there on a host with room.
    vm->cls = 1;
    step(100, 4 * second);
    step(100, second);
    EXPECT_EQ(record.class2_ns, 5 * second);
    EXPECT_EQ(record.class1_ns, second);
    EXPECT_TRUE(vm->set_calls.empty());
}

TEST_F(EvaluateTest, SmallVmsAndForeignClassesAreLeftAloneAndKept)
{
    add_vm(1, 2);  // fewer threads than VCPU
    const int64_t first_sight = record.last_sample;
    EXPECT_TRUE(step(100));
    EXPECT_EQ(record.last_sample, first_sight);
    EXPECT_TRUE(record.vcpu_loads.empty());

    for (const int cls : {0, 3, 9, -1}) {
        vm->cls = cls;
        EXPECT_TRUE(step(100));
        EXPECT_EQ(record.last_class, cls);
    }
    EXPECT_TRUE(vm->set_calls.empty());
    EXPECT_TRUE(record.vcpu_loads.empty());
}

TEST_F(EvaluateTest, VanishedOrUnopenableVmsAreDropped)
{
    add_vm(1);
    vm->openable = false;
    EXPECT_FALSE(step(10));
    vm->openable = true;
    host.threads[group] = {{"vcpu", 0}, {"vcpuX", 0}, {"main", 0}};  // no vCPU thread at all
    EXPECT_FALSE(step(10));
    host.alive.clear();
    EXPECT_FALSE(step(10));
}

TEST_F(EvaluateTest, ThreadsWithoutAVcpuNumberAreNotCounted)
{
    add_vm(1);
    host.threads[group]["vcpu"] = 0;
    host.threads[group]["vcpuX"] = 0;
    step(10);
    step(100);
    EXPECT_EQ(count_lines(expected_miner), 1u);
    EXPECT_EQ(record.vcpu_loads.size(), 4u);

    EXPECT_EQ(vcpu_number("vcpu 0"), 0);
    EXPECT_EQ(vcpu_number("vcpu 17"), 17);
    // Numbers no vCPU can carry: a negative one, and one that would wrap onto vCPU 0.
    for (const char* name : {"vcpu", "vcpuX", "vcpu ", "vcpu x1", "vcpu 99999999999999999999", "vcpu -1",
                             "vcpu 4294967296", "vcpu 2147483648"})
        EXPECT_EQ(vcpu_number(name), std::nullopt) << name;
}

TEST_F(EvaluateTest, DemandIsRunTimePlusThrottleAveragedPerVcpu)
{
    add_vm(1);
    step(0);
    for (int i = 0; i < 3; ++i)
        vm->throttle_us[i] += 500'000;  // held back for half of the next second
    step(50);
    EXPECT_DOUBLE_EQ(record.vcpu_loads[0].load, 100.0);
    EXPECT_DOUBLE_EQ(record.vcpu_loads[3].load, 50.0);
    EXPECT_FALSE(record.overloaded);  // one vCPU below the bound

    settings.update_time = 1000;  // n = 10
    step(100);
    EXPECT_DOUBLE_EQ(record.vcpu_loads[3].load, (9 * 50.0 + 100.0) / 10);
}

TEST_F(EvaluateTest, EachVcpuKeepsItsOwnLoadWhateverOrderTheThreadsComeIn)
{
    // Thread names order vCPU 10 and 11 before 2: the loads, kept in number
    // order, take them in between.
    add_vm(1, 12);
    step(0);
    for (int i = 0; i < 12; ++i)
        vm->throttle_us[i] += static_cast<uint64_t>(i) * 10'000;  // vCPU i held back i % of the second
    step(50);
    ASSERT_EQ(record.vcpu_loads.size(), 12u);
    int expected_number = 0;
    for (const auto& [number, load] : record.vcpu_loads) {
        EXPECT_EQ(number, expected_number++);
        EXPECT_DOUBLE_EQ(load.load, 50.0 + number) << "vCPU " << number;
    }
}

}  // namespace

namespace {

const std::string to_class2 = "VM_id=vm1 bhyve_pid=100  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)=40%";

}  // namespace

TEST_F(EvaluateTest, CountdownTargetIsKeptUntilTheJudgementSettles)
{
    add_vm(1);
    step(10);
    EXPECT_FALSE(record.countdown);
    step(100);
    EXPECT_TRUE(record.countdown);  // to MINER
    for (int i = 0; i < 6; ++i)
        step(100);
    EXPECT_EQ(record.kind, 2);
    EXPECT_FALSE(record.countdown);
    step(10);
    EXPECT_TRUE(record.countdown);  // to NORMAL
    step(100);                      // back on the settled side: the countdown ends
    EXPECT_FALSE(record.countdown);
}

TEST_F(EvaluateTest, DryRunJudgesTheMinerButMovesNothingAndSaysSoOncePerChange)
{
    settings.dry_run = true;
    idle_average = 20.0;  // busy host
    add_vm(1);
    step(10);
    for (int i = 0; i < 7; ++i)
        step(100);
    EXPECT_EQ(record.kind, 2);
    for (int i = 0; i < 3; ++i)
        step(100);
    EXPECT_TRUE(vm->set_calls.empty());
    EXPECT_EQ(record.last_class, 1);
    EXPECT_EQ(record.moves_to_class2, 0u);
    EXPECT_EQ(count_lines(to_class2 + " (dry run)"), 1u);

    idle_average = 50.0;  // no move wanted any more, then wanted again
    step(100);
    idle_average = 20.0;
    step(100);
    step(100);
    EXPECT_EQ(count_lines(to_class2 + " (dry run)"), 1u);

    settings.dry_run = false;  // a reload switches it off: the next tick moves
    step(100);
    EXPECT_EQ(vm->set_calls, std::vector<int>{2});
    EXPECT_EQ(record.moves_to_class2, 1u);
    EXPECT_EQ(count_lines(to_class2), 1u);
}

TEST_F(EvaluateTest, ExemptVmIsJudgedButNeverMovedAndLoggedOnce)
{
    settings.exempt = {"build-*", "vm?"};
    idle_average = 20.0;
    add_vm(1);
    step(10);
    for (int i = 0; i < 9; ++i)
        step(100);
    EXPECT_EQ(record.kind, 2);
    EXPECT_TRUE(record.exempt);
    EXPECT_TRUE(vm->set_calls.empty());
    EXPECT_EQ(count_lines("VM_id=vm1 bhyve_pid=100  exempt, not moved"), 1u);

    // Nor back from class 2, where someone else put it.
    vm->cls = 2;
    for (int i = 0; i < 9; ++i)
        step(10);
    EXPECT_EQ(record.kind, 1);
    EXPECT_TRUE(vm->set_calls.empty());

    settings.exempt = {"db01"};  // a reload drops it from the list
    step(10);
    EXPECT_FALSE(record.exempt);
    EXPECT_EQ(vm->set_calls, std::vector<int>{1});

    settings.exempt = {"vm1"};  // exempt anew: said again at the next held-back move
    vm->cls = 2;
    log.take();
    step(10);
    EXPECT_EQ(count_lines("VM_id=vm1 bhyve_pid=100  exempt, not moved"), 1u);
}
