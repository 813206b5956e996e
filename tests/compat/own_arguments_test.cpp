#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "child_process.h"
#include "platform_kernel.h"
#include "run_program.h"

namespace {

// The argument area of `pid` as another process reads it from /proc.
std::string cmdline_seen_by_cat(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    return run_program("/bin/cat", {"cat", path}).out;
}

int set_args(pid_t pid, const char* text, size_t len)
{
    const int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, static_cast<int>(pid)};
    return sysctl(mib, 4, nullptr, nullptr, text, len);
}

std::string read_args(pid_t pid)
{
    const int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, static_cast<int>(pid)};
    size_t size = 0;
    if (sysctl(mib, 4, nullptr, &size, nullptr, 0) != 0)
        return "<size query failed>";
    std::string text(size, '\0');
    if (sysctl(mib, 4, text.data(), &size, nullptr, 0) != 0)
        return "<read failed>";
    text.resize(size);
    return text;
}

}  // namespace

TEST(OwnArguments, OtherProcessesSeeTheNewTitle)
{
    const std::string original = cmdline_seen_by_cat(getpid());
    const std::string title = "Orvane priority controller (daemon)";
    ASSERT_EQ(set_args(getpid(), title.c_str(), title.size() + 1), 0) << std::strerror(errno);
    EXPECT_EQ(cmdline_seen_by_cat(getpid()), title + '\0');
    EXPECT_EQ(read_args(getpid()), title + '\0');

    // Longer, then shorter, then one without its NUL: each replaces the last whole.
    const std::string longer = "a much longer title than the one before it, with blanks";
    ASSERT_EQ(set_args(getpid(), longer.c_str(), longer.size() + 1), 0);
    EXPECT_EQ(cmdline_seen_by_cat(getpid()), longer + '\0');
    ASSERT_EQ(set_args(getpid(), "two\0args", 9), 0);
    EXPECT_EQ(cmdline_seen_by_cat(getpid()), std::string("two\0args\0", 9));
    ASSERT_EQ(set_args(-1, "short", 5), 0);
    EXPECT_EQ(cmdline_seen_by_cat(getpid()), std::string("short\0", 6));

    // An empty text brings back the arguments we were started with.
    ASSERT_EQ(set_args(getpid(), "", 0), 0);
    EXPECT_EQ(cmdline_seen_by_cat(getpid()), original);
}

TEST(OwnArguments, RefusesOtherProcessesAndOversizedTitles)
{
    ChildProcess sleeper(sleep_until_killed, {});
    const pid_t child = sleeper.pid();
    ASSERT_GT(child, 0);
    EXPECT_EQ(set_args(child, "x", 2), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(read_args(child), cmdline_seen_by_cat(child));  // reading is allowed

    const std::string before = cmdline_seen_by_cat(getpid());
    const std::string huge(4096, 'x');
    EXPECT_EQ(set_args(getpid(), huge.c_str(), huge.size() + 1), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(cmdline_seen_by_cat(getpid()), before);
}

TEST(OwnArguments, OtherNamesAndRtprio)
{
    const int short_mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ARGS};
    size_t size = 0;
    EXPECT_EQ(sysctl(short_mib, 3, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    const int other_op[4] = {CTL_KERN, KERN_PROC, 99, 1};
    EXPECT_EQ(sysctl(other_op, 4, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    const int other_tree[2] = {6, 1};
    EXPECT_EQ(sysctl(other_tree, 2, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);

    struct rtprio rtp = {RTP_PRIO_REALTIME, 0};
    EXPECT_EQ(rtprio(RTP_SET, 0, &rtp), -1);
    EXPECT_EQ(errno, ENOSYS);
}
