// A libnv.so lacking FreeBSD_nvlist_next.

#include <gtest/gtest.h>

#include "bindings/libnv.h"

TEST(NvWithoutNext, LoadCheckNamesItAndTheRestForward)
{
    EXPECT_EQ(nv_load_error(), "functions not found: nvlist_next ");
    nvlist_t* list = libnv::nvlist_create(0);
    ASSERT_NE(list, nullptr);
    libnv::nvlist_add_string(list, "name", "vm1");
    int type = -1;
    void* cookie = nullptr;
    EXPECT_EQ(libnv::nvlist_next(list, &type, &cookie), nullptr);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(cookie, nullptr);
    EXPECT_STREQ(libnv::nvlist_get_string(list, "name"), "vm1");
    libnv::nvlist_destroy(list);
}
