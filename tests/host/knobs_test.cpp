#include "host/knobs.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {

const char* const rate_knob = "hw.vmm.vcpu_limit.class.1.rate_limit";

}  // namespace

TEST(Knobs, ReadWriteAndMissing)
{
    char pattern[] = "/tmp/knobs.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path root = pattern;
    std::filesystem::create_directory(root / "sysctl");
    setenv("VMMSIM_ROOT", root.c_str(), 1);

    KnobValue missing = read_int_knob(rate_knob);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.value, 0);

    std::ofstream(root / "sysctl" / rate_knob) << "100\n";
    KnobValue rate = read_int_knob(rate_knob);
    ASSERT_TRUE(rate.ok);
    EXPECT_EQ(rate.value, 100);
    EXPECT_EQ(rate.size, sizeof(int));

    EXPECT_EQ(write_int_knob(rate_knob, 95, rate.size), 0);
    EXPECT_EQ(read_int_knob(rate_knob).value, 95);

    unsetenv("VMMSIM_ROOT");
    std::filesystem::remove_all(root);
}

// A name that is not an int (the 40-byte cp_time array) must fail the read,
// not spill into the memory beyond the value.
TEST(Knobs, WiderValueFailsInsteadOfOverrunning)
{
    KnobValue wide = read_int_knob("kern.cp_time");
    EXPECT_FALSE(wide.ok);
    EXPECT_EQ(wide.size, 40u);
}
