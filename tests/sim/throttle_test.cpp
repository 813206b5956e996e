// vCPUs really run at most their class's rate limit and count the rest as
// throttled. These burn CPU for a few seconds, so they run alone; tolerances
// allow for a busy two-core machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "sim_harness.h"

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

struct Share {
    double run;       // CPU time the vCPU thread used, share of wall time
    double throttle;  // growth of its throttle counter, share of wall time
};

// Watches vCPU 0 of `vm` for `span`, from outside (schedstat) and through libvmmapi.
Share measure(const Vmmapi& api, vmctx* ctx, pid_t bhyve, std::chrono::milliseconds span)
{
    pid_t tid = threads_of(bhyve).at("vcpu 0");
    int throttle = throttle_index(api, ctx);
    auto start = Clock::now();
    uint64_t cpu_before = thread_cpu_ns(bhyve, tid);
    uint64_t throttle_before = vcpu_counter(api, ctx, 0, throttle);
    std::this_thread::sleep_for(span);
    uint64_t cpu_after = thread_cpu_ns(bhyve, tid);
    uint64_t throttle_after = vcpu_counter(api, ctx, 0, throttle);
    double wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return {(cpu_after - cpu_before) / 1e6 / wall_ms, (throttle_after - throttle_before) / wall_ms};
}

TEST(Throttling, FullDemandUnderAQuarterLimitRunsAQuarterAndCountsThreeQuarters)
{
    Runner runner({"--vm", "miner:1:100:2", "--class2-limit", "25"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    vmctx* ctx = api.open("miner");
    ASSERT_TRUE(ctx);
    std::this_thread::sleep_for(200ms);  // past the first slice
    Share share = measure(api, ctx, runner.vm_pid("miner"), 2000ms);
    EXPECT_GT(share.run, 0.12);
    EXPECT_LT(share.run, 0.40);
    EXPECT_GT(share.throttle, 0.60);
    EXPECT_LT(share.throttle, 0.90);

    // The service figures agree: a quarter allowed of all it wants, and what
    // it received is the CPU time the thread was seen to use. One whole
    // second lies within the span measured; two might reach back before the
    // VM started.
    ToolResult service = run_tool({"stats", "--service", "--window", "1", "miner"});
    ASSERT_EQ(service.status, 0) << service.output;
    std::istringstream words(service.output);
    std::map<std::string, double> fields;
    std::string key, value;
    words >> key >> value;
    while (words >> key >> value)
        fields[key] = std::atof(value.c_str());
    EXPECT_NEAR(fields["demand_ms"], 1000, 100) << service.output;
    EXPECT_NEAR(fields["wanted_ms"], 250, 25) << service.output;
    EXPECT_NEAR(fields["received_ms"] / 1000, share.run, 0.08) << service.output;
    api.close(ctx);
}

TEST(Throttling, ClassKnobAndDemandChangesRetuneItWithinASlice)
{
    Runner runner({"--vm", "miner:1:100:1", "--class1-limit", "100", "--class2-limit", "25"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    pid_t bhyve = runner.vm_pid("miner");
    Vmmapi api;
    vmctx* ctx = api.open("miner");
    ASSERT_TRUE(ctx);

    // Class 1 at 100 %: runs freely, nothing held back.
    Share free = measure(api, ctx, bhyve, 700ms);
    EXPECT_LT(free.throttle, 0.05);
    EXPECT_GT(free.run, 0.40);

    ASSERT_EQ(api.set_class(ctx, 2), 0);
    int cls = -1;
    ASSERT_EQ(api.get_class(ctx, &cls), 0);
    EXPECT_EQ(cls, 2);
    std::this_thread::sleep_for(150ms);  // one slice to notice
    Share limited = measure(api, ctx, bhyve, 1000ms);
    EXPECT_GT(limited.throttle, 0.60);
    EXPECT_LT(limited.throttle, 0.90);
    EXPECT_LT(limited.run, 0.40);

    // The class's knob is read every slice too.
    ASSERT_EQ(run_tool({"knob", "hw.vmm.vcpu_limit.class.2.rate_limit", "50"}).status, 0);
    std::this_thread::sleep_for(150ms);
    Share half = measure(api, ctx, bhyve, 1000ms);
    EXPECT_GT(half.throttle, 0.35);
    EXPECT_LT(half.throttle, 0.65);

    // A guest that calms down below its limit is no longer held back.
    ASSERT_EQ(run_tool({"demand", "miner", "20"}).status, 0);
    std::this_thread::sleep_for(150ms);
    Share calm = measure(api, ctx, bhyve, 700ms);
    EXPECT_LT(calm.throttle, 0.05);
    EXPECT_LT(calm.run, 0.30);
    api.close(ctx);
}

}  // namespace
}  // namespace simtest
