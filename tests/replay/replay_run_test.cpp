// A replay's summary beside what the daemon's own presenters say of the
// same ticks.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "controller/controller.h"
#include "controller/controller_view.h"
#include "controller/rate_limit_class.h"
#include "fake_host.h"
#include "log_capture.h"
#include "recording/record_format.h"
#include "recording/recording_host.h"
#include "replay/replay_run.h"
#include "runtime/metrics_file.h"
#include "runtime/status.h"
#include "startup/settings.h"
#include "startup/settings_text.h"

TEST(ReplayRun, JudgesTheVmsAsStatusAndMetricsDo)
{
    constexpr int64_t second = 1'000'000'000;
    Settings& settings = Settings::instance() = Settings{};
    Controller controller;
    LogCapture log;  // after the controller, which installs the daemon's logger
    FakeHost host;
    host.knobs = {
        {Knob::class1_rate_limit, 100}, {Knob::class2_rate_limit, 25}, {Knob::class1_burst_secs, 1}};
    host.sample.valid = true;
    // Found in class 2, as after a restart, and flat out: one VM with fewer
    // vCPUs than VCPU, which nothing judges, and one judged MINER.
    host.add_vm("small", 101, 100, 1, miner_class);
    host.add_vm("large", 201, 200, 4, miner_class);
    Recording recording;
    HeaderRow header;
    header.format = record_format;
    header.cpus = 2;
    header.update_time = settings.update_time;
    header.settings = settings_text(settings);
    recording.headers.push_back(header);
    for (uint64_t seq = 0; seq < 4; ++seq) {
        host.advance(second, 150, 50, 1'000'000);
        RecordingHost noting(host, recording);
        controller.run_tick(noting);
        recording.ticks.back().seq = seq;
        recording.ticks.back().wall_ns = host.clock;
    }

    const nlohmann::json status = status_json(ControllerView(controller));
    ASSERT_EQ(status["vms"].size(), 2u);
    EXPECT_EQ(status["vms"][0]["name"], "small");
    EXPECT_EQ(status["vms"][0]["kind"], "unjudged");
    EXPECT_EQ(status["vms"][1]["kind"], "MINER");
    const std::string metrics = metrics_text(ControllerView(controller));
    EXPECT_EQ(metrics.find("halvorn_vm_miner{vm=\"small\"}"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("halvorn_vm_miner{vm=\"large\"} 1\n"), std::string::npos) << metrics;

    const RunSummary summary = replay(recording, ReplaySettings{}, Combination{});
    ASSERT_EQ(summary.vms.size(), 2u);
    EXPECT_EQ(summary.vms[0].name, "large");
    EXPECT_EQ(summary.vms[0].judged_miner, 1u);
    EXPECT_TRUE(summary.vms[0].first_miner_wall_ns.has_value());
    EXPECT_EQ(summary.vms[1].name, "small");
    EXPECT_EQ(summary.vms[1].judged_miner, 0u);
    EXPECT_FALSE(summary.vms[1].first_miner_wall_ns.has_value());
}
