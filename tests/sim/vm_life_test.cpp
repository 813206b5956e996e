// Simulated VMs and hosts over their lives: how a VM looks to the process
// table, what its contexts do once it stops, dies or restarts, and what the
// runner and the library variants leave. Each case runs in its own pid and
// mount namespaces, so the default state root is private to it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim_harness.h"

namespace simtest {
namespace {

const std::string root = "/var/run/vmmsim";

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
