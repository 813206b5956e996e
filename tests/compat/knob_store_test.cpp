#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform_kernel.h"

namespace {

const char* const rate_knob = "hw.vmm.vcpu_limit.class.1.rate_limit";

class KnobStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/knobs.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directory(root_ / "sysctl");
        setenv("VMMSIM_ROOT", root_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("VMMSIM_ROOT");
        std::filesystem::remove_all(root_);
    }
    void put(const std::string& name, const std::string& text)
    {
        std::ofstream(root_ / "sysctl" / name) << text;
    }
    std::string file(const std::string& name)
    {
        std::ifstream in(root_ / "sysctl" / name);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::filesystem::path root_;
};

}  // namespace

TEST_F(KnobStore, SizeQueryReadAndWrite)
{
    put(rate_knob, "100\n");
    size_t size = 0;
    ASSERT_EQ(sysctlbyname(rate_knob, nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, sizeof(int));

    int value = 0;
    ASSERT_EQ(sysctlbyname(rate_knob, &value, &size, nullptr, 0), 0);
    EXPECT_EQ(value, 100);

    int next = -35;
    ASSERT_EQ(sysctlbyname(rate_knob, nullptr, nullptr, &next, sizeof next), 0);
    EXPECT_EQ(std::stoi(file(rate_knob)), -35);
    ASSERT_EQ(sysctlbyname(rate_knob, &value, &size, nullptr, 0), 0);
    EXPECT_EQ(value, -35);

    // Old and new value in one call: the old one comes back.
    next = 70;
    ASSERT_EQ(sysctlbyname(rate_knob, &value, &size, &next, sizeof next), 0);
    EXPECT_EQ(value, -35);
    EXPECT_EQ(std::stoi(file(rate_knob)), 70);
}

TEST_F(KnobStore, FailuresAsSysctlReportsThem)
{
    int value = 0;
    size_t size = sizeof value;
    EXPECT_EQ(sysctlbyname(rate_knob, &value, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sysctlbyname(rate_knob, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sysctlbyname(rate_knob, nullptr, nullptr, &value, sizeof value), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(std::filesystem::exists(root_ / "sysctl" / rate_knob));  // a write creates nothing

    put(rate_knob, "100");
    short too_small = 0;
    size = sizeof too_small;
    EXPECT_EQ(sysctlbyname(rate_knob, &too_small, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(sysctlbyname(rate_knob, nullptr, nullptr, &too_small, sizeof too_small), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(std::stoi(file(rate_knob)), 100);

    put("hw.vmm.broken", "12abc");
    size = sizeof value;
    EXPECT_EQ(sysctlbyname("hw.vmm.broken", &value, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, EIO);

    EXPECT_EQ(sysctlbyname("hw.vmm./../../etc/passwd", nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sysctlbyname("hw.vmm.", nullptr, &size, nullptr, 0), -1);  // the store's directory
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sysctlbyname("kern.hostname", nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(KnobStore, WriteKeepsModeAndLeavesNoTemporaryFiles)
{
    put(rate_knob, "100");
    chmod((root_ / "sysctl" / rate_knob).c_str(), 0640);
    int next = 55;
    ASSERT_EQ(sysctlbyname(rate_knob, nullptr, nullptr, &next, sizeof next), 0);
    EXPECT_EQ(std::filesystem::status(root_ / "sysctl" / rate_knob).permissions(),
              std::filesystem::perms(0640));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_ / "sysctl"), {}), 1);
}

// Readers in other threads (the simulator's) must never see a half-written value.
TEST_F(KnobStore, ConcurrentReadersSeeWholeValues)
{
    put(rate_knob, "100000");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            while (!stop) {
                int value = 0;
                size_t size = sizeof value;
                if (sysctlbyname(rate_knob, &value, &size, nullptr, 0) != 0 ||
                    (value != 100000 && value != 9))
                    ++bad;
            }
        });
    for (int i = 0; i < 300; ++i) {
        int value = i % 2 ? 100000 : 9;
        ASSERT_EQ(sysctlbyname(rate_knob, nullptr, nullptr, &value, sizeof value), 0);
    }
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
}
