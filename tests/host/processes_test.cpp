#include "host/processes.h"

#include "host/process_selection.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_vm.h"
#include "host/kvm_reader.h"
#include "host/process_title.h"
#include "log_capture.h"
#include "sim_harness.h"

namespace {

// A process table fed to the selections, with the first arguments beside it.
struct Table {
    std::vector<kinfo_proc> procs;
    std::map<pid_t, std::string> arguments;

    void add(pid_t pid, pid_t ppid, const char* comm, const std::string& argument)
    {
        kinfo_proc p{};
        p.ki_pid = pid;
        p.ki_ppid = ppid;
        std::strncpy(p.ki_comm, comm, COMMLEN);
        procs.push_back(p);
        arguments.emplace(pid, argument);
    }
    FirstArgument first_argument() const
    {
        return [this](const kinfo_proc& p) { return arguments.at(p.ki_pid); };
    }
};

const ProcessInfo* find_pid(const std::vector<ProcessInfo>& list, pid_t pid)
{
    for (const auto& p : list)
        if (p.pid == pid)
            return &p;
    return nullptr;
}

}  // namespace

TEST(BhyveSelection, CommandNameTitleAndParent)
{
    Table t;
    t.add(100, 812, "bhyve", "bhyve: web01");
    t.add(101, 1, "bhyve", "bhyve: db");
    t.add(102, 812, "bhyve", "bhyve:web02");    // no blank
    t.add(103, 812, "bhyve", "xbhyve: web03");  // "bhyve: " not at the start
    t.add(104, 0, "bhyve", "bhyve: kernel");    // kernel process
    t.add(105, 812, "bhyvectl", "bhyve: tool");
    t.add(106, 812, "bhyve", "");
    t.add(100, 812, "bhyve", "bhyve: again");  // same key again: the first stays

    BhyveProcesses found = select_bhyve_processes(t.procs, t.first_argument());
    EXPECT_EQ(found, (BhyveProcesses{{{0, 101}, "db"}, {{812, 100}, "web01"}}));
}

TEST(BhyveSelection, NamesThatAreNoPlainNamesAreWarnedOnceWhileTheProcessLasts)
{
    LogCapture log;
    Table t;
    t.add(200, 812, "bhyve", "bhyve: ");
    t.add(201, 812, "bhyve", "bhyve: .");
    t.add(202, 812, "bhyve", "bhyve: ..");
    t.add(203, 812, "bhyve", "bhyve: ../../dev/mem");
    t.add(204, 812, "bhyve", "bhyve: vm/1");
    t.add(205, 812, "bhyve", std::string("bhyve: vm\0\n\x1f\x7f", 13));
    t.add(206, 812, "bhyve", "bhyve: ...");  // odd, but one plain name
    t.add(207, 812, "bhyve", "bhyve: vm\\1 \x80");

    const BhyveProcesses expected{{{812, 206}, "..."}, {{812, 207}, "vm\\1 \x80"}};
    EXPECT_EQ(select_bhyve_processes(t.procs, t.first_argument()), expected);
    const std::string warned = "Ignored bhyve process pid=20";
    EXPECT_EQ(log.take(),
              (std::vector<LogCapture::Line>{
                  {spdlog::level::warn, warned + "0: unusable VM name ''"},
                  {spdlog::level::warn, warned + "1: unusable VM name '.'"},
                  {spdlog::level::warn, warned + "2: unusable VM name '..'"},
                  {spdlog::level::warn, warned + "3: unusable VM name '../../dev/mem'"},
                  {spdlog::level::warn, warned + "4: unusable VM name 'vm/1'"},
                  {spdlog::level::warn, warned + "5: unusable VM name 'vm\\x00\\x0a\\x1f\\x7f'"}}));

    // Listed again: no new warnings. Once a process has gone, its pid may
    // come back with another process, which is warned about again.
    EXPECT_EQ(select_bhyve_processes(t.procs, t.first_argument()), expected);
    EXPECT_TRUE(log.take().empty());
    Table later;
    later.add(201, 812, "bhyve", "bhyve: .");
    select_bhyve_processes(later.procs, later.first_argument());
    EXPECT_TRUE(log.take().empty());
    select_bhyve_processes({}, later.first_argument());
    select_bhyve_processes(later.procs, later.first_argument());
    EXPECT_EQ(log.take(),
              (std::vector<LogCapture::Line>{{spdlog::level::warn, warned + "1: unusable VM name '.'"}}));
}

TEST(ProcessSelection, NamesCutToTheKernelsLength)
{
    Table t;
    t.add(10, 1, "halvorn", "Orvane priority controller (daemon)");
    t.add(11, 0, "halvorn", "kernel twin");
    t.add(12, 10, "abcdefghijklmnopqrs", "long");  // 19 characters
    t.add(13, 10, "sshd", "sshd: x");

    auto found = select_processes(t.procs, {"halvorn", "abcdefghijklmnopqrstuvwxy"}, t.first_argument());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].command, "halvorn");
    EXPECT_EQ(found[0].first_argument, "Orvane priority controller (daemon)");
    EXPECT_EQ(found[0].parent_pid, 1);  // unchanged here
    EXPECT_EQ(found[1].pid, 12);

    auto all = select_processes(t.procs, {}, t.first_argument());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].command, "sshd");
}

TEST(BhyveProcesses, FindsRunningVms)
{
    FakeVm web(vm_options("bhyve: web01", 1));
    auto supervised = vm_options("bhyve: db", 1);
    supervised.supervised = true;
    FakeVm db(supervised);
    FakeVm odd(vm_options("bhyve:web02", 1));

    KvmReader reader;
    BhyveProcesses found = bhyve_processes(reader);
    const int own_parent = getpid() == 1 ? 0 : getpid();
    EXPECT_EQ(found[std::make_pair(own_parent, web.pid())], "web01");
    EXPECT_EQ(found[std::make_pair(db.parent(), db.pid())], "db");
    for (const auto& [key, id] : found)
        EXPECT_NE(key.second, odd.pid());
}

// A VM of the simulator as the daemon meets it: found by its title under its
// supervisor, whose process group holds the vCPU threads.
TEST(BhyveProcesses, FindsASimulatedVmAndItsVcpuThreads)
{
    simtest::Runner runner({"--vm", "web01:2:20,0"});
    ASSERT_TRUE(runner.ready()) << runner.output();
    const int pid = runner.vm_pid("web01");
    const int supervisor = runner.supervisor_pid("web01");
    ASSERT_GT(pid, 0);
    ASSERT_GT(supervisor, 1);

    KvmReader reader;
    const BhyveProcesses found = bhyve_processes(reader);
    const auto vm = found.find({supervisor, pid});
    ASSERT_NE(vm, found.end());
    EXPECT_EQ(vm->second, "web01");

    const VcpuThreads before = reader.vcpu_threads(supervisor);
    std::vector<std::string> names;
    for (const auto& [name, runtime] : before)
        names.push_back(name);
    ASSERT_EQ(names, (std::vector<std::string>{"vcpu 0", "vcpu 1"}));

    // vcpu 0 wants a fifth of a CPU: its run time grows by 10 ms well within the deadline.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    uint64_t now = before.at("vcpu 0");
    while (now < before.at("vcpu 0") + 10000 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = KvmReader().vcpu_threads(supervisor)["vcpu 0"];
    }
    EXPECT_GE(now, before.at("vcpu 0") + 10000);
}

TEST(FindProcesses, ByNameAndAll)
{
    FakeVm web(vm_options("bhyve: web01", 0));

    auto named = find_processes({"bhyve"});
    const ProcessInfo* vm = find_pid(named, web.pid());
    ASSERT_NE(vm, nullptr);
    EXPECT_EQ(vm->command, "bhyve");
    EXPECT_EQ(vm->first_argument, "bhyve: web01");
    EXPECT_EQ(vm->parent_pid, getpid());
    EXPECT_EQ(find_pid(named, getpid()), nullptr);

    auto all = find_processes({});
    EXPECT_NE(find_pid(all, web.pid()), nullptr);
    // As pid 1 of the test's namespace we have parent 0, and such are never listed.
    EXPECT_EQ(find_pid(all, getpid()) != nullptr, getppid() != 0);
}

TEST(FindProcesses, SeesTheTitleAnotherProcessSet)
{
    const std::string title = "Orvane priority controller (daemon)";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    ChildProcess titled(
        [&]() -> int {
            const char ok = set_process_arguments(title) == 0 ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1)
                return 1;
            return sleep_until_killed();
        },
        {});
    const pid_t child = titled.pid();
    ASSERT_GT(child, 0);
    // Our copy of the write end closed, a child that dies early gives EOF
    // instead of a read that never returns.
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');

    auto all = find_processes({});
    const ProcessInfo* daemon = find_pid(all, child);
    ASSERT_NE(daemon, nullptr);
    EXPECT_EQ(daemon->first_argument, title);

    close(ready[0]);
}
