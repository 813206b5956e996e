// The injected-failure settings of the simulator, without processes.
#include <gtest/gtest.h>

#include "common/fault.h"

namespace vmmsim {
namespace {

TEST(FaultSetting, ParsesOnlyWellFormedSettings)
{
    EXPECT_EQ(parse_fault_setting("on")->mode, fault_on);
    EXPECT_EQ(parse_fault_setting("off")->mode, fault_off);
    EXPECT_EQ(parse_fault_setting("once")->mode, fault_once);
    for (const auto& [text, rate] : {std::pair{"0%", 0}, {"30%", 30}, {"100%", 100}}) {
        const auto setting = parse_fault_setting(text);
        ASSERT_TRUE(setting) << text;
        EXPECT_EQ(setting->mode, fault_rate);
        EXPECT_EQ(setting->rate, rate);
    }
    for (const char* bad : {"", "%", "101%", "-1%", "30", "3 0%", "30%%", "x%", "ON", "on ", "99999999999%"})
        EXPECT_FALSE(parse_fault_setting(bad)) << bad;

    EXPECT_EQ(parse_fault_operation("stat_desc"), fault_stat_desc);
    EXPECT_EQ(parse_fault_operation("open"), fault_open);
    EXPECT_FALSE(parse_fault_operation("vm_open"));
    EXPECT_FALSE(parse_fault_operation(""));
}

int failures_in(FaultSlot& slot, int calls)
{
    int failed = 0;
    for (int i = 0; i < calls; ++i)
        failed += inject_fault(slot);
    return failed;
}

TEST(FaultSetting, ModesFailTheirShareOfCalls)
{
    FaultSlot slot{};
    EXPECT_EQ(failures_in(slot, 10), 0);

    set_fault(slot, *parse_fault_setting("on"));
    EXPECT_EQ(failures_in(slot, 10), 10);

    set_fault(slot, *parse_fault_setting("once"));
    EXPECT_TRUE(inject_fault(slot));
    EXPECT_EQ(failures_in(slot, 10), 0);
    EXPECT_EQ(format_fault_setting(slot), "off") << "a single failure turns the fault off";
    EXPECT_EQ(slot.injected, 1u);
    EXPECT_EQ(slot.calls, 11u);

    // 30 % fails exactly 30 calls in 100, never two in a row.
    set_fault(slot, *parse_fault_setting("30%"));
    EXPECT_EQ(format_fault_setting(slot), "30%");
    bool previous = false;
    int failed = 0;
    for (int i = 0; i < 100; ++i) {
        const bool now = inject_fault(slot);
        EXPECT_FALSE(previous && now) << "call " << i;
        failed += now;
        previous = now;
    }
    EXPECT_EQ(failed, 30);
    EXPECT_EQ(slot.injected, 30u);

    set_fault(slot, *parse_fault_setting("0%"));
    EXPECT_EQ(failures_in(slot, 100), 0);
    set_fault(slot, *parse_fault_setting("100%"));
    EXPECT_EQ(failures_in(slot, 100), 100);
    set_fault(slot, *parse_fault_setting("off"));
    EXPECT_EQ(failures_in(slot, 10), 0);
    EXPECT_EQ(slot.injected, 0u) << "counts start afresh with each setting";
}

}  // namespace
}  // namespace vmmsim
