// Neither libvmmapi.so nor libnv.so is on the library path.

#include <gtest/gtest.h>

#include "fallbacks.h"

TEST(MissingLibraries, LoadChecksGiveTheLinkersMessageEveryTime)
{
    const std::string error = vmmapi_load_error();
    EXPECT_EQ(error.rfind("dlopen: libvmmapi.so: ", 0), 0u) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    // The linker hands its message out once; a second check must not lose it.
    EXPECT_EQ(vmmapi_load_error(), error);

    const std::string nv_error = nv_load_error();
    EXPECT_EQ(nv_error.rfind("dlopen: libnv.so: ", 0), 0u) << nv_error;
    EXPECT_EQ(nv_load_error(), nv_error);
}

TEST(MissingLibraries, EveryOperationGivesItsFallback)
{
    expect_vmmapi_fallbacks();
    expect_nv_fallbacks();
    // Without either library the list cannot be handed over nor destroyed,
    // and nothing may crash trying.
    EXPECT_EQ(vmmapi_vm_reconfig(nullptr, bogus_list), 0);
}
