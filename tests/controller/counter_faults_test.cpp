// The judgement when a vCPU's counters cannot be read or step back: neither
// may look like demand.
#include <gtest/gtest.h>

#include <cstdint>

#include "controller/evaluate.h"
#include "controller/vm_record.h"
#include "fake_host.h"
#include "log_capture.h"
#include "startup/settings.h"

namespace {

constexpr int64_t second = 1'000'000'000;
constexpr int group = 10;
constexpr uint64_t an_hour_us = 3600ULL * 1'000'000;

// Default settings (n = 30, OverloadBound 90, VCPU 4, CpuIdleLevel 30), a
// 30 s burst and a busy host, so a MINER would be moved to class 2 at once.
struct CounterFaultsTest : ::testing::Test {
    Settings& settings = Settings::instance() = Settings{};
    LogCapture log;
    FakeHost host;
    ScriptedVm* vm = nullptr;
    VmRecord record;
    int evaluations = 0;

    void SetUp() override
    {
        record.name = "vm1";
        record.pid = 100;
        record.parent_pid = group;
        vm = &host.add_vm("vm1", 100, group, 4);
        host.knobs[Knob::class1_burst_secs] = 30;
        host.knobs[Knob::class2_rate_limit] = 40;
        for (int i = 0; i < 4; ++i)
            vm->throttle_us[i] = an_hour_us;        // counted long before we came
        ASSERT_TRUE(evaluate(record, host, 20.0));  // first sight
    }

    // One second in which every vCPU runs `run` and is held back `held`
    // percent of the time, then one evaluation on a busy host.
    void step(int run, int held)
    {
        host.clock += second;
        for (auto& [name, runtime] : host.threads[group])
            runtime += static_cast<uint64_t>(run) * 10'000;
        for (auto& [vcpu, throttled] : vm->throttle_us)
            throttled += static_cast<uint64_t>(held) * 10'000;
        ASSERT_TRUE(evaluate(record, host, 20.0));
        ++evaluations;
    }

    // Steps until the VM is a MINER; the evaluation that made it so, or 0.
    int steps_until_miner(int run, int held, int limit)
    {
        for (int i = 0; i < limit; ++i) {
            step(run, held);
            if (record.kind == kind_miner)
                return evaluations;
        }
        return 0;
    }

    void expect_normal_in_class_1_for(int steps)
    {
        for (int i = 0; i < steps; ++i) {
            step(50, 10);
            ASSERT_EQ(record.kind, kind_normal) << "after " << evaluations << " evaluations";
        }
        EXPECT_TRUE(vm->set_calls.empty());
        EXPECT_EQ(vm->cls, 1);
    }
};

TEST_F(CounterFaultsTest, FailedReadsLeaveAModestVmNormalAndItsLoadAsItWas)
{
    for (const int failures : {1, 5}) {
        SCOPED_TRACE(failures);
        expect_normal_in_class_1_for(200);
        const double steady = record.vcpu_loads.at(0).load;
        EXPECT_NEAR(steady, 60.0, 0.5);

        vm->counters_unreadable = true;
        for (int i = 0; i < failures; ++i) {
            step(50, 10);
            EXPECT_EQ(record.vcpu_loads.at(0).load, steady);
        }
        vm->counters_unreadable = false;
        // The first good read covers every second since the last one.
        step(50, 10);
        EXPECT_NEAR(record.vcpu_loads.at(0).load, steady, 0.1);
        expect_normal_in_class_1_for(1000);
    }
}

TEST_F(CounterFaultsTest, RunTimeSteppingBackOnlyMovesTheBaseline)
{
    expect_normal_in_class_1_for(200);
    const double steady = record.vcpu_loads.at(1).load;
    host.clock += second;
    host.threads[group]["vcpu 1"] = 0;  // a thread restarted, or a counter reset
    ASSERT_TRUE(evaluate(record, host, 20.0));
    EXPECT_EQ(record.vcpu_loads.at(1).load, steady);
    EXPECT_EQ(record.vcpu_loads.at(1).runtime, 0u);
    expect_normal_in_class_1_for(1000);
    EXPECT_NEAR(record.vcpu_loads.at(1).load, 60.0, 0.5);
}

TEST_F(CounterFaultsTest, ThrottleTimeSteppingBackOnlyMovesTheBaseline)
{
    expect_normal_in_class_1_for(200);
    const double steady = record.vcpu_loads.at(2).load;
    vm->throttle_us[2] = 0;
    step(50, 10);
    EXPECT_EQ(record.vcpu_loads.at(2).load, steady);
    expect_normal_in_class_1_for(1000);
}

TEST_F(CounterFaultsTest, SaturatedVmIsJudgedOnTimeDespiteAFailedReadInItsCountdown)
{
    const int on_time = steps_until_miner(60, 40, 1000);
    ASSERT_GT(on_time, 0);

    // Again from the start, with one failed read well inside the countdown.
    host = FakeHost{};
    record = VmRecord{};
    evaluations = 0;
    SetUp();
    const int countdown_start = on_time - 60;
    for (int i = 0; i < countdown_start + 10; ++i)
        step(60, 40);
    ASSERT_EQ(record.kind, kind_normal);
    ASSERT_TRUE(record.overloaded);
    vm->counters_unreadable = true;
    step(60, 40);
    vm->counters_unreadable = false;
    EXPECT_EQ(steps_until_miner(60, 40, 1000), on_time);
    EXPECT_EQ(vm->set_calls, std::vector<int>{2});
}

}  // namespace
