#include <gtest/gtest.h>

#include "startup/configuration.h"
#include "startup/settings.h"

namespace {

Settings bounded(void (*change)(Settings&))
{
    Settings s;
    change(s);
    apply_bounds(s);
    return s;
}

}  // namespace

TEST(SettingsBounds, DefaultsAreInsideEveryBound)
{
    const Settings d;
    const Settings s = bounded([](Settings&) {});
    EXPECT_EQ(s.update_time, d.update_time);
    EXPECT_EQ(s.min_cpu_idle_level, d.min_cpu_idle_level);
    EXPECT_EQ(s.max_cpu_idle_level, d.max_cpu_idle_level);
    EXPECT_EQ(s.cpu_idle_level, d.cpu_idle_level);
    EXPECT_EQ(s.overload_bound, d.overload_bound);
    EXPECT_EQ(s.vcpu, d.vcpu);
    EXPECT_EQ(s.update_vm_list, d.update_vm_list);
    EXPECT_EQ(s.rate_limit_delta, d.rate_limit_delta);
}

TEST(SettingsBounds, ClampsEachFieldAtBothEnds)
{
    EXPECT_EQ(bounded([](Settings& s) { s.update_time = 50; }).update_time, 100);
    EXPECT_EQ(bounded([](Settings& s) { s.update_time = 20000; }).update_time, 10000);
    EXPECT_EQ(bounded([](Settings& s) { s.min_cpu_idle_level = 1; }).min_cpu_idle_level, 5);
    EXPECT_EQ(bounded([](Settings& s) { s.cpu_idle_level = 0; }).cpu_idle_level, 5);
    EXPECT_EQ(bounded([](Settings& s) { s.cpu_idle_level = 100; }).cpu_idle_level, 99);
    EXPECT_EQ(bounded([](Settings& s) { s.overload_bound = 100; }).overload_bound, 99);
    EXPECT_EQ(bounded([](Settings& s) { s.overload_bound = 9; }).overload_bound, 10);
    EXPECT_EQ(bounded([](Settings& s) { s.vcpu = 0; }).vcpu, 1);
    EXPECT_EQ(bounded([](Settings& s) { s.vcpu = -3; }).vcpu, 1);
}

TEST(SettingsBounds, IdleBandStaysOrderedAndAtLeastFiveWide)
{
    Settings s = bounded([](Settings& s) { s.min_cpu_idle_level = 95; });
    EXPECT_EQ(s.min_cpu_idle_level, 90);
    EXPECT_EQ(s.max_cpu_idle_level, 95);

    s = bounded([](Settings& s) {
        s.min_cpu_idle_level = 30;
        s.max_cpu_idle_level = 32;
    });
    EXPECT_EQ(s.min_cpu_idle_level, 30);
    EXPECT_EQ(s.max_cpu_idle_level, 35);

    EXPECT_EQ(bounded([](Settings& s) { s.max_cpu_idle_level = 100; }).max_cpu_idle_level, 95);
    EXPECT_EQ(bounded([](Settings& s) { s.max_cpu_idle_level = 96; }).max_cpu_idle_level, 95);
    // 95 is kept as it is, even with the lower level at its top of 90.
    s = bounded([](Settings& s) {
        s.min_cpu_idle_level = 90;
        s.max_cpu_idle_level = 95;
    });
    EXPECT_EQ(s.max_cpu_idle_level, 95);
}

TEST(SettingsBounds, RefreshPeriodAndRateStepAreAtLeastOne)
{
    EXPECT_EQ(bounded([](Settings& s) { s.update_vm_list = 0; }).update_vm_list, 1);
    EXPECT_EQ(bounded([](Settings& s) { s.update_vm_list = -5; }).update_vm_list, 1);
    EXPECT_EQ(bounded([](Settings& s) { s.update_vm_list = 60; }).update_vm_list, 60);
    EXPECT_EQ(bounded([](Settings& s) { s.rate_limit_delta = 0; }).rate_limit_delta, 1);
    EXPECT_EQ(bounded([](Settings& s) { s.rate_limit_delta = -10; }).rate_limit_delta, 1);
    EXPECT_EQ(bounded([](Settings& s) { s.rate_limit_delta = 20; }).rate_limit_delta, 20);
}

TEST(LevelNames, AreExactAndUnknownOnesChangeNothing)
{
    const std::pair<const char*, int> names[] = {
        {"trace", 0}, {"debug", 1}, {"info", 2},     {"warning", 3}, {"warn", 3},
        {"error", 4}, {"err", 4},   {"critical", 5}, {"off", 6},
    };
    for (const auto& [name, level] : names) {
        Settings s;
        s.log_level = 1;
        EXPECT_TRUE(s.set_log_level(name)) << name;
        EXPECT_EQ(s.log_level, level) << name;
    }
    for (const char* name : {"INFO", "Debug", "", "info ", "verbose", "of", "off\n"}) {
        Settings s;
        s.log_level = 4;
        EXPECT_FALSE(s.set_log_level(name)) << '"' << name << '"';
        EXPECT_EQ(s.log_level, 4) << '"' << name << '"';
    }
}
