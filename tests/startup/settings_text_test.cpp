// The settings as text for a record file's header, read back through the
// configuration loader.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "startup/configuration.h"
#include "startup/configuration_keys.h"
#include "startup/settings.h"
#include "startup/settings_text.h"

namespace {

void expect_same(const Settings& a, const Settings& b)
{
    for (const ConfigurationKey& key : configuration_keys())
        EXPECT_EQ(key_value_text(key, a), key_value_text(key, b)) << key.name;
}

// A value other than the default that every bound lets through.
std::string other_value(const ConfigurationKey& key)
{
    switch (key.kind) {
    case KeyKind::integer: return std::to_string(std::stoll(key_value_text(key, Settings{})) + 1);
    case KeyKind::boolean: return "true";
    case KeyKind::level: return "debug";
    case KeyKind::text: return "/var/tmp/other place";
    case KeyKind::name_list: return "build-*, db01";
    }
    return {};
}

}  // namespace

TEST(ConfigurationKeys, EachKeyFillsItsOwnFieldThroughEveryWayIn)
{
    const Settings defaults;
    for (const ConfigurationKey& key : configuration_keys()) {
        SCOPED_TRACE(std::string(key.section) + "." + std::string(key.name));
        Settings set;
        ASSERT_EQ(set_key_value(key, other_value(key), set), "");
        for (const ConfigurationKey& other : configuration_keys())
            EXPECT_EQ(key_value_text(other, set) != key_value_text(other, defaults), &other == &key)
                << other.name;
        // Written as a header holds it, read as a file is.
        Settings read;
        std::string error;
        ASSERT_TRUE(read_configuration_text(read, settings_text(set), error)) << error;
        expect_same(read, set);
        Settings copied;
        copy_key_value(key, set, copied);
        expect_same(copied, set);
    }
}

TEST(SettingsText, ReadsBackToTheSameSettings)
{
    Settings written;
    written.log_level = 0;
    written.update_vm_list = 7;
    written.update_time = 250;
    written.averaging_time = 45;
    written.max_cpu_idle_level = 60;
    written.min_cpu_idle_level = 25;
    written.rate_limit_delta = 3;
    written.cpu_idle_level = 41;
    written.overload_bound = 77;
    written.vcpu = 2;
    written.metrics_file = "/var/tmp/node exporter/halvorn.prom";
    written.dry_run = true;
    written.record_file = "/var/log/halvorn.record.gz";
    // Longer than one line holds: it goes on over continuation lines.
    for (int i = 0; i < 40; ++i)
        written.exempt.push_back("build-" + std::to_string(i) + "-*");

    const std::string text = settings_text(written);

    Settings read;
    std::string error;
    ASSERT_TRUE(read_configuration_text(read, text, error)) << error << "\n" << text;
    expect_same(read, written);

    // Read over other settings, the text still sets every key.
    Settings other;
    other.exempt = {"db01"};
    other.dry_run = false;
    ASSERT_TRUE(read_configuration_text(other, text, error)) << error;
    expect_same(other, written);
}

TEST(SettingsText, TextReadOverSettingsKeepsWhatItDoesNotSayAndRefusesBadLines)
{
    Settings settings;
    settings.overload_bound = 70;
    settings.exempt = {"db01"};
    settings.dry_run = true;
    settings.log_level = 1;
    std::string error;
    ASSERT_TRUE(read_configuration_text(settings, "[VCPU_CLASS]\nVCPU = 2\n", error)) << error;
    EXPECT_EQ(settings.vcpu, 2);
    EXPECT_EQ(settings.overload_bound, 70);
    EXPECT_EQ(settings.exempt, std::vector<std::string>{"db01"});
    EXPECT_TRUE(settings.dry_run);
    EXPECT_EQ(settings.log_level, 1);

    // The bounds apply as for a file.
    ASSERT_TRUE(read_configuration_text(settings, "[VCPU_CLASS]\nOverloadBound = 100\n", error));
    EXPECT_EQ(settings.overload_bound, 99);

    EXPECT_FALSE(read_configuration_text(settings, "[VCPU_CLASS]\nVCPU = 3\nno key here\n", error));
    EXPECT_EQ(error, "bad line 3");
    EXPECT_EQ(settings.vcpu, 2);
}
