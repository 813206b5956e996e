// The daemon against a simulated hypervisor that fails: injected libvmmapi
// failures, a broken rate-limit knob, a VM killed under the daemon's feet.
// Through all of it the daemon keeps running and logs no error.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "e2e_sim_fixture.h"

namespace {

using namespace std::chrono_literals;

// Ticks of half a second; a judgement needs twice the burst length of 1 s.
// The class-1 limit of 5 throttles a miner for 95 % of the time, so its load
// hardly depends on how much CPU the loaded test machine grants it, and two
// equal miners are judged at the same tick.
const std::string judging_config = "UpdateTime = 500\nAveragingTime = 10\n"
                                   "[RATE_LIMIT]\nMinCpuIdleLevel = 5\nMaxCpuIdleLevel = 95\n"
                                   "[VCPU_CLASS]\nCpuIdleLevel = 99\nOverloadBound = 50\nVCPU = 2\n";
// A miner, its twin that no fault touches, and a calm VM that is throttled a
// little (so a misread throttle counter could make it look saturated).
const std::vector<std::string> judging_host{"--vm",      "miner:2:100",    "--vm", "twin:2:100",   "--vm",
                                            "calm:2:15", "--class1-limit", "5",    "--burst-secs", "1"};

struct FaultTest : SimulatedHostTest {
    // Both miners are judged; the faulty one starts its countdown at most
    // `allowed` ticks later. The countdown itself runs on the clock, so tick
    // jitter may add one more tick to the judgement.
    void expect_miner_judged_within(int allowed)
    {
        ASSERT_TRUE(wait_for_text(log, "VM_id=twin ", 90, daemon.get())) << log_text();
        ASSERT_TRUE(wait_for_text(log, "defined as MINER", 90, daemon.get(), 2)) << log_text();
        for (const auto& [text, slack] : {std::pair{"expected as MINER", 0}, {"defined as MINER", 1}}) {
            const int twin = tick_of("twin", text);
            const int miner = tick_of("miner", text);
            ASSERT_GE(twin, 0) << text << log_text();
            ASSERT_GE(miner, 0) << text << log_text();
            EXPECT_LE(miner, twin + allowed + slack) << text << log_text();
        }
    }

    // Throttle counters unreadable at `rate` of the calls of `operation`.
    void expect_unknown_throttle_harmless(const std::string& operation, const std::string& rate)
    {
        ASSERT_NO_FATAL_FAILURE(start(judging_host, judging_config));
        fault("miner", operation, rate);
        fault("calm", operation, rate);
        ASSERT_TRUE(wait_for_text(log, "defined as MINER", 90, daemon.get(), 2)) << log_text();
        const int failures = injected("miner", operation);
        EXPECT_GT(failures, 0);
        expect_miner_judged_within(failures);
        // Long enough for every vCPU of the calm VM to have failed many reads.
        ASSERT_TRUE(wait_ticks(20, 60));
        EXPECT_GE(injected("calm", operation), 10);
        EXPECT_EQ(tick_of("calm", "defined as MINER"), -1) << log_text();
        EXPECT_EQ(tick_of("miner", "defined as NORMAL"), -1) << log_text();
        expect_unharmed();
        stop(*daemon);
    }
};

TEST_F(FaultTest, AStatsReadFailingOnceNeitherMisjudgesNorDelays)
{
    ASSERT_NO_FATAL_FAILURE(start(judging_host, judging_config));
    fault("miner", "stats", "once");
    fault("calm", "stats", "once");
    expect_miner_judged_within(1);
    EXPECT_EQ(injected("miner", "stats"), 1);
    EXPECT_EQ(injected("calm", "stats"), 1);
    ASSERT_TRUE(wait_ticks(6, 30));
    EXPECT_EQ(tick_of("calm", "defined as MINER"), -1) << log_text();
    expect_unharmed();
    stop(*daemon);
}

TEST_F(FaultTest, StatsFailingAtThirtyPercentNeitherMisjudgesNorDelaysMoreThanOneTickPerFailure)
{
    expect_unknown_throttle_harmless("stats", "30%");
}

// The throttle counter's search takes four description calls, so 10 % here
// spoils about as many reads as 30 % of statistics calls.
TEST_F(FaultTest, CounterDescriptionsFailingAtTenPercentNeitherMisjudgeNorDelay)
{
    expect_unknown_throttle_harmless("stat_desc", "10%");
}

TEST_F(FaultTest, ARefusedClassChangeIsWarnedKeptAndRetriedUntilItHappens)
{
    ASSERT_NO_FATAL_FAILURE(start(judging_host, judging_config));
    fault("miner", "set_class", "on");
    ASSERT_TRUE(wait_for_text(log, "defined as MINER", 90, daemon.get())) << log_text();
    ASSERT_TRUE(wait_for_text(log, "vmmapi::vm_set_vcpu_class() error", 30, daemon.get(), 3)) << log_text();
    EXPECT_GE(injected("miner", "set_class"), 3);
    EXPECT_EQ(simtest::run_tool({"class", "miner"}).output, "1\n");
    EXPECT_EQ(tick_of("miner", "VCPU_class_1 => VCPU_class_2"), -1);

    fault("miner", "set_class", "off");
    ASSERT_TRUE(wait_for_text(log, "VM_id=miner bhyve_pid=", 30, daemon.get()));
    const std::string moved =
        "VM_id=miner bhyve_pid=" + std::to_string(host->vm_pid("miner")) + "  VCPU_class_1 => VCPU_class_2";
    ASSERT_TRUE(wait_for_text(log, moved, 30, daemon.get())) << log_text();
    EXPECT_EQ(simtest::run_tool({"class", "miner"}).output, "2\n");
    EXPECT_EQ(tick_of("miner", "defined as NORMAL"), -1) << "the judgement stayed";
    const std::string text = log_text();
    EXPECT_EQ(count_of(text, "defined as MINER"), 2) << "judged once each, never again" << text;
    expect_unharmed();
    stop(*daemon);
}

TEST_F(FaultTest, AVmThatFailsToOpenIsDroppedAndFoundAgainAtTheNextRefresh)
{
    // The registry is refreshed every minute; this case waits for one.
    ASSERT_NO_FATAL_FAILURE(start({"--vm", "web01:2:10", "--vm", "db:2:10"},
                                  "UpdateTime = 200\nUpdateVMList = 1\n[VCPU_CLASS]\nVCPU = 2\n"));
    ASSERT_EQ(client({"track", "web01"}).status, 0);
    const std::string tracked = "Track VM id=web01 ";
    ASSERT_TRUE(wait_for_text(log, tracked, 30, daemon.get(), 2)) << log_text();

    fault("web01", "open", "once");
    wait_until([] { return injected("web01", "open") >= 1; }, 30, daemon.get());
    ASSERT_EQ(injected("web01", "open"), 1);
    const std::string before = log_text();
    const int refreshes = count_of(before, "Update VM list");

    ASSERT_TRUE(wait_for_text(log, "Update VM list", 90, daemon.get(), refreshes + 1)) << log_text();
    ASSERT_TRUE(wait_ticks(3, 30));
    const std::string after = log_text().substr(before.size());
    const size_t refresh = after.find("Update VM list");
    ASSERT_NE(refresh, std::string::npos);
    EXPECT_EQ(after.substr(0, refresh).find(tracked), std::string::npos)
        << "no evaluation without a record: " << after;
    EXPECT_NE(after.find(tracked, refresh), std::string::npos) << "found again: " << after;
    expect_unharmed();
    stop(*daemon);
}

TEST_F(FaultTest, RegulationPausesWhileTheKnobIsGarbageOrMissingAndResumes)
{
    // Idle levels the host is always below, so the regulator lowers the
    // class-1 limit whenever it can read it. The idle VM, large enough to be
    // judged, is evaluated (and so logged while tracked) in every tick, with
    // a knob or without.
    ASSERT_NO_FATAL_FAILURE(start({"--vm", "burner:2:100", "--vm", "watch:4:0"},
                                  "UpdateTime = 200\nAveragingTime = 10\n"
                                  "[RATE_LIMIT]\nMinCpuIdleLevel = 90\nMaxCpuIdleLevel = 95\n"));
    const std::string knob = "/var/run/vmmsim/sysctl/hw.vmm.vcpu_limit.class.1.rate_limit";
    const std::string lowered = "has been decreased by";
    ASSERT_TRUE(wait_for_text(log, lowered, 30, daemon.get())) << log_text();
    ASSERT_EQ(client({"track", "watch"}).status, 0);
    const std::string tracked = "Track VM id=watch ";

    // Garbage, then no knob at all: the daemon neither regulates nor
    // touches the file.
    for (const bool garbage : {true, false}) {
        if (garbage)
            std::ofstream(knob) << "garbage\n";
        else
            ASSERT_EQ(unlink(knob.c_str()), 0);
        // A tick under way may still have read the old value: from its end on,
        // every tick has read the new one.
        ASSERT_TRUE(wait_for_text(log, tracked, 30, daemon.get(), count_of(log_text(), tracked) + 1));
        const std::string before = log_text();
        ASSERT_TRUE(wait_for_text(log, tracked, 30, daemon.get(), count_of(before, tracked) + 10))
            << log_text();
        const std::string during = log_text().substr(before.size());
        EXPECT_EQ(count_of(during, tick_line), 0) << during;
        EXPECT_EQ(count_of(during, lowered), 0) << during;
        if (garbage)
            EXPECT_EQ(read_text(knob), "garbage\n");
        else
            EXPECT_FALSE(exists(knob));
        EXPECT_TRUE(daemon->running());
    }

    ASSERT_EQ(simtest::run_tool({"knob", "hw.vmm.vcpu_limit.class.1.rate_limit", "100"}).status, 0);
    const int lowered_before = count_of(log_text(), lowered);
    ASSERT_TRUE(wait_for_text(log, lowered, 30, daemon.get(), lowered_before + 1)) << log_text();
    EXPECT_NE(log_text().find("VCPU_rate_limit=95; has been decreased by"), std::string::npos);
    expect_unharmed();
    stop(*daemon);
}

TEST_F(FaultTest, VmsKilledWithSigkillDuringTicksAreDroppedQuietly)
{
    std::vector<std::string> args;
    for (int i = 0; i < 8; ++i)
        for (const std::string& word : {std::string("--vm"), "vm" + std::to_string(i) + ":2:30"})
            args.push_back(word);
    args.insert(args.end(), {"--vm", "survivor:2:30"});
    ASSERT_NO_FATAL_FAILURE(start(args, "UpdateTime = 300\n[VCPU_CLASS]\nVCPU = 2\n"));
    ASSERT_EQ(client({"track", "survivor"}).status, 0);
    ASSERT_TRUE(wait_ticks(3, 30));

    // Each kill lands a little later after a tick began, so some fall inside
    // the evaluations.
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(wait_ticks(1, 30)) << log_text();
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 15));
        ASSERT_EQ(kill(host->vm_pid("vm" + std::to_string(i)), SIGKILL), 0);
    }
    const int tracked = count_of(log_text(), "Track VM id=survivor ");
    ASSERT_TRUE(wait_ticks(5, 30));
    EXPECT_GE(count_of(log_text(), "Track VM id=survivor "), tracked + 4) << log_text();
    expect_unharmed();
    stop(*daemon);
}

}  // namespace
