// A libvmmapi.so lacking vm_ping and vm_livestream.

#include <cerrno>

#include <gtest/gtest.h>

#include "bindings/vmmapi.h"

TEST(VmmapiWithoutPingAndLivestream, LoadCheckListsJustThoseWithTrailingBlank)
{
    EXPECT_EQ(vmmapi_load_error(), "functions not found: vmmapi_vm_ping vmmapi_vm_livestream ");
}

TEST(VmmapiWithoutPingAndLivestream, MissingOnesFallBackWhileTheRestForward)
{
    EXPECT_EQ(vmmapi_vm_ping("abc"), -1);
    errno = EBUSY;
    EXPECT_EQ(vmmapi_vm_livestream("ok", 1, 2, 3, reinterpret_cast<void*>(4), reinterpret_cast<void*>(5)),
              -1);
    EXPECT_FALSE(vmmapi_has_livestream());

    EXPECT_TRUE(vmmapi_is_valid());
    EXPECT_TRUE(vmmapi_has_vcpu_class());
    vmctx* ctx = vmmapi_vm_open("vm1");
    ASSERT_NE(ctx, nullptr);
    int cls = -1;
    EXPECT_EQ(vmmapi_vm_get_vcpu_class(ctx, &cls), 0);
    EXPECT_EQ(cls, 1);
    vmmapi_vm_close(ctx);
}
