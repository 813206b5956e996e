// --suggest on a small recording: the front its search finds within a
// budget against the front of the whole grid, a fleet's totals, and a
// recording too large to hold read again by each replay.
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "controller/controller.h"
#include "fake_host.h"
#include "log_capture.h"
#include "recording/record_format.h"
#include "temp_dir.h"
#include "recording/recording_host.h"
#include "replay/suggest_run.h"
#include "startup/settings.h"
#include "startup/settings_text.h"

namespace {

constexpr int64_t second = 1'000'000'000;

// Four minutes of a 6-CPU host recorded by the daemon: a miner from the
// start, a VM that bursts for a while, one just below the usual bound and
// one at half, together more than the host has at the burst's height.
Recording recorded_host()
{
    Settings& settings = Settings::instance() = Settings{};
    settings.vcpu = 2;
    Controller controller;
    LogCapture quiet;  // after the controller, which installs the daemon's logger
    FakeHost host;
    host.cpus = 6;
    host.knobs = {
        {Knob::class1_rate_limit, 100}, {Knob::class2_rate_limit, 25}, {Knob::class1_burst_secs, 5}};
    host.sample.valid = true;
    const std::vector<std::pair<std::string, int>> vms{
        {"miner", 100}, {"burst", 10}, {"near", 85}, {"half", 50}};
    for (size_t i = 0; i < vms.size(); ++i)
        host.add_vm(vms[i].first, static_cast<int>(101 + 100 * i), static_cast<int>(100 + 100 * i), 2);
    Recording recording;
    HeaderRow header;
    header.format = record_format;
    header.cpus = host.cpus;
    header.update_time = settings.update_time;
    header.settings = settings_text(settings);
    recording.headers.push_back(header);
    for (uint64_t t = 0; t < 240; ++t) {
        host.clock += second;
        uint64_t busy = 0;
        for (size_t i = 0; i < vms.size(); ++i) {
            int percent = vms[i].second;
            if (vms[i].first == "burst" && t >= 60 && t < 160)
                percent = 95;
            for (auto& [name, runtime] : host.threads[static_cast<int>(100 + 100 * i)])
                runtime += static_cast<uint64_t>(percent) * 10'000;
            busy += 2 * static_cast<uint64_t>(percent);
        }
        busy = std::min<uint64_t>(busy, 600);
        host.sample.user += busy;
        host.sample.idle += 600 - busy;
        RecordingHost noting(host, recording);
        controller.run_tick(noting);
        recording.ticks.back().seq = t;
        recording.ticks.back().wall_ns = host.clock;
    }
    return recording;
}

std::vector<SuggestDimension> small_grid(const Settings& recorded)
{
    std::vector<SuggestDimension> dimensions = suggest_dimensions(recorded);
    for (const char* narrowing :
         {"VCPU_CLASS.CpuIdleLevel=20,50,90", "VCPU_CLASS.OverloadBound=80,88,95",
          "RATE_LIMIT.MinCpuIdleLevel=10,15,30", "RATE_LIMIT.RateLimitDelta=5,20", "COMMON.AveragingTime=10"})
        EXPECT_EQ(narrow_dimensions(dimensions, narrowing, recorded), "") << narrowing;
    return dimensions;
}

}  // namespace

TEST(Suggest, TheSearchFindsWhatTheWholeGridDoesAndAFleetAddsUp)
{
    std::vector<SuggestHost> hosts{{"a", RecordingSource(recorded_host())}};
    const Settings recorded;
    std::vector<SuggestDimension> dimensions = small_grid(recorded);
    ASSERT_EQ(dimensions.size(), 5u);
    EXPECT_EQ(dimensions[2].levels.size(), 3u);  // the band, by its floor
    size_t grid = 1;
    for (const SuggestDimension& dimension : dimensions)
        grid *= dimension.levels.size();
    ASSERT_EQ(grid, 54u);

    const Suggestion whole = suggest_settings(hosts, ReplaySettings{}, dimensions, 1000);
    EXPECT_TRUE(whole.whole_grid);
    ASSERT_GE(whole.front.size(), 2u) << suggestion_table(whole);
    const Suggestion searched = suggest_settings(hosts, ReplaySettings{}, dimensions, 42);
    EXPECT_FALSE(searched.whole_grid);
    for (const SuggestRow& best : whole.front) {
        bool matched = false;
        for (const SuggestRow& found : searched.front)
            matched = matched || dominates(found.total, best.total) ||
                      (found.total.minutes_below_floor == best.total.minutes_below_floor &&
                       found.total.cpu_hours_held_back == best.total.cpu_hours_held_back);
        EXPECT_TRUE(matched) << best.settings << "\n"
                             << suggestion_table(searched) << suggestion_table(whole);
    }
    // The grid's levels leave out the recorded OverloadBound and
    // AveragingTime; the recorded settings are replayed as recorded still.
    const RunSummary recorded_run = hosts[0].recording.replay(ReplaySettings{}, {});
    EXPECT_DOUBLE_EQ(whole.recorded.total.cpu_hours_held_back, recorded_run.held_us() / 3.6e9);
    EXPECT_DOUBLE_EQ(whole.recorded.total.minutes_below_floor, recorded_run.minutes_below_min_idle());
    // The host without halvorn holds nobody back.
    EXPECT_EQ(whole.baseline.total.cpu_hours_held_back, 0.0);
    EXPECT_EQ(whole.baseline.total.vms_moved, 0u);

    // The same host twice is a fleet of two: every figure doubles, and the
    // moved VMs are named by host.
    hosts.push_back({"b", RecordingSource(recorded_host())});
    const Suggestion fleet = suggest_settings(hosts, ReplaySettings{}, dimensions, 1000);
    ASSERT_EQ(fleet.front.size(), whole.front.size());
    for (size_t i = 0; i < fleet.front.size(); ++i) {
        EXPECT_DOUBLE_EQ(fleet.front[i].total.minutes_below_floor,
                         2 * whole.front[i].total.minutes_below_floor);
        EXPECT_DOUBLE_EQ(fleet.front[i].worst_minutes, whole.front[i].total.minutes_below_floor);
        EXPECT_EQ(fleet.front[i].moved.size(), 2 * whole.front[i].moved.size());
    }
    EXPECT_DOUBLE_EQ(fleet.recorded.total.cpu_hours_held_back, 2 * whole.recorded.total.cpu_hours_held_back);
}

TEST(Suggest, ARecordingReadAgainByEachReplayReplaysAsItDoesFromMemory)
{
    const Recording recording = recorded_host();
    std::string text;
    append_header(text, recording.headers.front());
    text += '\n';
    for (size_t i = 0; i < recording.ticks.size(); ++i) {
        append_tick(text, recording, recording.ticks[i], i > 0 ? &recording : nullptr,
                    i > 0 ? &recording.ticks[i - 1] : nullptr);
        text += '\n';
    }
    TempDir dir;
    const std::string file = dir.write("record", text);
    RecordingSource held;
    RecordingSource streamed;
    held.open({file}, true, [](const std::string& message) { ADD_FAILURE() << message; });
    streamed.open({file}, false, [](const std::string& message) { ADD_FAILURE() << message; });
    EXPECT_EQ(streamed.ticks(), recording.ticks.size());
    EXPECT_EQ(streamed.first_settings(), recording.headers.front().settings);

    const RunSummary a = held.replay(ReplaySettings{}, {});
    const RunSummary b = streamed.replay(ReplaySettings{}, {});
    EXPECT_EQ(a.ticks, b.ticks);
    EXPECT_EQ(a.moved_names(), b.moved_names());
    EXPECT_EQ(a.steps_down + a.steps_up, b.steps_down + b.steps_up);
    EXPECT_EQ(a.below_min_idle_ns, b.below_min_idle_ns);
    EXPECT_DOUBLE_EQ(a.held_us(), b.held_us());
    EXPECT_EQ(held.replay_without_halvorn().below_min_idle_ns,
              streamed.replay_without_halvorn().below_min_idle_ns);
}

TEST(Suggest, ReplaysSideBySideGiveWhatEachGivesAlone)
{
    // More runs than go side by side at once, the host without halvorn among
    // them, and settings that move different VMs: each run keeps its own.
    const RecordingSource source(recorded_host());
    std::vector<std::optional<Combination>> runs;
    for (const char* cpu_idle_level : {"90", "20", "50"})
        for (const char* overload_bound : {"80", "95"}) {
            std::vector<SettingValues> sets;
            ASSERT_EQ(add_setting(sets, std::string("VCPU_CLASS.CpuIdleLevel=") + cpu_idle_level), "");
            ASSERT_EQ(add_setting(sets, std::string("VCPU_CLASS.OverloadBound=") + overload_bound), "");
            runs.push_back(combinations(sets).front());
        }
    runs.insert(runs.begin() + 2, std::nullopt);
    runs.push_back(Combination{});
    runs.push_back(std::nullopt);
    runs.push_back(runs.front());
    ASSERT_GT(runs.size(), RecordingSource::side_by_side);

    const std::vector<RunSummary> together = source.replay_all(ReplaySettings{}, runs);
    ASSERT_EQ(together.size(), runs.size());
    std::set<std::vector<std::string>> moved;
    for (size_t i = 0; i < runs.size(); ++i) {
        const RunSummary alone =
            runs[i] ? source.replay(ReplaySettings{}, *runs[i]) : source.replay_without_halvorn();
        EXPECT_EQ(together[i].moved_names(), alone.moved_names()) << i;
        EXPECT_EQ(together[i].steps_down, alone.steps_down) << i;
        EXPECT_EQ(together[i].below_min_idle_ns, alone.below_min_idle_ns) << i;
        EXPECT_DOUBLE_EQ(together[i].held_us(), alone.held_us()) << i;
        moved.insert(alone.moved_names());
    }
    EXPECT_GE(moved.size(), 3u);  // the settings made a difference
}
