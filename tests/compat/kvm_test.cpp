#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "fake_vm.h"
#include "held_record.h"
#include "platform_kernel.h"

namespace {

struct Kvm {
    char err[_POSIX2_LINE_MAX] = {};
    kvm_t* kd = kvm_openfiles(nullptr, "/dev/null", nullptr, O_RDONLY, err);
    ~Kvm()
    {
        if (kd != nullptr)
            kvm_close(kd);
    }
};

std::vector<kinfo_proc> getprocs(kvm_t* kd, int op, int arg)
{
    int count = -1;
    kinfo_proc* procs = kvm_getprocs(kd, op, arg, &count);
    EXPECT_NE(procs, nullptr);
    if (procs == nullptr)
        return {};
    return {procs, procs + count};
}

// Thread name -> run time of every thread of a process group.
std::map<std::string, uint64_t> thread_times(kvm_t* kd, pid_t group)
{
    std::map<std::string, uint64_t> times;
    for (const auto& t : getprocs(kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, group))
        times[t.ki_tdname] = t.ki_runtime;
    return times;
}

// A child sleeping under `name` until stopped; it leads a group of its own
// when asked. `wanted` asks for that pid, which is free in a test's private
// pid namespace.
class Sleeper {
public:
    Sleeper(const char* name, bool own_group, pid_t wanted = 0)
    {
        if (wanted > 0)
            std::ofstream("/proc/sys/kernel/ns_last_pid") << wanted - 1;
        int ready[2];
        if (pipe(ready) != 0)
            return;
        child_.emplace(
            [&]() -> int {
                prctl(PR_SET_NAME, name);
                if (own_group)
                    setpgid(0, 0);
                (void)!write(ready[1], "x", 1);
                return sleep_until_killed();
            },
            ChildProcess::Options{.keep_output = true});
        close(ready[1]);
        char c;
        (void)!read(ready[0], &c, 1);
        close(ready[0]);
        pid = child_->pid();
    }

    void stop()
    {
        child_.reset();
        pid = -1;
    }

    pid_t pid = -1;

private:
    std::optional<ChildProcess> child_;
};

}  // namespace

TEST(Kvm, OpensLiveDataAlwaysAndKernelMemoryOnlyForRoot)
{
    char err[_POSIX2_LINE_MAX] = {};
    kvm_t* kd = kvm_openfiles(nullptr, nullptr, nullptr, O_RDONLY, err);
    ASSERT_NE(kd, nullptr) << err;
    kvm_close(kd);

    EXPECT_EQ(kvm_openfiles(nullptr, "/var/crash/vmcore.0", nullptr, O_RDONLY, err), nullptr);
    EXPECT_NE(std::strstr(err, "/var/crash/vmcore.0"), nullptr) << err;

    ASSERT_EQ(seteuid(65534), 0);
    std::memset(err, 0, sizeof err);
    kvm_t* user_mem = kvm_openfiles(nullptr, nullptr, nullptr, O_RDONLY, err);
    kvm_t* user_live = kvm_openfiles(nullptr, "/dev/null", nullptr, O_RDONLY, err);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(user_mem, nullptr);
    EXPECT_STREQ(err, "/dev/mem: Permission denied");
    EXPECT_NE(user_live, nullptr);
    if (user_live != nullptr)
        kvm_close(user_live);
}

TEST(Kvm, ListsProcessesWithTheirArguments)
{
    FakeVm vm(vm_options("bhyve: web01", 1));
    Kvm k;
    ASSERT_NE(k.kd, nullptr) << k.err;

    int count = 0;
    kinfo_proc* procs = kvm_getprocs(k.kd, KERN_PROC_PROC, 0, &count);
    ASSERT_NE(procs, nullptr);
    const kinfo_proc* entry = nullptr;
    for (int i = 0; i < count; ++i)
        if (procs[i].ki_pid == vm.pid())
            entry = &procs[i];
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->ki_comm, "bhyve");
    EXPECT_EQ(entry->ki_ppid, getpid());
    EXPECT_EQ(entry->ki_pgid, vm.group());

    char** argv = kvm_getargv(k.kd, entry, 0);
    ASSERT_NE(argv, nullptr);
    EXPECT_STREQ(argv[0], "bhyve: web01");
    ASSERT_NE(argv[1], nullptr);
    EXPECT_STREQ(argv[1], "-r");
    // Reading arguments leaves the process array alone.
    EXPECT_EQ(entry->ki_pid, vm.pid());

    argv = kvm_getargv(k.kd, entry, 5);
    ASSERT_NE(argv, nullptr);
    EXPECT_STREQ(argv[0], "bhyve");
    EXPECT_EQ(argv[1], nullptr);

    kinfo_proc gone = *entry;
    gone.ki_pid = 999999;
    EXPECT_EQ(kvm_getargv(k.kd, &gone, 0), nullptr);
}

TEST(Kvm, ListsThreadsOfEveryProcessInAGroup)
{
    auto options = vm_options("bhyve: db", 2);
    options.burn = true;
    options.supervised = true;
    FakeVm vm(options);
    Kvm k;
    ASSERT_NE(k.kd, nullptr) << k.err;

    auto threads = getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, vm.group());
    std::map<std::string, const kinfo_proc*> by_name;
    for (const auto& t : threads) {
        EXPECT_EQ(t.ki_pgid, vm.group());
        by_name[t.ki_tdname] = &t;
    }
    ASSERT_TRUE(by_name.count("vcpu 0") && by_name.count("vcpu 1") && by_name.count("bhyve"));
    EXPECT_EQ(by_name["vcpu 1"]->ki_pid, vm.pid());
    EXPECT_STREQ(by_name["vcpu 1"]->ki_comm, "bhyve");
    EXPECT_EQ(threads.size(), 4u);  // the supervisor's one thread, bhyve's three

    // Without threads: one entry per process, the supervisor and bhyve.
    EXPECT_EQ(getprocs(k.kd, KERN_PROC_PGRP, vm.group()).size(), 2u);

    const uint64_t before = thread_times(k.kd, vm.group())["vcpu 0"];
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Kvm later;
    EXPECT_GT(thread_times(later.kd, vm.group())["vcpu 0"], before);
}

TEST(Kvm, EmptyGroupsAndUnknownOperations)
{
    Kvm k;
    int count = -1;
    EXPECT_NE(kvm_getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, 999999, &count), nullptr);
    EXPECT_EQ(count, 0);

    count = -1;
    EXPECT_EQ(kvm_getprocs(k.kd, 1 /* KERN_PROC_PID */, getpid(), &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_NE(std::strlen(kvm_geterr(k.kd)), 0u);
}

// Handles share what they learnt of the process table; none of it may
// outlive the process it was learnt from.
TEST(Kvm, AProcessUnderAReusedPidIsReadAfresh)
{
    Sleeper first("first", true);
    ASSERT_GT(first.pid, 0);
    const pid_t reused = first.pid;
    for (int pass = 0; pass < 2; ++pass) {  // the second pass finds it already known
        Kvm k;
        const auto threads = getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, reused);
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_STREQ(threads[0].ki_comm, "first");
    }
    first.stop();

    // In our group this time, not leading one of its own.
    Sleeper second("second", false, reused);
    ASSERT_EQ(second.pid, reused);
    Kvm k;
    EXPECT_TRUE(getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, reused).empty());
    EXPECT_TRUE(getprocs(k.kd, KERN_PROC_PGRP, reused).empty());
    const auto ours = getprocs(k.kd, KERN_PROC_PGRP, getpgrp());
    const auto it =
        std::find_if(ours.begin(), ours.end(), [&](const kinfo_proc& p) { return p.ki_pid == reused; });
    ASSERT_NE(it, ours.end());
    EXPECT_STREQ(it->ki_comm, "second");
}

// A supervisor may take a group of its own only after it started; the
// first tick that saw it must not pin it to its old group.
TEST(Kvm, AGroupTakenJustAfterStartIsSeen)
{
    Sleeper child("late", false);
    ASSERT_GT(child.pid, 0);
    {
        Kvm k;
        EXPECT_TRUE(getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, child.pid).empty());
    }
    ASSERT_EQ(setpgid(child.pid, child.pid), 0);
    Kvm k;
    const auto threads = getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, child.pid);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_STREQ(threads[0].ki_tdname, "late");
    EXPECT_EQ(threads[0].ki_pgid, child.pid);
}

// Threads are often named just after they start: the name learnt on the
// first tick that saw a thread must not stay with it.
TEST(Kvm, AThreadNamedJustAfterStartIsSeen)
{
    if (getpgrp() != getpid()) {
        ASSERT_EQ(setpgid(0, 0), 0);
    }
    std::promise<void> finish;
    std::thread worker([done = finish.get_future()] { done.wait(); });
    pthread_setname_np(worker.native_handle(), "early");
    const auto names_now = [] {
        Kvm k;
        return thread_times(k.kd, getpid());
    };
    EXPECT_EQ(names_now().count("early"), 1u);
    pthread_setname_np(worker.native_handle(), "vcpu 0");
    const auto later = names_now();
    EXPECT_EQ(later.count("vcpu 0"), 1u);
    EXPECT_EQ(later.count("early"), 0u);
    finish.set_value();
    worker.join();
}

// Run times are read through descriptors held from one query to the next;
// they stay fresh, stay within their budget, and go with their threads.
TEST(Kvm, HeldRunTimeRecordsStayFreshAndGoWithTheirThreads)
{
    const int held_before = compat::HeldRecord::held_count();
    std::map<std::string, uint64_t> first;
    {
        auto options = vm_options("bhyve: held", 3);
        options.burn = true;
        FakeVm vm(options);
        for (int query = 0; query < 3; ++query) {
            Kvm k;
            const auto times = thread_times(k.kd, vm.group());
            ASSERT_EQ(times.count("vcpu 2"), 1u);
            if (query > 0) {
                EXPECT_GT(times.at("vcpu 2"), first.at("vcpu 2")) << "query " << query;
            }
            first = times;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_GT(compat::HeldRecord::held_count(), held_before);
        EXPECT_LE(compat::HeldRecord::held_count(), compat::HeldRecord::budget());
    }
    // The next query that lists /proc finds the VM gone and lets go.
    Kvm k;
    EXPECT_TRUE(getprocs(k.kd, KERN_PROC_PGRP | KERN_PROC_INC_THREAD, 999999).empty());
    EXPECT_EQ(compat::HeldRecord::held_count(), held_before);
}
