// libvmmapi.so's calls on one running simulated VM: class, names,
// counters, reconfiguration, demand and injected faults. Each case runs in
// its own pid and mount namespaces, so the default state root is private to it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "libnv/nv.h"
#include "sim_harness.h"

namespace simtest {
namespace {

TEST(SimulatedVm, ClassIsReadAndSetWithinZeroToNine)
{
    Runner runner({"--vm", "web01:1:0:2"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    ASSERT_TRUE(api.handle);
    Context c{api, api.open("web01")};
    ASSERT_TRUE(c.ctx);
    int cls = -1;
    ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
    EXPECT_EQ(cls, 2);
    for (int wanted : {0, 9, 1}) {
        ASSERT_EQ(api.set_class(c.ctx, wanted), 0);
        ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
        EXPECT_EQ(cls, wanted);
    }
    for (int bad : {-1, 10, 1000}) {
        errno = 0;
        EXPECT_EQ(api.set_class(c.ctx, bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
    EXPECT_EQ(cls, 1);
    // Another context, and the tool, see the same class.
    ToolResult tool = run_tool({"class", "web01"});
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(tool.output, "1\n");
    tool = run_tool({"class", "web01", "7"});
    EXPECT_EQ(tool.output, "7\n");
    ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
    EXPECT_EQ(cls, 7);
}

TEST(SimulatedVm, UnsafeOrUnknownNamesDoNotOpen)
{
    Runner runner({"--vm", "web01:1:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    for (const char* name : {"", "nope", "../vms/web01", "web01/", "/web01", ".", "..", "web01/../web01"}) {
        vmctx* ctx = api.open(name);
        EXPECT_EQ(ctx, nullptr) << name;
        if (ctx)
            api.close(ctx);
        EXPECT_EQ(api.ping(name), -1) << name;
    }
    EXPECT_EQ(api.open(nullptr), nullptr);
    EXPECT_EQ(api.ping("web01"), 0);
}

TEST(SimulatedVm, CountersAreDescribedAndOutliveTheVcpuHandle)
{
    Runner runner({"--vm", "web01:2:50:2", "--period-ms", "20"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    Context c{api, api.open("web01")};
    ASSERT_TRUE(c.ctx);

    struct vcpu* cpu = api.vcpu_open(c.ctx, 1);
    ASSERT_TRUE(cpu);
    timeval stamp{};
    int count = 0;
    uint64_t* counters = api.get_stats(cpu, &stamp, &count);
    ASSERT_TRUE(counters);
    ASSERT_GE(count, 1);
    EXPECT_GT(stamp.tv_sec, 0);
    std::vector<uint64_t> copy(counters, counters + count);
    api.vcpu_close(cpu);
    // Still the library's array after the close, unchanged until the next call.
    EXPECT_EQ(std::vector<uint64_t>(counters, counters + count), copy);

    int matches = 0;
    for (int i = 0; i < count; ++i) {
        const char* text = api.stat_desc(c.ctx, i);
        ASSERT_NE(text, nullptr) << i;
        matches += std::strstr(text, "sleeps in ms due to vcpu limit throttle") != nullptr;
    }
    EXPECT_EQ(matches, 1);
    EXPECT_EQ(api.stat_desc(c.ctx, count), nullptr);
    EXPECT_EQ(api.stat_desc(c.ctx, -1), nullptr);

    EXPECT_EQ(api.vcpu_open(c.ctx, 2), nullptr);
    EXPECT_EQ(api.vcpu_open(c.ctx, -1), nullptr);

    // The counters move while the VM runs.
    int throttle = throttle_index(api, c.ctx);
    uint64_t before = vcpu_counter(api, c.ctx, 0, throttle);
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(vcpu_counter(api, c.ctx, 0, throttle), before);
}

TEST(SimulatedVm, ReconfigAppliesAllOrNothingAndPauseStopsTheVcpus)
{
    Runner runner({"--vm", "web01:1:100:2", "--period-ms", "20"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    Context c{api, api.open("web01")};
    ASSERT_TRUE(c.ctx);

    nvlist_t* bad = FreeBSD_nvlist_create(0);
    FreeBSD_nvlist_add_string(bad, "class", "3");
    FreeBSD_nvlist_add_string(bad, "demand", "lots");
    EXPECT_EQ(api.reconfig(c.ctx, bad), -1);  // consumes the list either way
    int cls = -1;
    ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
    EXPECT_EQ(cls, 2);

    nvlist_t* good = FreeBSD_nvlist_create(0);
    FreeBSD_nvlist_add_string(good, "class", "3");
    EXPECT_EQ(api.reconfig(c.ctx, good), 0);
    ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
    EXPECT_EQ(cls, 3);
    EXPECT_EQ(api.reconfig(nullptr, FreeBSD_nvlist_create(0)), -1);

    // Class 3 has no knob: unlimited, so no throttling; paused, nothing runs.
    ASSERT_EQ(api.pause(c.ctx), 0);
    std::this_thread::sleep_for(100ms);
    pid_t bhyve = runner.vm_pid("web01");
    pid_t tid = threads_of(bhyve).at("vcpu 0");
    uint64_t cpu = thread_cpu_ns(bhyve, tid);
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(thread_cpu_ns(bhyve, tid) - cpu, 30'000'000u);
    ASSERT_EQ(api.resume(c.ctx), 0);

    errno = 0;
    EXPECT_EQ(api.checkpoint("web01", "/tmp/web01.ckp", 1, 0), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST(SimulatedVm, DemandChangesPerVcpuAndRefusesBadLists)
{
    Runner runner({"--vm", "web01:2:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    EXPECT_EQ(run_tool({"demand", "web01", "10,90"}).status, 0);
    for (const char* bad : {"10,90,5", "101", "-1", "x", ""})
        EXPECT_EQ(run_tool({"demand", "web01", bad}).status, 1) << bad;
    EXPECT_EQ(run_tool({"demand", "nope", "10"}).status, 1);
    ToolResult list = run_tool({"list"});
    EXPECT_NE(list.output.find("web01 pid " + std::to_string(runner.vm_pid("web01"))), std::string::npos)
        << list.output;
    EXPECT_NE(list.output.find("demand 10,90 class 1"), std::string::npos) << list.output;
}

TEST(SimulatedVm, InjectedFaultsFailTheirEntryPointOfThatVmOnly)
{
    Runner runner({"--vm", "web01:2:0", "--vm", "db:1:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    Context c{api, api.open("web01")};
    Context other{api, api.open("db")};
    ASSERT_TRUE(c.ctx && other.ctx);
    int cls = -1;
    int count = 0;

    // A stats failure, once: the next read works again.
    ToolResult set = run_tool({"fault", "web01", "stats", "once"});
    ASSERT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(set.output, "stats once calls 0 injected 0\n");
    struct vcpu* cpu = api.vcpu_open(c.ctx, 0);
    ASSERT_TRUE(cpu);
    errno = 0;
    EXPECT_EQ(api.get_stats(cpu, nullptr, &count), nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_NE(api.get_stats(cpu, nullptr, &count), nullptr);
    api.vcpu_close(cpu);

    // A refused class change leaves the class as it was, until lifted.
    ASSERT_EQ(run_tool({"fault", "web01", "set_class", "on"}).status, 0);
    errno = 0;
    EXPECT_EQ(api.set_class(c.ctx, 2), -1);
    EXPECT_EQ(errno, EPERM);
    ASSERT_EQ(api.get_class(c.ctx, &cls), 0);
    EXPECT_EQ(cls, 1);
    EXPECT_EQ(api.set_class(other.ctx, 2), 0) << "other VMs are not affected";
    ASSERT_EQ(run_tool({"fault", "web01", "set_class", "off"}).status, 0);
    EXPECT_EQ(api.set_class(c.ctx, 2), 0);

    ASSERT_EQ(run_tool({"fault", "web01", "get_class", "on"}).status, 0);
    EXPECT_EQ(api.get_class(c.ctx, &cls), -1);
    ASSERT_EQ(run_tool({"fault", "web01", "stat_desc", "on"}).status, 0);
    EXPECT_EQ(api.stat_desc(c.ctx, 0), nullptr);
    EXPECT_NE(api.stat_desc(other.ctx, 0), nullptr);

    // Open at 50 %: every second open fails as if the VM had just gone.
    ASSERT_EQ(run_tool({"fault", "web01", "open", "50%"}).status, 0);
    int opened = 0;
    for (int i = 0; i < 10; ++i) {
        errno = 0;
        Context attempt{api, api.open("web01")};
        opened += attempt.ctx != nullptr;
        if (!attempt.ctx) {
            EXPECT_EQ(errno, ENOENT);
        }
    }
    EXPECT_EQ(opened, 5);

    // The listing shows every entry point with its counts; faults outlive a
    // restart of the VM.
    ASSERT_EQ(run_tool({"restart", "web01"}).status, 0);
    ToolResult list = run_tool({"fault", "web01"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.output, "open 50% calls 10 injected 5\n"
                           "get_class on calls 1 injected 1\n"
                           "set_class off calls 1 injected 0\n"
                           "stats off calls 2 injected 1\n"
                           "stat_desc on calls 1 injected 1\n");
}

TEST(SimulatedVm, FaultCommandRefusesBadSettingsAndUnknownVms)
{
    Runner runner({"--vm", "web01:1:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"fault"},
                                               {"fault", "web01", "stats"},
                                               {"fault", "web01", "vm_open", "on"},
                                               {"fault", "web01", "stats", "101%"},
                                               {"fault", "web01", "stats", "sometimes"},
                                               {"fault", "web01", "stats", "on", "extra"}})
        EXPECT_EQ(run_tool(args).status, 2) << args.size();
    EXPECT_EQ(run_tool({"fault", "nope", "stats", "on"}).status, 1);
    EXPECT_EQ(run_tool({"fault", "../web01", "stats", "on"}).status, 1);
    EXPECT_NE(run_tool({"fault", "web01"}).output.find("stats off calls 0 injected 0\n"), std::string::npos);
}

}  // namespace
}  // namespace simtest
