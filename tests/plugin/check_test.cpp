#include "check.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>

#include "argv.h"
#include "fake_kernel.h"

namespace {

// user, nice, system, interrupt, idle
constexpr CpTimeSample first_sample{1000, 20, 300, 5, 9000};

CpTimeSample plus(CpTimeSample sample, long busy, long idle)
{
    sample[0] += busy;
    sample[4] += idle;
    return sample;
}

struct Run {
    int status;
    std::string out;
};

Run run(FakeKernel& kernel, Argv args)
{
    std::ostringstream out;
    const int status = cpuslack_main(args.argc(), args.argv(), kernel.environment(out));
    return {status, out.str()};
}

TEST(Check, IdleShareAgainstThresholds)
{
    struct Case {
        long busy, idle;
        int status;
        std::string line;
    };
    const Case cases[] = {
        {150, 850, 0, "OK: 85 | host_cpu_idle=85\n"},
        {800, 200, 0, "OK: 20 | host_cpu_idle=20\n"},  // at the threshold: not below it
        {0, 1000, 0, "OK: 100 | host_cpu_idle=100\n"},
        {803, 197, 1, "WARNING: 19 below 20 | host_cpu_idle=19\n"},  // 19.7 floors to 19
        {950, 50, 1, "WARNING: 5 below 20 | host_cpu_idle=5\n"},
        {951, 49, 2, "CRITICAL: 4 below 5 | host_cpu_idle=4\n"},  // 4.9 is below 5
        {1000, 0, 2, "CRITICAL: 0 below 5 | host_cpu_idle=0\n"},
    };
    for (const auto& c : cases) {
        FakeKernel kernel;
        kernel.replies = {{first_sample}, {plus(first_sample, c.busy, c.idle)}};
        const auto result = run(kernel, {"cpuslack", "-w", "20", "-c", "5", "-p", "2"});
        EXPECT_EQ(result.out, c.line);
        EXPECT_EQ(result.status, c.status) << c.line;
        EXPECT_EQ(kernel.sleeps, std::vector<int>{2});
    }
}

TEST(Check, AsksTheKernelForAFullSampleTwice)
{
    FakeKernel kernel;
    kernel.replies = {{first_sample}, {plus(first_sample, 10, 90)}};
    run(kernel, {"cpuslack", "-w", "20", "-c", "5"});
    EXPECT_EQ(kernel.names, (std::vector<std::string>{"kern.cp_time", "kern.cp_time"}));
    EXPECT_EQ(kernel.lengths_offered, (std::vector<std::size_t>{40, 40}));
    EXPECT_EQ(kernel.sleeps, std::vector<int>{5});  // the default period
}

TEST(Check, CountersThatWrapStillGiveTheShare)
{
    FakeKernel kernel;
    const CpTimeSample first{LONG_MAX - 5, 0, 0, 0, LONG_MAX - 10};
    const CpTimeSample second{LONG_MIN + 4, 0, 0, 0, LONG_MIN + 29};  // +10 busy, +40 idle
    kernel.replies = {{first}, {second}};
    EXPECT_EQ(run(kernel, {"cpuslack", "-w", "90", "-c", "50", "-p", "1"}).out,
              "WARNING: 80 below 90 | host_cpu_idle=80\n");
}

TEST(Check, InvalidOptionsOrHelpTakeNoSample)
{
    struct Case {
        Argv args;
        int status;
        std::string out;
    };
    Case cases[] = {
        {{"cpuslack"}, 3, "Wrong \"warning\" parameter [1:100]\n"},
        {{"cpuslack", "-w", "20", "-c", "20"},
         3,
         "Incorrect parameter relation [\"warning\" > \"critical\"]\n"},
        {{"cpuslack", "-w", "500", "-p", "0", "-h", "-c", "9"}, 0, usage_text()},
    };
    for (auto& c : cases) {
        FakeKernel kernel;
        kernel.replies = {{first_sample}, {plus(first_sample, 1, 1)}};
        const auto result = run(kernel, c.args);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_TRUE(kernel.names.empty());
        EXPECT_TRUE(kernel.sleeps.empty());
    }
}

TEST(Check, UnchangedCountersAreUnknown)
{
    FakeKernel kernel;
    kernel.replies = {{first_sample}, {first_sample}};
    const auto result = run(kernel, {"cpuslack", "-w", "20", "-c", "5", "-p", "1"});
    EXPECT_EQ(result.out, "No 'kern.cp_time' changes between samples\n");
    EXPECT_EQ(result.status, 3);
}

TEST(Check, WrongSizeCounterBlockStopsAtTheFirstSample)
{
    for (std::size_t length : {std::size_t{20}, std::size_t{80}}) {
        FakeKernel kernel;
        kernel.replies = {{first_sample, length}, {plus(first_sample, 1, 1)}};
        const auto result = run(kernel, {"cpuslack", "-w", "20", "-c", "5", "-p", "1"});
        EXPECT_EQ(result.out, std::string("sysctl kern.cp_time error: ") + std::strerror(EIO) + "\n");
        EXPECT_EQ(result.status, 3);
        EXPECT_EQ(kernel.names.size(), 1u);
        EXPECT_TRUE(kernel.sleeps.empty());
    }
}

TEST(Check, FailedSecondSampleReportsItsError)
{
    FakeKernel kernel;
    kernel.replies = {{first_sample}, {.error = ENOENT}};
    const auto result = run(kernel, {"cpuslack", "-w", "20", "-c", "5", "-p", "1"});
    EXPECT_EQ(result.out, std::string("sysctl kern.cp_time error: ") + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(kernel.sleeps, std::vector<int>{1});
}

}  // namespace
