// libvmmapi.so against running simulated VMs. Each case runs in its own pid
// and mount namespaces, so the default state root is private to it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "libnv/nv.h"
#include "sim_harness.h"

namespace simtest {
namespace {

const std::string root = "/var/run/vmmsim";

struct Context {
    const Vmmapi& api;
    vmctx* ctx;
    ~Context()
    {
        if (ctx)
            api.close(ctx);
    }
};

TEST(SimulatedVm, LooksLikeBhyveToTheProcessTable)
{
    Runner runner({"--vm", "web01:3:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    pid_t bhyve = runner.vm_pid("web01");
    pid_t supervisor = runner.supervisor_pid("web01");
    EXPECT_EQ(comm_of(bhyve), "bhyve");
    ASSERT_FALSE(args_of(bhyve).empty());
    EXPECT_EQ(args_of(bhyve)[0], "bhyve: web01");
    // The vCPU threads are found through the bhyve process's parent, which
    // leads the process group.
    EXPECT_EQ(ppid_of(bhyve), supervisor);
    EXPECT_EQ(pgid_of(bhyve), supervisor);
    EXPECT_EQ(pgid_of(supervisor), supervisor);
    std::map<std::string, pid_t> threads = threads_of(bhyve);
    EXPECT_EQ(threads.size(), 4u);  // the main thread and three vCPUs
    for (const char* name : {"vcpu 0", "vcpu 1", "vcpu 2"})
        EXPECT_TRUE(threads.count(name)) << name;
}

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

TEST(SimulatedVm, StoppedVmNoLongerOpensAndOldContextsFail)
{
    Runner runner({"--vm", "web01:1:0", "--vm", "db:1:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    Context old{api, api.open("web01")};
    ASSERT_TRUE(old.ctx);
    pid_t bhyve = runner.vm_pid("web01");

    ToolResult stop = run_tool({"stop", "web01"});
    EXPECT_EQ(stop.status, 0) << stop.output;
    EXPECT_EQ(api.open("web01"), nullptr);
    EXPECT_EQ(api.ping("web01"), -1);
    int cls = -1;
    errno = 0;
    EXPECT_EQ(api.get_class(old.ctx, &cls), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(api.vcpu_open(old.ctx, 0), nullptr);
    EXPECT_FALSE(path_exists(root + "/vms/web01"));
    EXPECT_NE(comm_of(bhyve), "bhyve");  // gone, or at most a reaped zombie's name

    // The other VM is untouched, and stopping an unknown VM is an error.
    Context other{api, api.open("db")};
    EXPECT_TRUE(other.ctx);
    EXPECT_EQ(run_tool({"stop", "web01"}).status, 1);
}

// The library keeps what it mapped between opens; a VM stopped and started
// again under its name has a new state, and opens on that one.
TEST(SimulatedVm, VmStartedAgainUnderItsNameOpensOnItsNewState)
{
    Runner runner({"--vm", "web01:1:0:1"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    Context first{api, api.open("web01")};
    ASSERT_TRUE(first.ctx);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(run_tool({"stop", "web01"}).status, 0);
        const std::string vm = "web01:2:0:" + std::to_string(3 + round);
        const ToolResult start = run_tool({"start", vm});
        ASSERT_EQ(start.status, 0) << start.output;
        Context again{api, api.open("web01")};
        ASSERT_TRUE(again.ctx) << round;
        int cls = -1;
        ASSERT_EQ(api.get_class(again.ctx, &cls), 0);
        EXPECT_EQ(cls, 3 + round);
        struct vcpu* second_vcpu = api.vcpu_open(again.ctx, 1);
        EXPECT_TRUE(second_vcpu) << "the new boot has two vCPUs";
        api.vcpu_close(second_vcpu);
        EXPECT_EQ(api.get_class(first.ctx, &cls), -1) << "bound to the first boot";
    }
}

// The per-vCPU calls trust the supervisor to unbind a bhyve that dies on its
// own; they must not go on reporting the last counters as a live reading.
TEST(SimulatedVm, BhyveThatDiesUnbindsItsContextsAndVcpus)
{
    Runner runner({"--vm", "web01:2:0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    Vmmapi api;
    Context old{api, api.open("web01")};
    ASSERT_TRUE(old.ctx);
    struct vcpu* cpu = api.vcpu_open(old.ctx, 0);
    ASSERT_TRUE(cpu);
    int count = 0;
    ASSERT_TRUE(api.get_stats(cpu, nullptr, &count));

    ASSERT_EQ(kill(runner.vm_pid("web01"), SIGKILL), 0);
    // The supervisor reaps it and leaves; its directory goes last.
    for (int i = 0; i < 200 && path_exists(root + "/vms/web01"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(path_exists(root + "/vms/web01")) << runner.output();

    errno = 0;
    EXPECT_EQ(api.get_stats(cpu, nullptr, &count), nullptr);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(api.vcpu_open(old.ctx, 1), nullptr);
    int cls = -1;
    EXPECT_EQ(api.get_class(old.ctx, &cls), -1);
    api.vcpu_close(cpu);
}

TEST(SimulatedVm, RestartedVmHasANewPidAndBootsInItsStartingClass)
{
    Runner runner({"--vm", "web01:2:0:1"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    pid_t first = runner.vm_pid("web01");
    Vmmapi api;
    Context old{api, api.open("web01")};
    ASSERT_EQ(api.set_class(old.ctx, 2), 0);

    ToolResult restart = run_tool({"restart", "web01"});
    ASSERT_EQ(restart.status, 0) << restart.output;
    pid_t second = std::atoi(restart.output.substr(restart.output.rfind(' ') + 1).c_str());
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(args_of(second).at(0), "bhyve: web01");
    EXPECT_EQ(ppid_of(second), runner.supervisor_pid("web01"));
    EXPECT_EQ(threads_of(second).count("vcpu 1"), 1u);

    int cls = -1;
    EXPECT_EQ(api.get_class(old.ctx, &cls), -1);  // bound to the previous boot
    Context fresh{api, api.open("web01")};
    ASSERT_TRUE(fresh.ctx);
    ASSERT_EQ(api.get_class(fresh.ctx, &cls), 0);
    EXPECT_EQ(cls, 1);
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

TEST(SimulatedHost, RunnerRemovesAllStateOnSigterm)
{
    Runner runner({"--vm", "web01:2:10", "--vm", "db:1:0", "--burst-secs", "7"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    // A VM started on its own is the runner's to stop as well.
    ToolResult started = run_tool({"start", "extra:1:0"});
    ASSERT_EQ(started.status, 0) << started.output;
    EXPECT_EQ(run_tool({"knob", "hw.vmm.vcpu_limit.class.1.burst_secs"}).output, "7\n");
    EXPECT_EQ(processes_named("bhyve").size(), 3u);

    EXPECT_EQ(runner.stop(), 0) << runner.output();
    // Detached supervisors were our children only by adoption (we are pid 1).
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    EXPECT_FALSE(path_exists(root)) << runner.output();
    EXPECT_TRUE(processes_named("bhyve").empty());
    EXPECT_NE(runner.output().find("stopped extra"), std::string::npos) << runner.output();
}

TEST(SimulatedHost, OneRunnerPerRootAndRootsDoNotSeeEachOther)
{
    Runner first({"--vm", "web01:1:0"});
    ASSERT_TRUE(first.ready()) << first.output();
    Runner second({"--vm", "db:1:0"});
    EXPECT_FALSE(second.ready(3s));
    EXPECT_NE(second.output().find("another vmmsim run"), std::string::npos) << second.output();
    EXPECT_TRUE(path_exists(root + "/vms/web01"));  // the refused runner left it alone

    setenv("VMMSIM_ROOT", "/run/other", 1);
    Runner other({"--vm", "db:1:0"});
    ASSERT_TRUE(other.ready()) << other.output();
    Vmmapi api;
    EXPECT_EQ(api.open("web01"), nullptr);
    Context db{api, api.open("db")};
    EXPECT_TRUE(db.ctx);
    EXPECT_EQ(run_tool({"list"}).output.find("web01"), std::string::npos);
    unsetenv("VMMSIM_ROOT");
    EXPECT_EQ(api.open("db"), nullptr);
    Context web{api, api.open("web01")};
    EXPECT_TRUE(web.ctx);
}

TEST(SimulatedHost, VariantsLackExactlyTheirEntryPoints)
{
    struct Case {
        std::string dir;
        std::vector<const char*> missing;
    };
    for (const Case& variant :
         {Case{"no-class", {"vm_get_vcpu_class", "vm_set_vcpu_class"}}, Case{"no-close", {"vm_close"}},
          Case{"no-stats", {"vm_vcpu_open", "vm_get_stats", "vm_vcpu_close"}}}) {
        Vmmapi api(variant_dir(variant.dir) + "/libvmmapi.so");
        ASSERT_TRUE(api.handle) << variant.dir;
        int present = 0;
        for (const char* name :
             {"vm_open", "vm_close", "vm_ping", "vm_get_name", "vm_get_vcpu_class", "vm_set_vcpu_class",
              "vm_get_stats", "vm_get_stat_desc", "vm_checkpoint", "vm_livestream", "vm_vcpu_open",
              "vm_vcpu_close", "vm_get_config", "vm_pause", "vm_resume", "vm_reconfig"}) {
            bool omitted = false;
            for (const char* gone : variant.missing)
                omitted = omitted || std::strcmp(gone, name) == 0;
            EXPECT_EQ(api.symbol(name) == nullptr, omitted) << variant.dir << " " << name;
            present += api.symbol(name) != nullptr;
        }
        EXPECT_EQ(present, 16 - static_cast<int>(variant.missing.size()));
    }
    Vmmapi nv(variant_dir("nv-no-next") + "/libnv.so");
    EXPECT_TRUE(nv.symbol("FreeBSD_nvlist_destroy"));
    EXPECT_FALSE(nv.symbol("FreeBSD_nvlist_next"));

    // The tool picks its library from LD_LIBRARY_PATH, like the daemon.
    ToolResult tool = run_tool({"class", "web01"}, {{"LD_LIBRARY_PATH", variant_dir("no-class")}});
    EXPECT_EQ(tool.status, 1);
    EXPECT_NE(tool.output.find("vm_get_vcpu_class"), std::string::npos) << tool.output;
}

}  // namespace
}  // namespace simtest
