// A replay of a real run: the daemon records itself on the simulator (a
// miner, a VM that bursts and calms, calm VMs), the recording rotated on the
// way, then halvorn-replay runs it with the same settings and with one that
// spares the miner; and a recording that a killed daemon left and its
// successor went on with.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_sim_fixture.h"

namespace {

using namespace std::chrono_literals;

// A miner wanting 80 % of each vCPU: judged at OverloadBound 45 on a busy
// host or an idle one (the class-1 limit holds back what it does not run),
// never at 95. The narrow idle band steps the class-1 limit often.
const std::vector<std::string> host_args{
    "--vm",      "miner:2:80",     "--vm", "burst:2:5",      "--vm", "calm:2:10",    "--vm",
    "quiet:2:3", "--class1-limit", "50",   "--class2-limit", "25",   "--burst-secs", "1"};

struct Event {
    std::string what;  // the move or step, without its idle figure
    int tick;
};

// The class moves and rate-limit steps (of either class) of a log, with the
// tick of each (the regulator's state lines before it).
std::vector<Event> events(const std::string& log)
{
    std::vector<Event> found;
    int ticks = 0;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        at = end + 1;
        if (line.find("CPU_Idle=") != std::string::npos) {
            ++ticks;
        } else if (const size_t vm = line.find("VM_id=");
                   vm != std::string::npos && line.find(" => ") != std::string::npos) {
            found.push_back({line.substr(vm), ticks});
        } else if (const size_t step = line.find("VCPU_rate_limit");
                   step != std::string::npos && line.find("; has been ") != std::string::npos) {
            found.push_back({line.substr(step), ticks});
        }
    }
    return found;
}

// The lines of `log` stamped with `pid`, the daemon's or the replay's.
std::string lines_of(const std::string& log, int pid)
{
    const std::string stamp = "] [" + std::to_string(pid) + "] ";
    std::string kept;
    for_each_line(log, [&](const std::string& line, size_t) {
        if (line.find(stamp) != std::string::npos)
            kept += line + "\n";
        return true;
    });
    return kept;
}

void expect_same_events(const std::vector<Event>& recorded, std::vector<Event> again,
                        const std::string& shown)
{
    EXPECT_EQ(again.size(), recorded.size()) << shown;
    // Each recorded event, at the same tick give or take one.
    for (const Event& event : recorded) {
        bool matched = false;
        for (Event& candidate : again)
            if (candidate.what == event.what && std::abs(candidate.tick - event.tick) <= 1) {
                candidate.tick = -10;  // used
                matched = true;
                break;
            }
        EXPECT_TRUE(matched) << "tick " << event.tick << ": " << event.what << "\n" << shown;
    }
}

struct ReplayFidelityTest : SimulatedHostTest {
    std::string record = dir.file("record.gz");

    // By default both files of the rotated recording, the newer one first.
    ProgramResult replay(std::vector<std::string> args, const std::vector<std::string>& files = {})
    {
        args.insert(args.begin(), "halvorn-replay");
        if (files.empty()) {
            args.push_back(record);
            args.push_back(record + ".0");
        }
        args.insert(args.end(), files.begin(), files.end());
        return run_program(HALVORN_REPLAY_EXE, args, {.deadline = std::chrono::seconds(120)});
    }

    void demand(const std::string& vm, const std::string& value)
    {
        const simtest::ToolResult result = simtest::run_tool({"demand", vm, value});
        ASSERT_EQ(result.status, 0) << result.output;
    }
};

}  // namespace

TEST_F(ReplayFidelityTest, AReplayWithTheRecordedSettingsMakesTheRecordedMovesAndSteps)
{
    ASSERT_NO_FATAL_FAILURE(
        start(host_args, "UpdateTime = 500\nAveragingTime = 10\nRecordFile = " + record +
                             "\n[RATE_LIMIT]\nMinCpuIdleLevel = 45\nMaxCpuIdleLevel = 50\n"
                             "RateLimitDelta = 10\nClass2RateLimitCeiling = 45\n"
                             "[VCPU_CLASS]\nCpuIdleLevel = 99\n"
                             "OverloadBound = 45\nVCPU = 2\n"));
    const std::string to_class2 = "  VCPU_class_1 => VCPU_class_2";
    ASSERT_TRUE(wait_for_text(
        log, "VM_id=miner bhyve_pid=" + std::to_string(host->vm_pid("miner")) + to_class2, 90, daemon.get()))
        << log_text();
    // newsyslog rotates the recording: a rename, then SIGUSR1.
    ASSERT_EQ(std::rename(record.c_str(), (record + ".0").c_str()), 0);
    daemon->signal(SIGUSR1);
    ASSERT_TRUE(wait_for_text(log, "' is opened again at the next tick", 20, daemon.get())) << log_text();
    demand("burst", "100");
    ASSERT_TRUE(wait_for_text(log, to_class2, 90, daemon.get(), 2)) << log_text();
    demand("burst", "5");
    ASSERT_TRUE(wait_for_text(log, "  VCPU_class_2 => VCPU_class_1", 90, daemon.get())) << log_text();
    ASSERT_TRUE(wait_ticks(4, 20));
    expect_unharmed();
    stop(*daemon);

    const ProgramResult replayed = replay({"--log"});
    ASSERT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_NE(replayed.err.find(" ticks replayed, 0 records skipped\n"), std::string::npos) << replayed.err;
    const std::vector<Event> recorded = events(log_text());
    ASSERT_GE(recorded.size(), 3u) << log_text();
    expect_same_events(recorded, events(replayed.out), replayed.out);

    // An OverloadBound the miner never reaches: it is not moved.
    const ProgramResult spared = replay({"--json", "--set", "VCPU_CLASS.OverloadBound=95"});
    ASSERT_EQ(spared.status, 0) << spared.err;
    const nlohmann::json summary = nlohmann::json::parse(spared.out);
    bool seen = false;
    for (const nlohmann::json& vm : summary["vms"])
        if (vm["name"] == "miner") {
            seen = true;
            EXPECT_EQ(vm["judged_miner"], 0) << vm;
            EXPECT_EQ(vm["moves"], 0) << vm;
        }
    EXPECT_TRUE(seen) << spared.out;
}

TEST_F(ReplayFidelityTest, ADaemonKilledAndStartedAgainLosesAtMostTheFlushIntervalOfItsRecording)
{
    ASSERT_NO_FATAL_FAILURE(
        start(host_args, "UpdateTime = 500\nAveragingTime = 10\nRecordFile = " + record +
                             "\n[RATE_LIMIT]\nMinCpuIdleLevel = 45\nMaxCpuIdleLevel = 50\n"
                             "RateLimitDelta = 10\n[VCPU_CLASS]\nCpuIdleLevel = 99\n"));
    // Past the first flush after the start's header.
    ASSERT_TRUE(wait_ticks(25, 30)) << log_text();
    const int killed = daemon->pid();
    daemon->signal(SIGKILL);
    ASSERT_EQ(daemon->wait(10), 128 + SIGKILL);
    daemon = start_serving({"-c", dir.file("halvorn.config")});
    // Well within the minute of the successor's first gzip member.
    ASSERT_TRUE(wait_ticks(20, 30)) << log_text();
    const int successor = daemon->pid();
    stop(*daemon);

    const ProgramResult replayed = replay({"--log"}, {record});
    ASSERT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_NE(replayed.err.find("compressed data cut short where the next gzip member begins"),
              std::string::npos)
        << replayed.err;
    EXPECT_NE(replayed.err.find(" ticks replayed, 1 records skipped\n"), std::string::npos) << replayed.err;
    // The killed daemon's ticks up to its last flush, 10 s (20 ticks) at most
    // before the kill; every tick of its successor, from its start on.
    const int killed_ticks = count_of(lines_of(log_text(), killed), tick_line);
    const int killed_replayed = count_of(lines_of(replayed.out, killed), tick_line);
    EXPECT_LE(killed_replayed, killed_ticks);
    EXPECT_GE(killed_replayed, killed_ticks - 21) << replayed.out;
    const std::string successor_log = lines_of(log_text(), successor);
    const std::string successor_replayed = lines_of(replayed.out, successor);
    EXPECT_EQ(count_of(successor_replayed, tick_line), count_of(successor_log, tick_line)) << replayed.out;
    expect_same_events(events(successor_log), events(successor_replayed), successor_replayed);
}
