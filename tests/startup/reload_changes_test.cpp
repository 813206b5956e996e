#include "startup/reload_changes.h"

#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"

using spdlog::level::level_enum;
using Lines = std::vector<LogCapture::Line>;

TEST(ReloadChanges, WarnOfEnforcingRecordingPublishingAndTheFileOnly)
{
    LogCapture log;
    Settings trial;
    trial.config_file = "/tmp/trial.config";
    trial.dry_run = true;
    trial.record_file = "/var/log/halvorn.record.gz";
    Settings found = trial;
    found.overload_bound = 95;  // a threshold is what a reload is for
    warn_of_reload_changes(trial, found);
    EXPECT_EQ(log.take(), Lines{});

    found.config_file = "/usr/local/etc/halvorn.config";
    found.dry_run = false;
    found.record_file.clear();
    found.metrics_file = "/var/tmp/node_exporter/halvorn.prom";
    warn_of_reload_changes(trial, found);
    EXPECT_EQ(
        log.take(),
        (Lines{{level_enum::warn,
                "Configuration file is now '/usr/local/etc/halvorn.config' (was '/tmp/trial.config')"},
               {level_enum::warn, "dry run is now off: enforcing"},
               {level_enum::warn, "RecordFile is now off (was '/var/log/halvorn.record.gz')"},
               {level_enum::warn, "MetricsFile is now '/var/tmp/node_exporter/halvorn.prom' (was off)"}}));

    found = trial;
    trial.dry_run = false;
    found.config_file.clear();
    warn_of_reload_changes(trial, found);
    EXPECT_EQ(log.take(),
              (Lines{{level_enum::warn, "Configuration file is now none, defaults (was '/tmp/trial.config')"},
                     {level_enum::warn, "dry run is now on: no rate limit or class is changed"}}));
}
