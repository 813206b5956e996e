#include <gtest/gtest.h>

#include "controller/vm_record.h"
#include "controller/vm_registry.h"
#include "fake_host.h"
#include "log_capture.h"

namespace {

struct VmRegistryTest : ::testing::Test {
    LogCapture log;
    FakeHost host;
    VmRegistry vms;
};

TEST_F(VmRegistryTest, RunningVmsKeepTheirRecordsAndHistory)
{
    host.processes = {{{0, 100}, "web"}, {{812, 101}, "db"}};
    update_vm_list(vms, host);
    ASSERT_EQ(vms.size(), 2u);
    EXPECT_EQ(vms[100]->parent_pid, 0);
    EXPECT_EQ(vms[101]->parent_pid, 812);
    EXPECT_EQ(vms[101]->name, "db");
    EXPECT_EQ(vms[101]->last_sample, no_time);
    EXPECT_TRUE(vms[101]->overloaded);

    VmRecord* web = vms[100].get();
    web->kind = 2;
    web->deadline = 42;
    web->vcpu_loads[0].load = 97.0;
    host.processes[{0, 102}] = "mail";
    update_vm_list(vms, host);
    ASSERT_EQ(vms.size(), 3u);
    EXPECT_EQ(vms[100].get(), web);
    EXPECT_EQ(web->deadline, 42);
    EXPECT_DOUBLE_EQ(web->vcpu_loads[0].load, 97.0);
    EXPECT_EQ(log.take().back(), (LogCapture::Line{spdlog::level::debug, "Update VM list"}));
}

TEST_F(VmRegistryTest, RestartedVmGetsAFreshRecordAndVanishedOnesGo)
{
    host.processes = {{{0, 100}, "web"}, {{0, 101}, "db"}};
    update_vm_list(vms, host);
    vms[100]->kind = 2;
    host.processes = {{{0, 200}, "web"}};
    update_vm_list(vms, host);
    ASSERT_EQ(vms.size(), 1u);
    EXPECT_EQ(vms[200]->name, "web");
    EXPECT_EQ(vms[200]->kind, 0);

    host.processes.clear();
    update_vm_list(vms, host);
    EXPECT_TRUE(vms.empty());
}

TEST_F(VmRegistryTest, TwoProcessesWithOneVmIdGiveTwoRecords)
{
    host.processes = {{{0, 100}, "web"}, {{5, 300}, "web"}, {{7, 100}, "other"}};
    update_vm_list(vms, host);
    ASSERT_EQ(vms.size(), 2u);
    EXPECT_EQ(vms[100]->name, "web");  // one record per pid: the first in key order
    EXPECT_EQ(vms[300]->name, "web");
}

}  // namespace
