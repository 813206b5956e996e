// The settings a replay runs with: --set as given on the command line, and
// the layers of recording, CONFIG and --set.
#include <gtest/gtest.h>

#include "replay/replay_settings.h"
#include "replay/summary.h"
#include "startup/configuration_keys.h"
#include "startup/settings_text.h"

TEST(ReplaySettings, SetsAreCheckedAndCombineEveryValue)
{
    std::vector<SettingValues> sets;
    EXPECT_EQ(add_setting(sets, "VCPU_CLASS"), "--set takes SECTION.Key=VALUE, not 'VCPU_CLASS'");
    EXPECT_EQ(add_setting(sets, "NOPE.VCPU=2"), "no section NOPE");
    EXPECT_EQ(add_setting(sets, "VCPU_CLASS.Nope=2"), "no key Nope in section VCPU_CLASS");
    EXPECT_EQ(add_setting(sets, "VCPU_CLASS.VCPU=2,x"), "VCPU_CLASS.VCPU takes a whole number, not 'x'");
    EXPECT_EQ(add_setting(sets, "COMMON.DryRun=maybe"), "COMMON.DryRun takes true or false, not 'maybe'");
    EXPECT_EQ(add_setting(sets, "COMMON.UpdateTime=500"), "COMMON.UpdateTime cannot be replayed otherwise");
    EXPECT_TRUE(sets.empty());

    // Names compare without case; a key given twice adds its values; the
    // commas of a name list are its own.
    EXPECT_EQ(add_setting(sets, "vcpu_class.overloadbound=80,95"), "");
    EXPECT_EQ(add_setting(sets, "VCPU_CLASS.Exempt=web*,db01"), "");
    EXPECT_EQ(add_setting(sets, "VCPU_CLASS.OverloadBound=0x5a"), "");
    const std::vector<Combination> all = combinations(sets);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(describe(all[0]), "OverloadBound=80 Exempt=web*,db01");
    EXPECT_EQ(describe(all[2]), "OverloadBound=0x5a Exempt=web*,db01");
    EXPECT_EQ(combinations({}).size(), 1u);  // the recorded settings alone
}

TEST(ReplaySettings, RecordingThenConfigThenSetWithoutTheRecordedDryRun)
{
    Settings recorded;
    recorded.dry_run = true;
    recorded.update_time = 500;
    recorded.overload_bound = 70;
    recorded.cpu_idle_level = 40;
    recorded.vcpu = 2;
    ReplaySettings layers;
    std::string error;
    ASSERT_TRUE(
        layers.set_config("[COMMON]\nDryRun = yes\nUpdateTime = 2000\n[VCPU_CLASS]\nCpuIdleLevel = 20\n"
                          "OverloadBound = 60\n",
                          error))
        << error;
    std::vector<SettingValues> sets;
    ASSERT_EQ(add_setting(sets, "VCPU_CLASS.OverloadBound=95"), "");

    Settings replayed;
    ASSERT_TRUE(layers.settings(settings_text(recorded), combinations(sets).front(), replayed, error))
        << error;
    EXPECT_FALSE(replayed.dry_run);
    EXPECT_EQ(replayed.update_time, 500);
    EXPECT_EQ(replayed.vcpu, 2);
    EXPECT_EQ(replayed.cpu_idle_level, 20);
    EXPECT_EQ(replayed.overload_bound, 95);

    std::vector<SettingValues> dry;
    ASSERT_EQ(add_setting(dry, "COMMON.DryRun=1"), "");
    ASSERT_TRUE(layers.settings(settings_text(recorded), combinations(dry).front(), replayed, error));
    EXPECT_TRUE(replayed.dry_run);

    EXPECT_FALSE(layers.set_config("[VCPU_CLASS\n", error));
    EXPECT_EQ(error, "bad line 1");
}

TEST(ReplaySettings, EveryKeyIsSetByItsRowAndShownWhereItsRowSays)
{
    const ReplaySettings layers;
    const std::string recorded = settings_text(Settings{});
    for (const ConfigurationKey& key : configuration_keys()) {
        const std::string where = std::string(key.section) + "." + std::string(key.name);
        SCOPED_TRACE(where);
        // A value other than the default that every bound lets through.
        const std::string value = key.kind == KeyKind::integer
                                      ? std::to_string(std::stoll(key_value_text(key, Settings{})) + 1)
                                  : key.kind == KeyKind::boolean   ? "true"
                                  : key.kind == KeyKind::level     ? "debug"
                                  : key.kind == KeyKind::name_list ? "db01"
                                                                   : "other";
        std::vector<SettingValues> sets;
        const std::string error = add_setting(sets, where + "=" + value);
        if (key.has(fixed_by_recording)) {
            EXPECT_EQ(error, where + " cannot be replayed otherwise");
            continue;
        }
        ASSERT_EQ(error, "");
        Settings replayed;
        std::string unreadable;
        ASSERT_TRUE(layers.settings(recorded, combinations(sets).front(), replayed, unreadable));
        EXPECT_EQ(key_value_text(key, replayed), value);
        const bool shown = key.has(in_summary) || key.has(in_summary_when_set);
        EXPECT_EQ(settings_line(replayed).find(std::string(key.name) + "=" + value) != std::string::npos,
                  shown);
    }
    EXPECT_EQ(settings_line(Settings{}),
              "UpdateTime=1000 AveragingTime=30 MaxCpuIdleLevel=35 MinCpuIdleLevel=15 "
              "RateLimitDelta=5 CpuIdleLevel=30 OverloadBound=90 VCPU=4");
}

TEST(ReplaySettings, TheHostsKnobsAreSetByTheirKernelNamesWithinTheirRanges)
{
    std::vector<SettingValues> sets;
    EXPECT_EQ(add_setting(sets, "hw.vmm.vcpu_limit.class.2.rate_limit=lots"),
              "hw.vmm.vcpu_limit.class.2.rate_limit takes a whole number, not 'lots'");
    EXPECT_EQ(add_setting(sets, "hw.vmm.vcpu_limit.class.3.rate_limit=5"),
              "no section hw.vmm.vcpu_limit.class.3");
    EXPECT_TRUE(sets.empty());
    ASSERT_EQ(add_setting(sets, "hw.vmm.vcpu_limit.class.2.rate_limit=0,40,150"), "");
    ASSERT_EQ(add_setting(sets, "HW.VMM.VCPU_LIMIT.CLASS.1.BURST_SECS=100000"), "");
    const std::vector<Combination> all = combinations(sets);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(describe(all[1]),
              "hw.vmm.vcpu_limit.class.2.rate_limit=40 hw.vmm.vcpu_limit.class.1.burst_secs=100000");

    // Out of range, a value is replayed at the nearest end, and told so.
    std::vector<std::string> changes;
    const std::vector<Combination> used = ReplaySettings{}.used(all, settings_text(Settings{}), changes);
    ASSERT_EQ(used.size(), 3u);
    EXPECT_EQ(describe(used[0]),
              "hw.vmm.vcpu_limit.class.2.rate_limit=1 hw.vmm.vcpu_limit.class.1.burst_secs=86400");
    EXPECT_EQ(changes,
              (std::vector<std::string>{"hw.vmm.vcpu_limit.class.2.rate_limit=0 is replayed as 1",
                                        "hw.vmm.vcpu_limit.class.1.burst_secs=100000 is replayed as 86400",
                                        "hw.vmm.vcpu_limit.class.2.rate_limit=150 is replayed as 100"}));
    Settings replayed;
    std::string error;
    ASSERT_TRUE(ReplaySettings{}.settings(settings_text(Settings{}), all[1], replayed, error));
    EXPECT_EQ(settings_line(replayed),
              "UpdateTime=1000 AveragingTime=30 MaxCpuIdleLevel=35 MinCpuIdleLevel=15 RateLimitDelta=5 "
              "CpuIdleLevel=30 OverloadBound=90 VCPU=4 hw.vmm.vcpu_limit.class.2.rate_limit=40 "
              "hw.vmm.vcpu_limit.class.1.burst_secs=86400");
}
