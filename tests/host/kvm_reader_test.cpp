#include "host/kvm_reader.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>

#include "fake_vm.h"
#include "host/processes.h"
#include "platform_kernel.h"

namespace {

CpuTimes sample(uint64_t user, uint64_t sys, uint64_t idle)
{
    CpuTimes t;
    t.user = user;
    t.sys = sys;
    t.idle = idle;
    t.valid = true;
    return t;
}

}  // namespace

TEST(IdleShare, BetweenSamplesSinceBootAndAcrossWrap)
{
    EXPECT_DOUBLE_EQ(idle_share(CpuTimes{}, sample(30, 10, 60)), 60.0);
    EXPECT_NEAR(idle_share(sample(10, 10, 80), sample(20, 10, 100)), 66.6667, 1e-3);

    const uint64_t top = std::numeric_limits<uint64_t>::max();
    EXPECT_DOUBLE_EQ(idle_share(sample(0, 0, top - 4), sample(10, 0, 5)), 50.0);

    // No time between the samples: not a number, which the caller must skip.
    EXPECT_TRUE(std::isnan(idle_share(sample(1, 2, 3), sample(1, 2, 3))));
}

TEST(KvmReader, SamplesCpuTimes)
{
    KvmReader reader;
    ASSERT_NE(reader.handle, nullptr) << reader.error();
    EXPECT_TRUE(reader.error().empty());
    CpuTimes first = reader.cpu_times();
    CpuTimes second = reader.cpu_times();
    ASSERT_TRUE(first.valid && second.valid);
    EXPECT_GT(first.user + first.sys + first.idle, 0u);
    EXPECT_GE(second.idle, first.idle);
}

TEST(KvmReader, WithoutHandleEverythingIsEmpty)
{
    KvmReader reader;
    kvm_close(reader.handle);
    reader.handle = nullptr;
    CpuTimes t = reader.cpu_times();
    EXPECT_FALSE(t.valid);
    EXPECT_EQ(t.user + t.nice + t.sys + t.intr + t.idle, 0u);
    EXPECT_TRUE(reader.vcpu_threads(1).empty());
    EXPECT_TRUE(bhyve_processes(reader).empty());
}

TEST(KvmReader, OpeningWithoutProcfsKeepsTheErrorText)
{
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                std::exit(2);
            // procfs may be mounted more than once (the test namespace adds one).
            while (umount2("/proc", MNT_DETACH) == 0) {
            }
            KvmReader reader;
            std::fprintf(stderr, "[%s]\n", reader.error().c_str());
            // _Exit: a leak checker run at exit needs the /proc just taken away.
            std::fflush(stderr);
            std::_Exit(reader.handle == nullptr ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "\\[/proc: proc file system not mounted\\]");
}

TEST(VcpuThreads, OnlyNamesStartingWithVcpu)
{
    auto options = vm_options("bhyve: web01", 2);
    options.threads = {"vcpu", "vcp", "xvcpu 9", "worker"};
    FakeVm vm(options);
    FakeVm plain(vm_options("bhyve: plain", 0));

    KvmReader reader;
    VcpuThreads threads = reader.vcpu_threads(vm.group());
    std::vector<std::string> names;
    for (const auto& [name, runtime] : threads)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"vcpu", "vcpu 0", "vcpu 1"}));

    EXPECT_TRUE(reader.vcpu_threads(plain.group()).empty());
    EXPECT_TRUE(reader.vcpu_threads(999999).empty());
}

TEST(VcpuThreads, RunTimeGrowsAndTheFirstOfANameWins)
{
    auto busy_options = vm_options("bhyve: busy", 1);
    busy_options.burn = true;
    FakeVm busy(busy_options);
    auto idle_options = vm_options("bhyve: idle", 1);
    idle_options.group = busy.group();
    FakeVm idle(idle_options);

    const uint64_t before = KvmReader().vcpu_threads(busy.group())["vcpu 0"];
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    VcpuThreads after = KvmReader().vcpu_threads(busy.group());

    // Both processes have a "vcpu 0"; the busy one comes first in the table.
    ASSERT_EQ(after.size(), 1u);
    EXPECT_GT(after["vcpu 0"], before);
    EXPECT_GT(after["vcpu 0"], 5000u);
}
