// Where the configuration file is looked for, and what a reload finds.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "configuration_fixture.h"

TEST_F(ConfigurationFile, DashCNamingAMissingFileSearchesNowhereElse)
{
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\n");
    const Loaded r = load(dir.file("halvorn"), dir.file("missing.config"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, cannot_load(dir.file("missing.config")));
    EXPECT_TRUE(r.settings.config_file.empty());
    EXPECT_EQ(r.settings.update_time, 1000);
}

TEST_F(ConfigurationFile, SearchStartsInTheProgramsDirectory)
{
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\n");
    fs::create_directory(dir.file("sub"));
    Loaded r = load(dir.file("sub/../halvorn"), "");
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.settings.config_file, dir.file("halvorn.config"));
    EXPECT_EQ(r.settings.update_time, 300);

    // Found through the search path: the working directory.
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    r = load("halvorn", "");
    fs::current_path(before);
    EXPECT_EQ(r.settings.config_file, dir.file("halvorn.config"));
}

TEST_F(ConfigurationFile, SearchSkipsWhatCannotBeRead)
{
    if (system_file_present())
        GTEST_SKIP() << "a system-wide halvorn.config exists";
    Loaded r = load(dir.file("halvorn"), "");
    EXPECT_EQ(r.out, "No config file found. Using default parameters\n");
    EXPECT_TRUE(r.settings.config_file.empty());

    // A status query that fails (here a symbolic-link loop) skips the candidate.
    fs::create_symlink(dir.file("halvorn.config"), dir.file("halvorn.config"));
    r = load(dir.file("halvorn"), "");
    EXPECT_EQ(r.out, "No config file found. Using default parameters\n");
    fs::remove(dir.file("halvorn.config"));

    // A directory exists but is no file to read.
    fs::create_directory(dir.file("halvorn.config"));
    r = load(dir.file("halvorn"), "");
    EXPECT_EQ(r.err, cannot_load(dir.file("halvorn.config")));
    EXPECT_TRUE(r.settings.config_file.empty());
}

TEST_F(ConfigurationFile, ReloadSearchesAgainAndKeepsValuesWhenTheFileIsGone)
{
    if (system_file_present())
        GTEST_SKIP() << "a system-wide halvorn.config exists";
    Settings& s = Settings::instance();
    s = Settings();
    const std::string started = dir.write("started.config", "[COMMON]\nUpdateTime = 200\n");
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\n[VCPU_CLASS]\nVCPU = 8\n");
    load(dir.file("halvorn"), started, "trace", &s);
    EXPECT_EQ(s.update_time, 200);

    // The -c file and the -l level of the start no longer count. The timer
    // periods stay as started: the running timers keep theirs.
    dir.write("halvorn.config", "[COMMON]\nUpdateTime = 300\nUpdateVMList = 9\n[VCPU_CLASS]\nVCPU = 8\n");
    CaptureStdout();
    reload_configuration();
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Configuration file: '" + dir.file("halvorn.config") + "'"), std::string::npos) << out;
    EXPECT_NE(out.find("UpdateTime 300 takes effect at the next start"), std::string::npos) << out;
    EXPECT_NE(out.find("UpdateVMList 9 takes effect at the next start"), std::string::npos) << out;
    EXPECT_EQ(s.update_time, 200);
    EXPECT_EQ(s.update_vm_list, 5);
    EXPECT_EQ(s.vcpu, 8);
    EXPECT_EQ(s.log_level, 2);

    fs::remove(dir.file("halvorn.config"));
    s.tracked_vm = "vm1";
    CaptureStdout();
    reload_configuration();
    out = GetCapturedStdout();
    EXPECT_NE(out.find("No config file found. Using default parameters\n"), std::string::npos);
    EXPECT_NE(out.find("Configuration file: ''"), std::string::npos) << out;
    EXPECT_TRUE(s.config_file.empty());
    EXPECT_EQ(out.find("takes effect"), std::string::npos) << out;
    EXPECT_EQ(s.update_time, 200);
    EXPECT_EQ(s.vcpu, 8);
    EXPECT_EQ(s.tracked_vm, "vm1");
}
