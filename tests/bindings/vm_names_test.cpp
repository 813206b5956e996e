// A complete libvmmapi.so that records every name it is asked to open: VM
// names from the process table or from `track` that are not plain names
// never reach it.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bindings/vmmapi.h"
#include "controller/evaluate.h"
#include "controller/kvm_host.h"
#include "controller/vm_record.h"
#include "controller/vm_registry.h"
#include "fake_hooks.h"
#include "fake_vm.h"
#include "host/kvm_reader.h"
#include "log_capture.h"
#include "runtime/commands.h"
#include "startup/settings.h"

namespace {

// The names opened since the last call, one a line.
std::string take_opened()
{
    char* opened = fake_hook<char>("libvmmapi.so", "fake_vmmapi_opened");
    if (opened == nullptr)
        return "(no hook)";
    std::string names = opened;
    opened[0] = '\0';
    return names;
}

struct VmNames : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(vmmapi_is_valid());  // loads the library the hook lives in
        take_opened();
    }
    LogCapture log;
};

TEST_F(VmNames, BhyveProcessesWithUnusableNamesAreNoVmsAndWarnedOncePerPid)
{
    FakeVm good(vm_options("bhyve: good", 0));
    FakeVm climbing(vm_options("bhyve: ../../dev/mem", 0));
    FakeVm dots(vm_options("bhyve: ..", 0));
    FakeVm controls(vm_options("bhyve: vm\x1b[2J", 0));

    VmRegistry vms;
    for (int pass = 0; pass < 3; ++pass) {
        const KvmReader reader;
        KvmHost host(reader);
        update_vm_list(vms, host);
        for (const auto& [pid, record] : vms)
            evaluate(*record, host, 50.0);  // the first sight, then the open
    }
    ASSERT_EQ(vms.size(), 1u);
    EXPECT_EQ(vms.begin()->second->name, "good");
    EXPECT_EQ(take_opened(), "good\ngood\n");  // opened by the second and third pass

    const std::string text = log.text();
    for (const auto& [vm, name] : {std::pair<const FakeVm&, std::string>{climbing, "../../dev/mem"},
                                   {dots, ".."},
                                   {controls, "vm\\x1b[2J"}}) {
        const std::string warning =
            "Ignored bhyve process pid=" + std::to_string(vm.pid()) + ": unusable VM name '" + name + "'\n";
        const size_t first = text.find(warning);
        EXPECT_NE(first, std::string::npos) << warning;
        EXPECT_EQ(text.find(warning, first + 1), std::string::npos) << warning;
    }
}

TEST_F(VmNames, TrackNeverOpensAnUnusableName)
{
    Settings& settings = Settings::instance();
    for (const std::string& name : std::vector<std::string>{".", "..", "../../dev/mem", "a/b",
                                                            std::string("vm\t1"), std::string("vm\x7f")}) {
        settings.tracked_vm = "web01";
        track(name);
        EXPECT_TRUE(settings.tracked_vm.empty()) << name;
    }
    EXPECT_EQ(take_opened(), "");
    EXPECT_NE(log.text().find("VM id=vm\\x091 tracking is not possible"), std::string::npos);

    track("web01");  // a plain name still reaches the library
    EXPECT_EQ(take_opened(), "web01\n");
    EXPECT_EQ(settings.tracked_vm, "web01");
}

}  // namespace
