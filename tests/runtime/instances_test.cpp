#include "runtime/instances.h"

#include <gtest/gtest.h>

TEST(RunningInstances, RecognisesTitlesInBothForms)
{
    const std::string daemon = "Orvane priority controller (daemon)";
    const std::string monitor = "Orvane priority controller (monitor)";
    EXPECT_EQ(daemon_title(), daemon);
    EXPECT_EQ(monitor_title(), monitor);

    // The starting process itself still carries its command line.
    RunningInstances none = classify_instances({{"halvorn", "./build/halvorn", 1, 10}});
    EXPECT_EQ(none.daemon, 0);
    EXPECT_EQ(none.monitor, 0);

    RunningInstances found = classify_instances({
        {"halvorn", monitor, 1, 20},
        {"halvorn.debug", "halvorn.debug: " + daemon, 1, 21},
    });
    EXPECT_EQ(found.monitor, 20);
    EXPECT_EQ(found.daemon, 21);

    found = classify_instances({
        {"halvorn", "Orvane priority controller", 1, 30},
        {"halvorn", daemon, 1, 31},
        {"halvorn", "halvorn: " + monitor, 1, 32},
    });
    EXPECT_EQ(found.daemon, 31) << "a later match wins";
    EXPECT_EQ(found.monitor, 32);
}

TEST(RunningInstances, NearMissesDoNotCount)
{
    const RunningInstances found = classify_instances({
        {"halvorn", "halvorn.debug: Orvane priority controller (daemon)", 1, 40},  // other command
        {"halvorn", "Orvane priority controller (daemon) ", 1, 41},
        {"halvorn", "orvane priority controller", 1, 42},
        {"halvorn", "halvorn:Orvane priority controller (monitor)", 1, 43},
    });
    EXPECT_EQ(found.daemon, 0);
    EXPECT_EQ(found.monitor, 0);
}
