// A libvmmapi.so lacking vm_vcpu_close.

#include <gtest/gtest.h>

#include "bindings/vmmapi.h"
#include "controller/vm_context.h"
#include "fake_hooks.h"

TEST(VmmapiWithoutVcpuClose, VcpuStatsLeavesOutputsUntouchedAndOpensNothing)
{
    vmctx* ctx = vmmapi_vm_open("vm1");
    ASSERT_NE(ctx, nullptr);
    timeval stamp{0, 0};
    int count = 0;
    EXPECT_EQ(vmmapi_vcpu_stats(ctx, 0, &stamp, &count), nullptr);
    EXPECT_EQ(stamp.tv_sec, 0);
    EXPECT_EQ(stamp.tv_usec, 0);
    EXPECT_EQ(count, 0);
    // A vCPU opened here could never be closed again.
    const int* opened = fake_hook<int>("libvmmapi.so", "fake_vmmapi_vcpus_opened");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(*opened, 0);
    vmmapi_vm_close(ctx);
}

TEST(VmmapiWithoutVcpuClose, NoCountersMeanNoThrottleTimeEveryTime)
{
    EXPECT_FALSE(vmmapi_has_stats());
    const VmContext context("vm1");
    ASSERT_TRUE(context.is_open());
    EXPECT_EQ(context.throttle_us(0), 0u);
    EXPECT_EQ(context.throttle_us(3), 0u);
}
