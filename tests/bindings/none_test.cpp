// A libvmmapi.so that loads but exports none of the sixteen entry points.

#include <gtest/gtest.h>

#include "fallbacks.h"

TEST(VmmapiWithoutEntries, LoadCheckNamesEveryEntryInOrder)
{
    EXPECT_EQ(vmmapi_load_error(),
              "functions not found: vmmapi_vm_open vmmapi_vm_close vmmapi_vm_ping "
              "vmmapi_vm_get_name vmmapi_vm_get_vcpu_class vmmapi_vm_set_vcpu_class "
              "vmmapi_vm_get_stats vmmapi_vm_get_stat_desc vmmapi_vm_checkpoint "
              "vmmapi_vm_livestream vmmapi_vm_vcpu_open vmmapi_vm_vcpu_close "
              "vmmapi_vm_get_config vmmapi_vm_pause vmmapi_vm_resume vmmapi_vm_reconfig ");
}

TEST(VmmapiWithoutEntries, EveryOperationGivesItsFallback) { expect_vmmapi_fallbacks(); }
