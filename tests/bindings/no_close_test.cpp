// A libvmmapi.so lacking vm_close but offering the vCPU-class entries.

#include <gtest/gtest.h>

#include "bindings/vmmapi.h"

TEST(VmmapiWithoutClose, FailsLoadCheckAndIsNotValid)
{
    EXPECT_EQ(vmmapi_load_error(), "functions not found: vmmapi_vm_close ");
    EXPECT_FALSE(vmmapi_is_valid());
    EXPECT_TRUE(vmmapi_has_vcpu_class());
}
