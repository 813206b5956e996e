// CSV samples made into the ticks of a recorded dry run: samples held until
// the next, the host's idle what the VMs leave, VMs living from their first
// sample to their last; and the controller judging what they show.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay/replay_run.h"
#include "replay/sample_import.h"
#include "startup/configuration.h"

namespace {

constexpr int64_t second = 1'000'000'000;
constexpr int64_t may_day = 1714564800;

struct Imported {
    Recording recording;
    std::vector<std::string> messages;
    uint64_t made = 0;
};

// `rows` after the header, times in seconds after may_day.
void import(Imported& into, const std::vector<std::string>& rows, int cpus, const std::string& config = "")
{
    std::string text = "time,vm,vcpus,cpu_percent\n";
    for (const std::string& row : rows) {
        const size_t comma = row.find(',');
        text += std::to_string(may_day + std::stoll(row.substr(0, comma))) + row.substr(comma) + "\n";
    }
    const SampleImport samples({{"h.csv", text}}, cpus, config,
                               [&into](const std::string& message) { into.messages.push_back(message); });
    into.made = samples.feed(into.recording, {});
}

// A vCPU's run time at tick `n`, of the VM at `index` in it.
uint64_t run_at(const Recording& rec, size_t n, size_t index, size_t vcpu = 0)
{
    return rec.vcpus_of(rec.vms_of(rec.ticks.at(n))[index])[vcpu].run_us;
}

double idle_share_at(const Recording& rec, size_t n)
{
    const CpuTimes& now = rec.ticks.at(n).cpu;
    const CpuTimes& then = rec.ticks.at(n - 1).cpu;
    return 100.0 * static_cast<double>(now.idle - then.idle) /
           static_cast<double>(now.user + now.idle - then.user - then.idle);
}

}  // namespace

TEST(SampleImport, HeldSamplesBecomeRunTimeAndTheHostsIdleIsWhatTheVmsLeave)
{
    Imported h;
    import(h, {"0,a,2,100", "0,b,1,100", "4,a,2,0", "6,b,1,50", "10,a,2,200"}, 2);
    EXPECT_TRUE(h.messages.empty());
    const Recording& rec = h.recording;
    ASSERT_EQ(h.made, 11u);  // a tick a second, the default UpdateTime
    ASSERT_EQ(rec.headers.size(), 1u);
    EXPECT_EQ(rec.headers[0].cpus, 2);
    Settings recorded;
    std::string error;
    ASSERT_TRUE(read_configuration_text(recorded, rec.headers[0].settings, error)) << error;
    EXPECT_TRUE(recorded.dry_run);

    const TickRow& first = rec.ticks[0];
    EXPECT_EQ(first.wall_ns, may_day * second);
    EXPECT_TRUE(first.rebuilt);
    ASSERT_EQ(first.vm_count, 2u);
    EXPECT_EQ(rec.text(rec.vms_of(first)[1].name), "b");
    EXPECT_EQ(first.class1.value, 100);
    EXPECT_EQ(first.class2.value, imported_class2_limit);
    EXPECT_EQ(first.burst.value, imported_burst_secs);

    // a's 100 % spread over two vCPUs, held to its next sample; b's held.
    EXPECT_EQ(run_at(rec, 4, 0, 1), 2'000'000u);
    EXPECT_EQ(run_at(rec, 5, 0), 2'000'000u);
    EXPECT_EQ(run_at(rec, 5, 1), 5'000'000u);
    EXPECT_EQ(rec.vcpus_of(rec.vms_of(rec.ticks[5])[1])[0].throttle, ThrottleRead::known);
    EXPECT_EQ(rec.vcpus_of(rec.vms_of(rec.ticks[5])[1])[0].throttle_us, 0u);
    EXPECT_DOUBLE_EQ(idle_share_at(rec, 1), 0.0);
    EXPECT_DOUBLE_EQ(idle_share_at(rec, 5), 50.0);
    // b's last sample, at 6 s, holds no longer: it lives to that tick.
    EXPECT_EQ(rec.ticks[6].vm_count, 2u);
    EXPECT_FALSE(rec.ticks[6].rebuilt);
    EXPECT_EQ(run_at(rec, 6, 1), 6'000'000u);
    EXPECT_TRUE(rec.ticks[7].rebuilt);
    ASSERT_EQ(rec.ticks[7].vm_count, 1u);
    EXPECT_DOUBLE_EQ(idle_share_at(rec, 7), 100.0);
    EXPECT_EQ(run_at(rec, 10, 0), 2'000'000u);
    EXPECT_EQ(rec.ticks[10].clock_ns - rec.ticks[9].clock_ns, second);
}

TEST(SampleImport, OtherVcpusAreANewBootAndALongGapIsNotFilled)
{
    Imported h;
    // UpdateTime from CONFIG: a tick every 2 s.
    import(h, {"0,x,2,100", "4,x,4,400", "6,y,1,100", "6,x,4,400", "90006,x,4,400", "90010,y,1,100"}, 4,
           "[COMMON]\nUpdateTime = 2000\n");
    const Recording& rec = h.recording;
    ASSERT_EQ(h.made, 7u);  // 0, 2, 4, 6 s; then after the gap 90006, 90008, 90010 s
    const int32_t first_pid = rec.vms_of(rec.ticks[0])[0].pid;
    EXPECT_TRUE(rec.ticks[2].rebuilt);
    ASSERT_EQ(rec.ticks[2].vm_count, 1u);
    EXPECT_NE(rec.vms_of(rec.ticks[2])[0].pid, first_pid);
    EXPECT_EQ(rec.vms_of(rec.ticks[2])[0].vcpu_count, 4u);
    EXPECT_EQ(run_at(rec, 2, 0), 0u);  // counted afresh
    EXPECT_EQ(run_at(rec, 3, 0), 2'000'000u);

    // A day without samples is a restart, not 45,000 held ticks.
    ASSERT_EQ(rec.headers.size(), 2u);
    EXPECT_EQ(rec.headers[1].reason, HeaderReason::start);
    EXPECT_EQ(rec.ticks[4].header, 1u);
    EXPECT_EQ(rec.ticks[4].wall_ns, (may_day + 90006) * second);
    // Nothing ran over the gap.
    EXPECT_EQ(run_at(rec, 4, 0), 2'000'000u);
    EXPECT_EQ(run_at(rec, 4, 1), 0u);
    // x's last sample holds no longer; y's held from the end of the gap.
    EXPECT_TRUE(rec.ticks[5].rebuilt);
    ASSERT_EQ(rec.ticks[5].vm_count, 1u);
    EXPECT_EQ(run_at(rec, 6, 0), 4'000'000u);
}

TEST(SampleImport, AVmFlatOutOnABusyHostIsJudgedMinerAndMoved)
{
    // Four CPUs: the miner takes all of its two vCPUs, the others the rest
    // but for 5 %; after 15 minutes the miner stops, and the host has room.
    Imported h;
    import(h,
           {"0,miner,2,200", "0,web,2,170", "900,miner,2,0", "900,web,2,170", "1800,miner,2,0",
            "1800,web,2,170"},
           4, "[VCPU_CLASS]\nVCPU = 2\n");
    ASSERT_EQ(h.made, 1801u);
    const RunSummary summary = replay(h.recording, ReplaySettings{}, Combination{});
    ASSERT_EQ(summary.vms.size(), 2u);
    EXPECT_EQ(summary.vms[0].name, "miner");
    EXPECT_EQ(summary.vms[0].judged_miner, 1u);
    EXPECT_EQ(summary.vms[0].moves, 2u);  // to class 2, and back once it calmed down
    EXPECT_GT(summary.vms[0].class2_ns, 600 * second);
    EXPECT_EQ(summary.vms[1].judged_miner, 0u);
    EXPECT_EQ(summary.vms[1].moves, 0u);
    // Busy until the miner moved, when class 2's 25 % freed 75 % of its CPUs.
    EXPECT_GT(summary.below_min_idle_ns, 60 * second);
    EXPECT_LT(summary.below_min_idle_ns, 300 * second);
}

TEST(SampleImport, VmsUsingMoreThanTheHostsCpusAreToldOnceAndTheHostTakenAsBusy)
{
    Imported h;
    import(h, {"0,a,2,200", "0,b,1,50", "5,b,1,0", "8,a,2,200", "8,b,1,100"}, 2);
    ASSERT_EQ(h.messages.size(), 1u);
    EXPECT_EQ(h.messages[0],
              "h.csv:2: the VMs' samples add up to 250% of one CPU here, more than the 2 CPUs of "
              "--host-cpus give; the host is taken as fully busy at 2 sample times like this one "
              "(is --host-cpus too low?)");
    ASSERT_EQ(h.made, 9u);
    EXPECT_DOUBLE_EQ(idle_share_at(h.recording, 1), 0.0);
}
