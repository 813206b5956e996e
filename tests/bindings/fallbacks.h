#pragma once

// What every operation gives when its entry point is missing, whether the
// library lacks it or did not load at all.

#include <cerrno>

#include <gtest/gtest.h>

#include "bindings/libnv.h"
#include "bindings/vmmapi.h"

// Pointers that would crash any library they reached.
inline vmctx* const bogus_ctx = reinterpret_cast<vmctx*>(8);
inline vcpu* const bogus_vcpu = reinterpret_cast<vcpu*>(8);
inline nvlist_t* const bogus_list = reinterpret_cast<nvlist_t*>(8);

inline void expect_vmmapi_fallbacks()
{
    EXPECT_EQ(vmmapi_vm_open("vm1"), nullptr);
    vmmapi_vm_close(bogus_ctx);
    EXPECT_EQ(vmmapi_vm_ping("ok"), -1);
    EXPECT_EQ(vmmapi_vm_get_name(nullptr, nullptr, nullptr), -1);
    int cls = 42;
    EXPECT_EQ(vmmapi_vm_get_vcpu_class(bogus_ctx, &cls), -1);
    EXPECT_EQ(cls, 42);
    EXPECT_EQ(vmmapi_vm_set_vcpu_class(bogus_ctx, 2), -1);
    timeval stamp{7, 7};
    int count = 7;
    EXPECT_EQ(vmmapi_vm_get_stats(bogus_vcpu, &stamp, &count), nullptr);
    EXPECT_EQ(vmmapi_vm_get_stat_desc(bogus_ctx, 0), nullptr);
    errno = EPERM;
    EXPECT_EQ(vmmapi_vm_checkpoint("ok", "snapshot"), -1);
    EXPECT_EQ(vmmapi_vm_livestream("ok", 1, 2, 3, reinterpret_cast<void*>(4), reinterpret_cast<void*>(5)),
              -1);
    EXPECT_EQ(vmmapi_vm_vcpu_open(bogus_ctx, 0), nullptr);
    vmmapi_vm_vcpu_close(bogus_vcpu);
    EXPECT_EQ(vmmapi_vm_get_config("name"), nullptr);
    EXPECT_EQ(vmmapi_vm_pause(bogus_ctx), 0);
    EXPECT_EQ(vmmapi_vm_resume(bogus_ctx), 0);

    EXPECT_FALSE(vmmapi_is_valid());
    EXPECT_FALSE(vmmapi_has_vcpu_class());
    EXPECT_FALSE(vmmapi_has_checkpoint());
    EXPECT_FALSE(vmmapi_has_livestream());
    EXPECT_FALSE(vmmapi_has_reconfig());
    EXPECT_FALSE(vmmapi_has_pause_resume());

    EXPECT_EQ(vmmapi_vcpu_stats(bogus_ctx, 0, &stamp, &count), nullptr);
    EXPECT_EQ(stamp.tv_sec, 7);
    EXPECT_EQ(stamp.tv_usec, 7);
    EXPECT_EQ(count, 7);
}

inline void expect_nv_fallbacks()
{
    EXPECT_EQ(libnv::nvlist_create(0), nullptr);
    libnv::nvlist_destroy(bogus_list);
    EXPECT_FALSE(libnv::nvlist_exists(bogus_list, "a"));
    size_t size = 9;
    EXPECT_EQ(libnv::nvlist_pack(bogus_list, &size), nullptr);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(libnv::nvlist_unpack("x", 1, 0), nullptr);
    libnv::nvlist_add_string(bogus_list, "a", "b");
    libnv::nvlist_add_nvlist(bogus_list, "a", bogus_list);
    EXPECT_FALSE(libnv::nvlist_get_bool(bogus_list, "a"));
    EXPECT_EQ(libnv::nvlist_get_number(bogus_list, "a"), 0u);
    EXPECT_EQ(libnv::nvlist_get_string(bogus_list, "a"), nullptr);
    EXPECT_EQ(libnv::nvlist_get_nvlist(bogus_list, "a"), nullptr);
    int type = 0;
    void* cookie = nullptr;
    EXPECT_EQ(libnv::nvlist_next(bogus_list, &type, &cookie), nullptr);
}
