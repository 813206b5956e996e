// A complete libvmmapi.so and libnv.so.

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "bindings/libnv.h"
#include "bindings/vmmapi.h"
#include "controller/vm_context.h"
#include "fake_hooks.h"

namespace {
std::map<std::string, int> dlopen_calls;
void* const word4 = reinterpret_cast<void*>(4);
void* const word5 = reinterpret_cast<void*>(5);
}  // namespace

// Counts the loads the binding asks for; the hooks' NOLOAD look-ups are not loads.
extern "C" void* dlopen(const char* file, int mode)
{
    using Fn = void* (*)(const char*, int);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "dlopen"));
    if (file != nullptr && (mode & RTLD_NOLOAD) == 0)
        ++dlopen_calls[file];
    return real(file, mode);
}

TEST(CompleteLibraries, LoadChecksPassAndEveryCapabilityIsThere)
{
    EXPECT_EQ(vmmapi_load_error(), "");
    EXPECT_EQ(nv_load_error(), "");
    EXPECT_TRUE(vmmapi_is_valid());
    EXPECT_TRUE(vmmapi_has_vcpu_class());
    EXPECT_TRUE(vmmapi_has_checkpoint());
    EXPECT_TRUE(vmmapi_has_livestream());
    EXPECT_TRUE(vmmapi_has_reconfig());
    EXPECT_TRUE(vmmapi_has_pause_resume());
}

TEST(CompleteLibraries, EachLibraryIsOpenedOnce)
{
    for (int i = 0; i < 3; ++i) {
        vmmapi_load_error();
        vmmapi_vm_ping("x");
        nv_load_error();
        libnv::nvlist_destroy(libnv::nvlist_create(0));
    }
    EXPECT_EQ(dlopen_calls["libvmmapi.so"], 1);
    EXPECT_EQ(dlopen_calls["libnv.so"], 1);
}

TEST(CompleteLibraries, VmOperationsForwardTheirArguments)
{
    EXPECT_EQ(vmmapi_vm_open("absent"), nullptr);
    vmctx* ctx = vmmapi_vm_open("vm1");
    ASSERT_NE(ctx, nullptr);
    int cls = -1;
    EXPECT_EQ(vmmapi_vm_set_vcpu_class(ctx, 2), 0);
    EXPECT_EQ(vmmapi_vm_get_vcpu_class(ctx, &cls), 0);
    EXPECT_EQ(cls, 2);
    EXPECT_EQ(vmmapi_vm_set_vcpu_class(ctx, 10), -1);
    EXPECT_STREQ(vmmapi_vm_get_stat_desc(ctx, 1), "sleeps in ms due to vcpu limit throttle");
    EXPECT_EQ(vmmapi_vm_get_stat_desc(ctx, 3), nullptr);

    EXPECT_EQ(vmmapi_vm_ping("abcd"), 4);
    EXPECT_EQ(vmmapi_vm_get_name(reinterpret_cast<void*>(1), reinterpret_cast<void*>(2),
                                 reinterpret_cast<void*>(3)),
              123);
    EXPECT_STREQ(static_cast<const char*>(vmmapi_vm_get_config("name")), "vm1");
    EXPECT_EQ(vmmapi_vm_pause(word4), 14);
    EXPECT_EQ(vmmapi_vm_resume(word4), 24);

    vcpu* cpu = vmmapi_vm_vcpu_open(ctx, 2);
    ASSERT_NE(cpu, nullptr);
    timeval stamp{};
    int count = 0;
    const uint64_t* counters = vmmapi_vm_get_stats(cpu, &stamp, &count);
    ASSERT_NE(counters, nullptr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(counters[1], 21u);
    vmmapi_vm_vcpu_close(cpu);
    vmmapi_vm_close(ctx);
}

TEST(CompleteLibraries, VcpuStatsOpensReadsAndClosesTheVcpu)
{
    vmctx* ctx = vmmapi_vm_open("vm1");
    const int* open_vcpus = fake_hook<int>("libvmmapi.so", "fake_vmmapi_open_vcpus");
    ASSERT_NE(open_vcpus, nullptr);
    timeval stamp{0, 0};
    int count = 0;
    const uint64_t* counters = vmmapi_vcpu_stats(ctx, 3, &stamp, &count);
    ASSERT_NE(counters, nullptr);
    EXPECT_EQ(*open_vcpus, 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(stamp.tv_sec, 1234);
    EXPECT_EQ(counters[0], 30u);  // still readable after the close
    EXPECT_EQ(counters[2], 32u);

    // A vCPU that does not open gives no counters and leaves the outputs.
    stamp = {0, 0};
    count = 0;
    EXPECT_EQ(vmmapi_vcpu_stats(ctx, 9, &stamp, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(stamp.tv_sec, 0);
    vmmapi_vm_close(ctx);
}

TEST(CompleteLibraries, ThrottleTimeIsUnknownWhenTheCountersCannotBeRead)
{
    ASSERT_TRUE(vmmapi_is_valid());  // loads the library the hooks live in
    int* reported = fake_hook<int>("libvmmapi.so", "fake_vmmapi_stats_count");
    int* described = fake_hook<int>("libvmmapi.so", "fake_vmmapi_described");
    ASSERT_NE(reported, nullptr);
    ASSERT_NE(described, nullptr);
    // The throttle counter is the second: vCPU 2 holds 21 ms.
    EXPECT_EQ(VmContext("vm1").throttle_us(2), 21'000u);
    EXPECT_EQ(VmContext("vm1").throttle_us(9), std::nullopt);  // the vCPU does not open

    *reported = 1;  // a short read ends before the throttle counter
    EXPECT_EQ(VmContext("vm1").throttle_us(2), std::nullopt);
    *reported = 0;
    EXPECT_EQ(VmContext("vm1").throttle_us(2), std::nullopt);
    *reported = 3;

    *described = 0;  // not even the first description: the call failed
    EXPECT_EQ(VmContext("vm1").throttle_us(2), std::nullopt);
    *described = 1;  // three counters, one description: a description call failed
    EXPECT_EQ(VmContext("vm1").throttle_us(2), std::nullopt);
    *reported = 1;  // one counter, described, and not the throttle: never held back
    EXPECT_EQ(VmContext("vm1").throttle_us(2), 0u);
    *reported = 3;
    *described = 3;
}

TEST(CompleteLibraries, CheckpointAndLivestreamReportErrno)
{
    EXPECT_EQ(vmmapi_vm_checkpoint("ok", "snapshot"), 0);
    EXPECT_EQ(vmmapi_vm_checkpoint("busy", "snapshot"), EBUSY);
    // A failure that sets no errno is still a failure.
    errno = 0;
    EXPECT_EQ(vmmapi_vm_checkpoint("silent", "snapshot"), EIO);

    EXPECT_EQ(vmmapi_vm_livestream("ok", 1, 2, 3, word4, word5), 0);
    EXPECT_EQ(vmmapi_vm_livestream("busy", 1, 2, 3, word4, word5), EBUSY);
    // A stale errno from before the call must not be reported.
    errno = EPERM;
    EXPECT_EQ(vmmapi_vm_livestream("silent", 1, 2, 3, word4, word5), EIO);
}

TEST(CompleteLibraries, ReconfigHandsTheListOver)
{
    nvlist_t* list = libnv::nvlist_create(0);
    const int* destroyed = fake_hook<int>("libnv.so", "fake_nv_destroyed");
    ASSERT_NE(destroyed, nullptr);
    // Other cases in this process may have destroyed lists before.
    const int destroyed_before = *destroyed;
    EXPECT_EQ(vmmapi_vm_reconfig(word4, list), 34);
    auto* const* handed = fake_hook<nvlist_t*>("libvmmapi.so", "fake_vmmapi_reconfig_list");
    ASSERT_NE(handed, nullptr);
    EXPECT_EQ(*handed, list);
    EXPECT_EQ(*destroyed, destroyed_before);
    libnv::nvlist_destroy(list);  // the fake library keeps it
}

TEST(CompleteLibraries, NvOperationsForwardTheirArguments)
{
    nvlist_t* list = libnv::nvlist_create(0);
    ASSERT_NE(list, nullptr);
    libnv::nvlist_add_string(list, "cpus", "42");
    EXPECT_TRUE(libnv::nvlist_exists(list, "cpus"));
    EXPECT_FALSE(libnv::nvlist_exists(list, "name"));
    EXPECT_EQ(libnv::nvlist_get_number(list, "cpus"), 42u);
    EXPECT_STREQ(libnv::nvlist_get_string(list, "cpus"), "42");
    EXPECT_EQ(libnv::nvlist_get_nvlist(list, "cpus"), list);
    EXPECT_FALSE(libnv::nvlist_get_bool(list, "cpus"));

    size_t size = 0;
    void* packed = libnv::nvlist_pack(list, &size);
    ASSERT_NE(packed, nullptr);
    nvlist_t* copy = libnv::nvlist_unpack(packed, size, 0);
    std::free(packed);
    ASSERT_NE(copy, nullptr);
    libnv::nvlist_add_string(copy, "on", "true");
    EXPECT_TRUE(libnv::nvlist_get_bool(copy, "on"));
    libnv::nvlist_add_nvlist(list, "child", copy);
    EXPECT_STREQ(libnv::nvlist_get_string(list, "child"), "true");

    int type = 0;
    void* cookie = nullptr;
    EXPECT_STREQ(libnv::nvlist_next(list, &type, &cookie), "child");
    EXPECT_EQ(type, 3);
    EXPECT_EQ(libnv::nvlist_next(list, &type, &cookie), nullptr);
    libnv::nvlist_destroy(copy);
    libnv::nvlist_destroy(list);
}
