#include "runtime/commands.h"

#include <string>

#include <gtest/gtest.h>

#include "startup/settings.h"
#include "log_capture.h"

TEST(Commands, TrackWithoutArgumentResetsTracking)
{
    LogCapture log;
    Settings& settings = Settings::instance();

    settings.tracked_vm.clear();
    track("");
    EXPECT_NE(log.text().find("[CLI] Reset tracking VM (nothing)"), std::string::npos);

    settings.tracked_vm = "web01";
    track("");
    EXPECT_NE(log.text().find("[CLI] Reset tracking VM id=web01"), std::string::npos);
    EXPECT_TRUE(settings.tracked_vm.empty());
}

TEST(Commands, TrackingAVmThatCannotBeOpenedEndsEarlierTracking)
{
    LogCapture log;
    Settings& settings = Settings::instance();
    settings.tracked_vm = "web01";
    track("no-such-vm");
    EXPECT_NE(log.text().find("[CLI] Set tracking VM id=no-such-vm"), std::string::npos);
    EXPECT_NE(log.text().find("VM id=no-such-vm tracking is not possible"), std::string::npos);
    EXPECT_TRUE(settings.tracked_vm.empty());
}

TEST(Commands, LoglevelSetsTheLoggerAndConfirmsAtInfo)
{
    LogCapture log;
    Settings& settings = Settings::instance();

    loglevel("debug");
    EXPECT_EQ(settings.log_level, 1);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::debug);
    EXPECT_NE(log.text().find("[CLI] Reset log level to 'debug'"), std::string::npos);

    loglevel("warn");  // the confirmation is below the new level
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::warn);
    EXPECT_EQ(log.text().find("'warning'"), std::string::npos);

    // An unknown name is a warning and leaves the level as it was.
    EXPECT_FALSE(loglevel("verbose"));
    EXPECT_EQ(settings.log_level, 3);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::warn);
    EXPECT_NE(log.text().find("[CLI] Unknown log level 'verbose'"), std::string::npos);

    EXPECT_TRUE(loglevel("off"));
    EXPECT_EQ(settings.log_level, 6);
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::off);

    loglevel("info");
    EXPECT_NE(log.text().find("[CLI] Reset log level to 'info'"), std::string::npos);
    EXPECT_EQ(level_name(3), "warning");
    EXPECT_EQ(level_name(7), "");
}

// Which names are refused, and that none reaches libvmmapi, is tested with a
// fake library in tests/bindings.
TEST(Commands, RefusedNamesAreLoggedEscapedAndLongOnesLeaveNoBuffer)
{
    LogCapture log;
    Settings& settings = Settings::instance();
    track("vm\n1\x7f");
    EXPECT_NE(log.text().find("[CLI] Set tracking VM id=vm\\x0a1\\x7f\n"), std::string::npos);
    EXPECT_NE(log.text().find("\nVM id=vm\\x0a1\\x7f tracking is not possible\n"), std::string::npos);

    track(std::string(65536, 'v'));
    EXPECT_TRUE(settings.tracked_vm.empty());
    EXPECT_LT(settings.tracked_vm.capacity(), 100u);
    settings.tracked_vm = std::string(65536, 'v');
    track("");
    EXPECT_LT(settings.tracked_vm.capacity(), 100u);
}
