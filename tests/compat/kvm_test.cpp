#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake_vm.h"
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
