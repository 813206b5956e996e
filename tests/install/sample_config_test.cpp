// The shipped sample configuration, run through the daemon's own loader.

#include "startup/configuration.h"
#include "startup/settings.h"

#include <INIReader.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace {

const std::string sample_path = HALVORN_SAMPLE_CONFIG;

// Copying the sample to halvorn.config must change nothing and say nothing.
TEST(SampleConfig, LoadsSilentlyToEveryDefault)
{
    Settings loaded;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    load_configuration(loaded, "/usr/local/sbin/halvorn", sample_path, "");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    const Settings defaults;
    EXPECT_EQ(loaded.config_file, std::filesystem::path(sample_path));
    EXPECT_EQ(loaded.log_level, defaults.log_level);
    EXPECT_EQ(loaded.update_vm_list, defaults.update_vm_list);
    EXPECT_EQ(loaded.update_time, defaults.update_time);
    EXPECT_EQ(loaded.averaging_time, defaults.averaging_time);
    EXPECT_EQ(loaded.max_cpu_idle_level, defaults.max_cpu_idle_level);
    EXPECT_EQ(loaded.min_cpu_idle_level, defaults.min_cpu_idle_level);
    EXPECT_EQ(loaded.rate_limit_delta, defaults.rate_limit_delta);
    EXPECT_EQ(loaded.cpu_idle_level, defaults.cpu_idle_level);
    EXPECT_EQ(loaded.overload_bound, defaults.overload_bound);
    EXPECT_EQ(loaded.vcpu, defaults.vcpu);
    EXPECT_EQ(loaded.metrics_file, defaults.metrics_file);
    EXPECT_EQ(loaded.dry_run, defaults.dry_run);
    EXPECT_EQ(loaded.record_file, defaults.record_file);
    EXPECT_EQ(loaded.exempt, defaults.exempt);
    EXPECT_EQ(loaded.command, "");
    EXPECT_EQ(loaded.command_arg, "");
    EXPECT_EQ(loaded.tracked_vm, "");
}

// Defaults alone would also come from a sample with keys missing or
// misspelt; an operator should find every key as a live line to edit.
TEST(SampleConfig, SetsEveryKeyOnALineOfItsOwn)
{
    const std::pair<const char*, const char*> keys[] = {
        {"COMMON", "LogLevel"},
        {"COMMON", "UpdateVMList"},
        {"COMMON", "UpdateTime"},
        {"COMMON", "AveragingTime"},
        {"RATE_LIMIT", "MaxCpuIdleLevel"},
        {"RATE_LIMIT", "MinCpuIdleLevel"},
        {"RATE_LIMIT", "RateLimitDelta"},
        {"VCPU_CLASS", "CpuIdleLevel"},
        {"VCPU_CLASS", "OverloadBound"},
        {"VCPU_CLASS", "VCPU"},
    };
    const INIReader reader(sample_path);
    ASSERT_EQ(reader.ParseError(), 0);
    for (const auto& [section, key] : keys) {
        EXPECT_TRUE(reader.HasValue(section, key)) << section << " " << key;
        // A continuation line would have been glued onto the value.
        EXPECT_EQ(reader.Get(section, key, "").find('\n'), std::string::npos) << section << " " << key;
    }
}

// Keys whose useful values differ from their defaults are shown commented
// out: live, they would make the copied sample change the daemon.
TEST(SampleConfig, ShowsTheOptionalKeysCommentedOut)
{
    const std::pair<const char*, const char*> keys[] = {
        {"COMMON", "MetricsFile"},
        {"COMMON", "DryRun"},
        {"COMMON", "RecordFile"},
        {"VCPU_CLASS", "Exempt"},
    };
    const INIReader reader(sample_path);
    ASSERT_EQ(reader.ParseError(), 0);
    std::ifstream file(sample_path);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    for (const auto& [section, key] : keys) {
        EXPECT_FALSE(reader.HasValue(section, key)) << section << " " << key;
        EXPECT_NE(text.find(std::string("\n#") + key + " = "), std::string::npos) << key;
    }
}

}  // namespace
