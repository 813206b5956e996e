// A libvmmapi.so lacking vm_reconfig, with a complete libnv.so.

#include <gtest/gtest.h>

#include "bindings/libnv.h"
#include "bindings/vmmapi.h"
#include "fake_hooks.h"

TEST(VmmapiWithoutReconfig, DestroysTheListItWasGiven)
{
    EXPECT_FALSE(vmmapi_has_reconfig());
    nvlist_t* list = libnv::nvlist_create(0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(vmmapi_vm_reconfig(nullptr, list), 0);
    const int* destroyed = fake_hook<int>("libnv.so", "fake_nv_destroyed");
    ASSERT_NE(destroyed, nullptr);
    EXPECT_EQ(*destroyed, 1);
}
