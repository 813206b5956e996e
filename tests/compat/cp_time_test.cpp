#include "compat/src/cp_time.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform_kernel.h"

namespace {

bool parse(const char* text, long out[CPUSTATES])
{
    return compat::parse_cp_time(text, std::strlen(text), out);
}

}  // namespace

// Every column a distinct power of ten, so any column lost or counted twice
// shows in the digits.
TEST(CpTime, FoldsEachLinuxColumnExactlyOnce)
{
    //                 user nice system idle  iowait irq    softirq steal    guest     guest_nice
    const char* text = "cpu  1 10 100 1000 10000 100000 1000000 10000000 100000000 1000000000\n"
                       "cpu0 1 1 1 1 1 1 1 1 1 1\n";
    long out[CPUSTATES] = {};
    ASSERT_TRUE(parse(text, out));
    EXPECT_EQ(out[CP_USER], 1);
    EXPECT_EQ(out[CP_NICE], 10);
    EXPECT_EQ(out[CP_SYS], 10000100);
    EXPECT_EQ(out[CP_INTR], 1100000);
    EXPECT_EQ(out[CP_IDLE], 11000);
    long sum = 0;
    for (long v : out)
        sum += v;
    EXPECT_EQ(sum, 11111111);  // guest and guest_nice live inside user and nice already
}

TEST(CpTime, AcceptsOldKernelsAndRejectsOtherLines)
{
    long out[CPUSTATES] = {-1, -1, -1, -1, -1};
    ASSERT_TRUE(parse("cpu 5 6 7 8\n", out));
    EXPECT_EQ(out[CP_USER], 5);
    EXPECT_EQ(out[CP_INTR], 0);
    EXPECT_EQ(out[CP_IDLE], 8);

    EXPECT_FALSE(parse("cpu 5 6 7\n", out));       // too few columns
    EXPECT_FALSE(parse("cpu0 5 6 7 8 9\n", out));  // a single CPU, not the total
    EXPECT_FALSE(parse("intr 5 6 7 8 9\n", out));
    EXPECT_FALSE(parse("", out));
    EXPECT_FALSE(parse("cpu 1 2 3\n4 5 6\n", out));  // numbers of the next line do not count
}

TEST(CpTime, SysctlFollowsSizeRules)
{
    size_t size = 0;
    ASSERT_EQ(sysctlbyname("kern.cp_time", nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, 40u);

    long times[CPUSTATES] = {};
    size = sizeof times;
    ASSERT_EQ(sysctlbyname("kern.cp_time", times, &size, nullptr, 0), 0);
    EXPECT_EQ(size, 40u);
    EXPECT_GT(times[CP_IDLE] + times[CP_USER] + times[CP_SYS], 0);

    long small[2] = {};
    size = sizeof small;
    EXPECT_EQ(sysctlbyname("kern.cp_time", small, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);

    long value = 0;
    EXPECT_EQ(sysctlbyname("kern.cp_time", nullptr, nullptr, &value, sizeof value), -1);
    EXPECT_EQ(errno, EPERM);
}

TEST(CpTime, KvmCountersOnlyGrow)
{
    char err[_POSIX2_LINE_MAX] = {};
    kvm_t* kd = kvm_openfiles(nullptr, "/dev/null", nullptr, O_RDONLY, err);
    ASSERT_NE(kd, nullptr) << err;
    long first[CPUSTATES] = {};
    long second[CPUSTATES] = {};
    ASSERT_EQ(kvm_getcptime(kd, first), 0);
    ASSERT_EQ(kvm_getcptime(kd, second), 0);
    for (int i = 0; i < CPUSTATES; ++i)
        EXPECT_GE(second[i], first[i]) << "state " << i;
    kvm_close(kd);
}

TEST(CpTime, AStateThatStepsBackReadsAsBefore)
{
    // Far above any real counter, so live reads earlier in this process
    // cannot hide the step back.
    long earlier[CPUSTATES] = {1L << 60, 1L << 60, 1L << 60, 1L << 60, (1L << 60) + 7};
    long later[CPUSTATES] = {(1L << 60) + 5, 1L << 60, 1L << 60, 1L << 60, (1L << 60) + 6};
    compat::keep_monotonic(earlier);
    compat::keep_monotonic(later);
    EXPECT_EQ(later[CP_USER], (1L << 60) + 5);
    EXPECT_EQ(later[CP_IDLE], (1L << 60) + 7);
}
