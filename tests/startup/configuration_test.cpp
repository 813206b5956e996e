// Reading a configuration file: keys, values, line forms and -l.
#include <string>

#include <gtest/gtest.h>

#include "configuration_fixture.h"

TEST_F(ConfigurationFile, ReadsEveryKeyIntoItsField)
{
    const Loaded r =
        load_text("[COMMON]\nLogLevel = debug\nUpdateVMList = 2\nUpdateTime = 500\nAveragingTime = 60\n"
                  "[RATE_LIMIT]\nMaxCpuIdleLevel = 50\nMinCpuIdleLevel = 20\nRateLimitDelta = 3\n"
                  "[VCPU_CLASS]\nCpuIdleLevel = 40\nOverloadBound = 80\nVCPU = 2\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.settings.config_file, dir.file("test.config"));
    EXPECT_EQ(r.settings.log_level, 1);
    EXPECT_EQ(r.settings.update_vm_list, 2);
    EXPECT_EQ(r.settings.update_time, 500);
    EXPECT_EQ(r.settings.averaging_time, 60);
    EXPECT_EQ(r.settings.max_cpu_idle_level, 50);
    EXPECT_EQ(r.settings.min_cpu_idle_level, 20);
    EXPECT_EQ(r.settings.rate_limit_delta, 3);
    EXPECT_EQ(r.settings.cpu_idle_level, 40);
    EXPECT_EQ(r.settings.overload_bound, 80);
    EXPECT_EQ(r.settings.vcpu, 2);
}

TEST_F(ConfigurationFile, IntegerFormsAndBoundsOnReading)
{
    const std::pair<const char*, int64_t> update_times[] = {
        {"0x1F4", 500}, {"010", 100}, {"abc", 1000},    {"", 1000},  {"750ms", 750},
        {"+400", 400},  {"50", 100},  {"20000", 10000}, {"-1", 100},
    };
    for (const auto& [text, expected] : update_times)
        EXPECT_EQ(load_text(std::string("[COMMON]\nUpdateTime = ") + text).settings.update_time, expected)
            << text;
    EXPECT_EQ(load_text("[COMMON]\nAveragingTime = 3").settings.averaging_time, 10);
    EXPECT_EQ(load_text("[VCPU_CLASS]\nVCPU = 0x10").settings.vcpu, 16);
    EXPECT_EQ(load_text("[VCPU_CLASS]\nVCPU = -7").settings.vcpu, 1);
    // A 32-bit field keeps the low 32 bits of what was read.
    EXPECT_EQ(load_text("[VCPU_CLASS]\nVCPU = 4294967298").settings.vcpu, 2);
    EXPECT_EQ(load_text("[COMMON]\nUpdateVMList = 0").settings.update_vm_list, 1);
    EXPECT_EQ(load_text("[RATE_LIMIT]\nRateLimitDelta = -5").settings.rate_limit_delta, 1);
}

TEST_F(ConfigurationFile, MetricsFileDryRunAndExempt)
{
    const Settings defaults = load_text("[COMMON]\n").settings;
    EXPECT_EQ(defaults.metrics_file, "");
    EXPECT_FALSE(defaults.dry_run);
    EXPECT_TRUE(defaults.exempt.empty());

    const Loaded r = load_text("[COMMON]\nMetricsFile = /var/tmp/halvorn.prom\nDryRun = yes\n"
                               "[VCPU_CLASS]\nExempt = build-*, db01 ,, \\\"odd\\\" ,\n");
    EXPECT_EQ(r.settings.metrics_file, "/var/tmp/halvorn.prom");
    EXPECT_TRUE(r.settings.dry_run);
    EXPECT_EQ(r.settings.exempt, (std::vector<std::string>{"build-*", "db01", "\\\"odd\\\""}));
    EXPECT_TRUE(r.settings.is_exempt("build-7"));
    EXPECT_TRUE(r.settings.is_exempt("db01"));
    EXPECT_FALSE(r.settings.is_exempt("db011"));
    EXPECT_FALSE(r.settings.is_exempt("web-build-1"));

    for (const char* on : {"true", "1", "YES"})
        EXPECT_TRUE(load_text(std::string("[COMMON]\nDryRun = ") + on).settings.dry_run) << on;
    for (const char* off : {"false", "0", "no", "maybe"})
        EXPECT_FALSE(load_text(std::string("[COMMON]\nDryRun = ") + off).settings.dry_run) << off;
}

TEST_F(ConfigurationFile, ReloadReplacesMetricsFileDryRunAndExempt)
{
    Settings s;
    const std::string path = dir.write("a.config", "[COMMON]\nMetricsFile = /tmp/m\nDryRun = 1\n"
                                                   "[VCPU_CLASS]\nExempt = a*\n");
    load("", path, "", &s);
    EXPECT_TRUE(s.dry_run);
    // A reload reads every key afresh: keys gone from the file return to
    // their defaults.
    dir.write("a.config", "[VCPU_CLASS]\nExempt = b\n");
    load("", path, "", &s);
    EXPECT_EQ(s.metrics_file, "");
    EXPECT_FALSE(s.dry_run);
    EXPECT_EQ(s.exempt, std::vector<std::string>{"b"});
}

TEST_F(ConfigurationFile, DuplicateKeysAreJoined)
{
    const Loaded r = load_text("[COMMON]\nLogLevel = debug\nLogLevel = error\n"
                               "UpdateTime = 300\nUpdateTime = 400\n");
    EXPECT_EQ(r.settings.log_level, 2);  // "debug\nerror" is no level name
    EXPECT_EQ(r.err, unknown_level("debug\nerror"));
    EXPECT_EQ(r.settings.update_time, 300);  // the number ends at the newline
}

TEST_F(ConfigurationFile, IndentedLinesContinueTheLastKey)
{
    Loaded r = load_text("[COMMON]\nUpdateTime = 300\n  AveragingTime = 40\n\n; note\n"
                         "  UpdateVMList = 9\n[RATE_LIMIT]\n  RateLimitDelta = 7\n");
    EXPECT_EQ(r.settings.update_time, 300);
    EXPECT_EQ(r.settings.averaging_time, 30);
    EXPECT_EQ(r.settings.update_vm_list, 5);
    EXPECT_EQ(r.settings.rate_limit_delta, 7);  // no key line yet in that section

    // An indented section line starts no section.
    r = load_text("[COMMON]\nUpdateTime = 300\n  [RATE_LIMIT]\nAveragingTime = 40\n");
    EXPECT_EQ(r.settings.averaging_time, 40);

    EXPECT_EQ(load_text("[COMMON]\nLogLevel = debug\n  more\n").settings.log_level, 2);
}

TEST_F(ConfigurationFile, BadLineDiscardsTheWholeFileButNotDashL)
{
    for (const char* text :
         {"[COMMON]\nUpdateTime = 300\nnot a key line\nVCPU = 8\n", "[COMMON\nUpdateTime = 300\n"}) {
        const Loaded r = load_text(text, "debug");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, cannot_load(dir.file("test.config")));
        EXPECT_TRUE(r.settings.config_file.empty());
        EXPECT_EQ(r.settings.update_time, 1000);
        EXPECT_EQ(r.settings.log_level, 1);
    }
}

TEST_F(ConfigurationFile, LongLinesAreReadIn199CharacterPieces)
{
    const std::string piece = "; " + std::string(197, 'x');
    Loaded r = load_text("[VCPU_CLASS]\n" + piece + "\nVCPU = 6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.settings.vcpu, 6);

    r = load_text("[VCPU_CLASS]\n" + piece + "VCPU = 7\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.settings.vcpu, 7);  // the tail is a line of its own

    r = load_text("[VCPU_CLASS]\n" + piece + "tail\nVCPU = 7\n");
    EXPECT_EQ(r.err, cannot_load(dir.file("test.config")));
    EXPECT_EQ(r.settings.vcpu, 4);
}

TEST_F(ConfigurationFile, NamesIgnoreCaseButValuesAndBracketBlanksDoNot)
{
    Loaded r = load_text("[common]\nupdatetime = 300\n[vcpu_class]\nvcpu=6\n");
    EXPECT_EQ(r.settings.update_time, 300);
    EXPECT_EQ(r.settings.vcpu, 6);
    EXPECT_EQ(load_text("[ COMMON ]\nUpdateTime = 300\n").settings.update_time, 1000);
    r = load_text("[COMMON]\nLogLevel = INFO\n");
    EXPECT_EQ(r.settings.log_level, 2);
    EXPECT_EQ(r.err, unknown_level("INFO"));
}

TEST_F(ConfigurationFile, CommentsAndByteOrderMark)
{
    EXPECT_EQ(load_text("[COMMON]\nLogLevel = debug ; chatty\n").settings.log_level, 1);
    EXPECT_EQ(load_text("[COMMON]\nLogLevel = debug;x\n").settings.log_level, 2);
    EXPECT_EQ(load_text("\xEF\xBB\xBF[COMMON]\nUpdateTime = 300\n").settings.update_time, 300);

    for (const char* text : {"", "; nothing\n# here\n\n"}) {
        const Loaded r = load_text(text);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(r.settings.config_file, dir.file("test.config"));
        EXPECT_EQ(r.settings.update_time, 1000);
        EXPECT_EQ(r.settings.log_level, 2);
    }
}

TEST_F(ConfigurationFile, DashLOverridesTheFile)
{
    const std::string file = dir.write("test.config", "[COMMON]\nLogLevel = error\n");
    EXPECT_EQ(load("", file).settings.log_level, 4);
    EXPECT_EQ(load("", file, "trace").settings.log_level, 0);
    // A bad -l keeps the file's level, a bad LogLevel the default; both say so.
    const Loaded bad_option = load("", file, "bogus");
    EXPECT_EQ(bad_option.settings.log_level, 4);
    EXPECT_EQ(bad_option.err, unknown_level("bogus"));
    const Loaded bad_both = load("", dir.write("bad.config", "[COMMON]\nLogLevel = Info\n"), "verbose");
    EXPECT_EQ(bad_both.settings.log_level, 2);
    EXPECT_EQ(bad_both.err, unknown_level("Info") + unknown_level("verbose"));
    // "off" is a level of its own, not a failure.
    const Loaded off = load("", file, "off");
    EXPECT_EQ(off.settings.log_level, 6);
    EXPECT_EQ(off.err, "");
}
