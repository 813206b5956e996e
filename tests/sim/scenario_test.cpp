// Parsing what the runner is told to start, and the arithmetic of one vCPU slice.
#include <gtest/gtest.h>

#include <sstream>

#include "bhyve/vcpu_worker.h"
#include "common/demand_list.h"
#include "common/knob_file.h"
#include "scenario.h"

namespace vmmsim {
namespace {

TEST(VmSpec, ReadsNameVcpusDemandAndClass)
{
    std::string error;
    auto vm_def = parse_vm_spec("web01:4:100", error);
    ASSERT_TRUE(vm_def) << error;
    EXPECT_EQ(vm_def->name, "web01");
    EXPECT_EQ(vm_def->demand, (std::vector<int>{100, 100, 100, 100}));
    EXPECT_EQ(vm_def->vcpu_class, 1);

    vm_def = parse_vm_spec("db:3:5,40,0:2", error);
    ASSERT_TRUE(vm_def) << error;
    EXPECT_EQ(vm_def->demand, (std::vector<int>{5, 40, 0}));
    EXPECT_EQ(vm_def->vcpu_class, 2);
}

TEST(VmSpec, RefusesWhatWouldBreakTheHost)
{
    for (const char* text : {"", "web01", "web01:4", "../x:1:1", "a/b:1:1", ".hidden:1:1",
                             "name_of_thirty_two_characters_xx:1:1", "w:65:1", "w:-1:1", "w:1:101", "w:1:-5",
                             "w:2:1,2,3", "w:1:1:10", "w:1:1:1:1", "w:x:1", "w:1:1x", "w:1: 5", "w:1:1,,1"}) {
        std::string error;
        EXPECT_FALSE(parse_vm_spec(text, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(ScenarioFile, ReadsVmsAndKnobsAndReportsTheBadLine)
{
    std::istringstream good("# demo\n"
                            "knob hw.vmm.vcpu_limit.class.1.burst_secs 5   # short\n"
                            "\n"
                            "vm miner 2 100\n"
                            "  vm web01 4 20 2\n");
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(parse_scenario(good, scenario, error)) << error;
    ASSERT_EQ(scenario.vms.size(), 2u);
    EXPECT_EQ(scenario.vms[1].name, "web01");
    EXPECT_EQ(scenario.vms[1].vcpu_class, 2);
    ASSERT_EQ(scenario.knobs.size(), 1u);
    EXPECT_EQ(scenario.knobs[0].second, 5);

    for (const char* text : {"vm a 1 1\nvms b 1 1\n", "vm a 1 1\nknob x\n",
                             "vm a 1 1\nknob ../etc/passwd 1\n", "vm a 1 1\nknob k 9999999999\n"}) {
        std::istringstream bad(text);
        Scenario ignored;
        EXPECT_FALSE(parse_scenario(bad, ignored, error)) << text;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    }

    Scenario twice;
    twice.vms = {scenario.vms[0], scenario.vms[0]};
    EXPECT_FALSE(check_scenario(twice, error));
}

TEST(ScenarioFile, ChangesDemandOfAVmNamedAboveWithinItsRange)
{
    std::istringstream good("vm miner 2 0\n"
                            "vm web01 2 6\n"
                            "at 10 demand miner 100\n"
                            "at 5 demand web01 80,5\n");
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(parse_scenario(good, scenario, error)) << error;
    ASSERT_EQ(scenario.changes.size(), 2u);
    EXPECT_EQ(scenario.changes[0].at_secs, 10);
    EXPECT_EQ(scenario.changes[0].demand, (std::vector<int>{100, 100}));
    EXPECT_EQ(scenario.changes[1].vm, "web01");
    EXPECT_EQ(scenario.changes[1].demand, (std::vector<int>{80, 5}));

    // Unknown or later VMs, demands out of range or of the wrong length, bad times.
    for (const char* text :
         {"at 1 demand web01 5\nvm web01 1 1\n", "vm a 1 1\nat 1 demand b 5\n",
          "vm a 2 1\nat 1 demand a 101\n", "vm a 2 1\nat 1 demand a -1\n", "vm a 2 1\nat 1 demand a 5,5,5\n",
          "vm a 1 1\nat -1 demand a 5\n", "vm a 1 1\nat soon demand a 5\n", "vm a 1 1\nat 1 class a 2\n",
          "vm a 1 1\nat 1 demand a\n"}) {
        std::istringstream bad(text);
        Scenario ignored;
        EXPECT_FALSE(parse_scenario(bad, ignored, error)) << text;
        EXPECT_NE(error.find("line "), std::string::npos) << error;
        EXPECT_TRUE(ignored.changes.empty()) << text;
    }
    std::istringstream unknown("vm a 1 1\nat 1 demand b 5\n");
    Scenario ignored;
    EXPECT_FALSE(parse_scenario(unknown, ignored, error));
    EXPECT_EQ(error, "line 2: unknown VM \"b\" (a vm line must name it first)");
}

TEST(KnobText, AcceptsADecimalIntWithSurroundingBlanksOnly)
{
    EXPECT_EQ(parse_knob_text("25\n"), 25);
    EXPECT_EQ(parse_knob_text(" -3 "), -3);
    EXPECT_FALSE(parse_knob_text(""));
    EXPECT_FALSE(parse_knob_text("\n"));
    EXPECT_FALSE(parse_knob_text("25x"));
    EXPECT_FALSE(parse_knob_text("99999999999"));
}

TEST(SliceBudget, RunsUpToTheLimitAndCountsTheRestAsThrottled)
{
    const int64_t slice = 100'000'000;  // 100 ms
    SliceBudget full = slice_budget(100, 25, slice);
    EXPECT_EQ(full.run_ns, 25'000'000);
    EXPECT_EQ(full.throttle_us, 75'000);
    EXPECT_EQ(full.idle_us, 0);

    SliceBudget under = slice_budget(20, 25, slice);  // wants less than allowed
    EXPECT_EQ(under.run_ns, 20'000'000);
    EXPECT_EQ(under.throttle_us, 0);
    EXPECT_EQ(under.idle_us, 80'000);

    SliceBudget blocked = slice_budget(60, 0, slice);
    EXPECT_EQ(blocked.run_ns, 0);
    EXPECT_EQ(blocked.throttle_us, 60'000);

    // Out-of-range inputs are clamped, never negative.
    SliceBudget wild = slice_budget(150, -10, slice);
    EXPECT_EQ(wild.run_ns, 0);
    EXPECT_EQ(wild.throttle_us, 100'000);
    EXPECT_EQ(wild.idle_us, 0);
}

}  // namespace
}  // namespace vmmsim
