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

namespace {

// A recording of `cpus` CPUs begun with `settings`, as the recorder begins one.
Recording started_recording(const Settings& settings, int cpus)
{
    Recording recording;
    HeaderRow header;
    header.format = record_format;
    header.cpus = cpus;
    header.update_time = settings.update_time;
    header.settings = settings_text(settings);
    recording.headers.push_back(header);
    return recording;
}

// One tick of `controller` on `host`, recorded.
void record_tick(Controller& controller, FakeHost& host, Recording& recording, uint64_t seq)
{
    RecordingHost noting(host, recording);
    controller.run_tick(noting);
    recording.ticks.back().seq = seq;
    recording.ticks.back().wall_ns = host.clock;
}

// Two minutes of a VM whose four vCPUs want all of theirs, recorded by a
// daemon that never changed the class-2 limit; the class-1 burst is 1 s.
// Held in class 2 at 25 % on four CPUs, one of them busy; or in class 1 at
// 100 % on eight, half of them busy.
Recording flat_out(int cls)
{
    constexpr int64_t second = 1'000'000'000;
    Settings& settings = Settings::instance() = Settings{};
    Controller controller;
    LogCapture log;
    FakeHost host;
    host.cpus = cls == miner_class ? 4 : 8;
    host.knobs = {
        {Knob::class1_rate_limit, 100}, {Knob::class2_rate_limit, 25}, {Knob::class1_burst_secs, 1}};
    host.sample.valid = true;
    ScriptedVm& vm = host.add_vm("flat", 201, 200, 4, cls);
    Recording recording = started_recording(settings, host.cpus);
    for (uint64_t seq = 0; seq < 120; ++seq) {
        if (cls == miner_class) {
            host.advance(second, 100, 300, 250'000);
            for (int vcpu = 0; vcpu < 4; ++vcpu)
                vm.throttle_us[vcpu] += 750'000;
        } else {
            host.advance(second, 400, 400, 1'000'000);
        }
        record_tick(controller, host, recording, seq);
    }
    return recording;
}

// A replay of `recording` with the one --set `argument`.
RunSummary replay_with(const Recording& recording, const std::string& argument)
{
    std::vector<SettingValues> sets;
    EXPECT_EQ(add_setting(sets, argument), "");
    return replay(recording, ReplaySettings{}, combinations(sets).front());
}

}  // namespace

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
    Recording recording = started_recording(settings, 2);
    for (uint64_t seq = 0; seq < 4; ++seq) {
        host.advance(second, 150, 50, 1'000'000);
        record_tick(controller, host, recording, seq);
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

TEST(ReplayRun, AClass2RegulatorGivesHeldBackTimeToTheHeldVm)
{
    const Recording recording = flat_out(miner_class);
    const Settings& settings = Settings::instance();
    const RunSummary as_recorded = replay(recording, ReplaySettings{}, Combination{});
    EXPECT_EQ(as_recorded.class2_steps_up + as_recorded.class2_steps_down, 0u);
    EXPECT_EQ(as_recorded.class2_given_back_us, 0);
    // Four vCPUs held back 750 ms each second, from the second one the
    // recording holds throttle counts of.
    EXPECT_EQ(as_recorded.class2_held_back_us, 118 * 4 * 750'000);
    EXPECT_EQ(summary_text(as_recorded, settings).find("Class 2:"), std::string::npos);

    std::vector<SettingValues> sets;
    ASSERT_EQ(add_setting(sets, "RATE_LIMIT.Class2RateLimitCeiling=75"), "");
    const RunSummary regulated = replay(recording, ReplaySettings{}, combinations(sets)[0]);
    EXPECT_GT(regulated.class2_steps_up, 0u);
    EXPECT_EQ(regulated.class2_steps_down, 0u);
    ASSERT_TRUE(regulated.highest_class2_limit.has_value());
    EXPECT_GT(*regulated.highest_class2_limit, 25);
    EXPECT_LE(*regulated.highest_class2_limit, 75);
    // What was given back is no longer held back; nothing is made up.
    EXPECT_GT(regulated.class2_given_back_us, 0);
    EXPECT_EQ(regulated.class2_given_back_us + regulated.class2_held_back_us,
              as_recorded.class2_held_back_us);
    EXPECT_NEAR(regulated.class2_given_back_share(),
                static_cast<double>(regulated.class2_given_back_us) / as_recorded.class2_held_back_us, 1e-9);
    const std::string text = summary_text(regulated, settings);
    EXPECT_NE(text.find("\nClass 2: "), std::string::npos) << text;
    EXPECT_NE(text.find(" held back)\n"), std::string::npos) << text;
    const nlohmann::json json = nlohmann::json::parse(summary_json(regulated, settings));
    EXPECT_DOUBLE_EQ(json["host"]["class2_cpu_seconds_given_back"].get<double>(),
                     static_cast<double>(regulated.class2_given_back_us) / 1e6);
}

TEST(ReplayRun, TheHostsKnobsSetOtherwiseAreWhatTheControllerAndTheModelSee)
{
    const Recording held = flat_out(miner_class);
    const RunSummary as_recorded = replay(held, ReplaySettings{}, Combination{});
    // Class 2 raised to 50 %: the held VM runs half of what it was held
    // back, and the rest is still held.
    const RunSummary raised = replay_with(held, "hw.vmm.vcpu_limit.class.2.rate_limit=50");
    EXPECT_EQ(raised.class2_held_back_us, 118 * 4 * 500'000);
    EXPECT_EQ(raised.class2_given_back_us, 118 * 4 * 250'000);
    EXPECT_LT(raised.held_us(), as_recorded.held_us());
    // Lowered, it holds back more than recorded and gives nothing.
    const RunSummary lowered = replay_with(held, "hw.vmm.vcpu_limit.class.2.rate_limit=10");
    EXPECT_EQ(lowered.class2_held_back_us, 118 * 4 * 900'000);
    EXPECT_EQ(lowered.class2_given_back_us, 0);

    // A longer burst: the MINER judgement takes twice it, 38 s after the
    // recorded one's 2 s; one longer than the recording is never reached.
    const Recording flat = flat_out(normal_class);
    const RunSummary first = replay(flat, ReplaySettings{}, Combination{});
    ASSERT_EQ(first.vms.size(), 1u);
    ASSERT_TRUE(first.vms[0].first_miner_wall_ns.has_value());
    const RunSummary longer = replay_with(flat, "hw.vmm.vcpu_limit.class.1.burst_secs=20");
    ASSERT_EQ(longer.vms.size(), 1u);
    ASSERT_TRUE(longer.vms[0].first_miner_wall_ns.has_value());
    EXPECT_EQ(*longer.vms[0].first_miner_wall_ns - *first.vms[0].first_miner_wall_ns,
              38 * int64_t{1'000'000'000});
    const RunSummary longest = replay_with(flat, "hw.vmm.vcpu_limit.class.1.burst_secs=3600");
    ASSERT_EQ(longest.vms.size(), 1u);
    EXPECT_EQ(longest.vms[0].judged_miner, 0u);
}
