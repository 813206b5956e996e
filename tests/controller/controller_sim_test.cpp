// The controller against the simulated hypervisor: real processes, real
// kernel-reader stand-in, real libvmmapi binding, ticks driven by the tick
// timer on a private loop. Every wait has a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include <ev++.h>

#include "controller/controller.h"
#include "controller/vm_context.h"
#include "controller/vm_record.h"
#include "log_capture.h"
#include "sim_harness.h"
#include "startup/settings.h"

namespace {

using namespace std::chrono_literals;

constexpr int64_t update_ms = 500;
constexpr int64_t averaging_s = 2;  // n = 4
constexpr int burst_s = 1;

bool logged(LogCapture& log, const std::string& text)
{
    for (const auto& [level, line] : log.take())
        if (line == text)
            return true;
    return false;
}

// Runs the controller's tick timer until `done` holds or `deadline` passes.
bool tick_until(Controller& controller, const std::function<bool()>& done, std::chrono::milliseconds deadline)
{
    ev::dynamic_loop loop;
    ev::timer tick(loop);
    tick.set<Controller, &Controller::on_tick_timer>(&controller);
    tick.start(update_ms / 1000.0, update_ms / 1000.0);

    struct Watch {
        ev::dynamic_loop& loop;
        const std::function<bool()>& done;
        std::chrono::steady_clock::time_point until;
        bool met = false;
        void check(ev::timer&, int)
        {
            met = done();
            if (met || std::chrono::steady_clock::now() >= until)
                loop.break_loop(ev::ONE);
        }
    } watch{loop, done, std::chrono::steady_clock::now() + deadline};
    ev::timer poll(loop);
    poll.set<Watch, &Watch::check>(&watch);
    poll.start(0.05, 0.05);
    loop.run();
    return watch.met;
}

struct ControllerSimTest : ::testing::Test {
    Settings& settings = Settings::instance() = Settings{};
    simtest::Runner runner{{"--vm", "miner:2:100", "--vm", "calm:2:10", "--burst-secs",
                            std::to_string(burst_s), "--class1-limit", "30", "--class2-limit", "25"}};

    void SetUp() override
    {
        ASSERT_TRUE(runner.ready()) << runner.output();
        settings.vcpu = 2;
        settings.update_time = update_ms;
        settings.averaging_time = averaging_s;
        // A rate limit that leaves the miner mostly throttled keeps its demand
        // clear of the bound even when the shared machine is short of CPU.
        settings.overload_bound = 60;
        // The regulator should leave the class-1 limit alone here, and the host
        // counts as busy while the miner runs.
        settings.min_cpu_idle_level = 5;
        settings.max_cpu_idle_level = 95;
        settings.cpu_idle_level = 99;
    }

    int class_of(const std::string& name) { return VmContext(name).get_class(); }
};

TEST_F(ControllerSimTest, MinerIsMovedToClassTwoAndBackAfterCalmingDown)
{
    Controller controller;
    LogCapture log;
    const int miner = runner.vm_pid("miner");
    const int calm = runner.vm_pid("calm");

    // First sight, baseline, the average's rise to the bound, then twice the burst.
    const auto implied = std::chrono::milliseconds(2 * update_ms + averaging_s * 1000 + 2 * burst_s * 1000);
    const std::string to_class_2 = "VM_id=miner bhyve_pid=" + std::to_string(miner) +
                                   "  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)=25%";
    ASSERT_TRUE(tick_until(
        controller, [&] { return logged(log, to_class_2); }, 2 * implied));
    EXPECT_EQ(class_of("miner"), 2);
    ASSERT_TRUE(controller.vms.contains(miner) && controller.vms.contains(calm));
    EXPECT_EQ(controller.vms.at(miner)->kind, 2);
    EXPECT_EQ(controller.vms.at(calm)->kind, 1);

    ASSERT_EQ(simtest::run_tool({"demand", "miner", "10"}).status, 0);
    const std::string to_class_1 =
        "VM_id=miner bhyve_pid=" + std::to_string(miner) + "  VCPU_class_2 => VCPU_class_1";
    ASSERT_TRUE(tick_until(
        controller, [&] { return logged(log, to_class_1); }, 2 * implied));
    EXPECT_EQ(class_of("miner"), 1);
    EXPECT_EQ(class_of("calm"), 1);
    EXPECT_EQ(controller.vms.at(calm)->kind, 1);
    EXPECT_LT(controller.vms.at(calm)->vcpu_loads.at(0).load, 60.0);
}

TEST_F(ControllerSimTest, VmContextReadsAndSetsClassesAndThrottleTime)
{
    VmContext missing("nosuchvm");
    EXPECT_FALSE(missing.is_open());
    EXPECT_EQ(missing.get_class(), -1);
    EXPECT_EQ(missing.set_class(1), -1);
    EXPECT_EQ(missing.throttle_us(0), std::nullopt);

    VmContext context("miner");
    ASSERT_TRUE(context.is_open());
    EXPECT_EQ(context.get_class(), 1);
    EXPECT_EQ(context.set_class(-1), -2);
    EXPECT_EQ(context.set_class(42), -3);
    EXPECT_EQ(context.set_class(2), 0);
    EXPECT_EQ(context.get_class(), 2);

    // At a class-1 limit of 30 the miner is held back 70 % of the time.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (context.throttle_us(1).value_or(0) < 100'000 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    const std::optional<uint64_t> throttled = context.throttle_us(1);
    ASSERT_TRUE(throttled.has_value());
    EXPECT_GE(*throttled, 100'000u);
    EXPECT_EQ(*throttled % 1000, 0u);                  // counted in milliseconds
    EXPECT_EQ(context.throttle_us(99), std::nullopt);  // no such vCPU: nothing read
}

}  // namespace
