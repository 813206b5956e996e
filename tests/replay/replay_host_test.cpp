// The replay host's model: what vCPUs and the host get under limits and
// classes other than the recorded ones, and what of the recording it follows;
// and how the recording host and the replay host file each VM's calls.
#include <gtest/gtest.h>

#include "controller/vm_handle.h"
#include "fake_host.h"
#include "recording/recording_host.h"
#include "recording_builder.h"
#include "replay/replay_host.h"

namespace {

constexpr int64_t second = 1'000'000'000;

// A host of 4 CPUs whose cp_time counts 100 ticks a second on each.
struct ReplayHostTest : ::testing::Test {
    Recording rec;

    ReplayHostTest()
    {
        HeaderRow header;
        header.cpus = 4;
        rec.headers.push_back(header);
    }

    TickRow& tick(int n, const std::vector<Vm>& vms, uint64_t idle_so_far)
    {
        TickRow& row = add_tick(rec, static_cast<uint64_t>(n), (10 + n) * second, vms,
                                cpu(400 * static_cast<uint64_t>(n) - idle_so_far, idle_so_far), n == 0);
        row.class1 = {true, true, 100};
        row.class2 = {true, true, 25};
        return row;
    }

    // vCPU 0's run time; VMs here run as pid group + 1.
    static uint64_t run_of(const ReplayHost& host, int group)
    {
        const NumberedVcpus threads = host.vcpu_threads(group, group + 1);
        EXPECT_FALSE(threads.empty());
        return threads.empty() ? 0 : threads[0].runtime_us;
    }
};

}  // namespace

TEST_F(ReplayHostTest, OtherLimitsGiveRunTimeThrottleAndIdleByTheModel)
{
    // a: class 2 at 25 %, wants all of a CPU. b: class 1 at 100 %, runs 80 %.
    tick(0,
         {{1, 0, "a", VmOutcome::opened, 2, true, {{0, 0, ThrottleRead::known, 0}}},
          {3, 2, "b", VmOutcome::opened, 1, true, {{0, 0, ThrottleRead::known, 0}}}},
         0);
    tick(1,
         {{1, 0, "a", VmOutcome::opened, 2, true, {{0, 250'000, ThrottleRead::known, 750'000}}},
          {3, 2, "b", VmOutcome::opened, 1, true, {{0, 800'000, ThrottleRead::known, 0}}}},
         100);
    tick(2,
         {{1, 0, "a", VmOutcome::opened, 2, true, {{0, 500'000, ThrottleRead::known, 1'500'000}}},
          {3, 2, "b", VmOutcome::opened, 1, true, {{0, 1'600'000, ThrottleRead::known, 0}}}},
         110);

    ReplayHost host(rec);
    host.begin_tick(0);
    // The replayed controller keeps a in class 1 and moves b to class 2.
    ASSERT_TRUE(host.process_exists(1));
    EXPECT_EQ(host.open_vm(1, "a")->set_class(1), set_class_done);
    ASSERT_TRUE(host.process_exists(3));
    EXPECT_EQ(host.open_vm(3, "b")->set_class(2), set_class_done);
    EXPECT_EQ(host.moves().size(), 2u);

    host.begin_tick(1);
    ASSERT_TRUE(host.process_exists(1));
    // A higher limit: a also gets what was held back, up to 75 % of the second.
    EXPECT_EQ(run_of(host, 0), 1'000'000u);
    EXPECT_EQ(host.open_vm(1, "a")->throttle_us(0), 0u);
    ASSERT_TRUE(host.process_exists(3));
    // A lower one: b runs 25 %, the rest is throttle.
    EXPECT_EQ(run_of(host, 2), 250'000u);
    EXPECT_EQ(host.open_vm(3, "b")->throttle_us(0), 550'000u);
    // 0.75 CPU-seconds more and 0.55 less: 20 of the 400 ticks no longer idle.
    const CpuTimes first = host.cpu_times();
    EXPECT_EQ(first.idle, 80u);
    EXPECT_DOUBLE_EQ(*host.idle_share(), 20.0);
    EXPECT_EQ(host.class_in_force(1), 1);
    EXPECT_EQ(host.class_in_force(3), 2);

    // The recorded second had 10 idle ticks: 20 more busy ones leave none.
    host.begin_tick(2);
    const CpuTimes second_sample = host.cpu_times();
    EXPECT_EQ(second_sample.idle - first.idle, 0u);
    EXPECT_EQ((second_sample.user + second_sample.sys) - (first.user + first.sys), 400u);
    EXPECT_DOUBLE_EQ(*host.idle_share(), 0.0);
}

TEST_F(ReplayHostTest, OnASaturatedHostFreedCpuGoesToTheWaitingVcpusAndTheBaselineMovesNobody)
{
    // m runs a whole CPU in class 1; w ran 90 % while the host had room and
    // 60 % once it had none; h is held at 25 % in class 2.
    const auto vms = [](uint64_t m, uint64_t w, uint64_t h) {
        return std::vector<Vm>{{1, 0, "m", VmOutcome::opened, 1, true, {{0, m, ThrottleRead::known, 0}}},
                               {3, 2, "w", VmOutcome::opened, 1, true, {{0, w, ThrottleRead::known, 0}}},
                               {5, 4, "h", VmOutcome::opened, 2, true, {{0, h, ThrottleRead::known, 3 * h}}}};
    };
    tick(0, vms(0, 0, 0), 0);
    tick(1, vms(1'000'000, 900'000, 250'000), 100);
    tick(2, vms(2'000'000, 1'500'000, 500'000), 100);  // no idle CPU

    ReplayHost host(rec);
    host.begin_tick(0);
    ASSERT_TRUE(host.process_exists(1));
    EXPECT_EQ(host.open_vm(1, "m")->set_class(2), set_class_done);
    host.begin_tick(1);
    EXPECT_FALSE(host.wants_estimated());
    host.begin_tick(2);
    // m at 25 % frees 0.75 CPU-seconds: w, which waited, takes the 0.3 it
    // wanted with room; only the rest is idle.
    EXPECT_TRUE(host.wants_estimated());
    EXPECT_EQ(run_of(host, 2), 1'800'000u);
    EXPECT_DOUBLE_EQ(*host.idle_share(), 11.25);
    ASSERT_EQ(host.costs().size(), 3u);
    EXPECT_EQ(host.costs()[0].cls, 2);
    EXPECT_DOUBLE_EQ(host.costs()[0].wanted_us, 1'000'000.0);
    EXPECT_DOUBLE_EQ(host.costs()[0].held_us, 750'000.0);
    EXPECT_DOUBLE_EQ(host.costs()[2].held_us, 750'000.0);  // h, as recorded

    // Without halvorn: the class-1 limit at 100 % and h in class 1, running
    // what it was held back from the idle CPU there was, and none when the
    // host had none.
    ReplayHost without(rec, ReplayMode{.without_halvorn = true});
    without.begin_tick(0);
    without.begin_tick(1);
    EXPECT_EQ(without.read_int_knob(Knob::class1_rate_limit).value, 100);
    EXPECT_EQ(without.class_in_force(5), 1);
    EXPECT_DOUBLE_EQ(*without.idle_share(), 6.25);
    without.begin_tick(2);
    EXPECT_DOUBLE_EQ(*without.idle_share(), 0.0);
    ASSERT_EQ(without.costs().size(), 3u);
    EXPECT_DOUBLE_EQ(without.costs()[2].held_us, 0.0);
}

TEST_F(ReplayHostTest, FollowsWhatTheRecordedDaemonDidNotDo)
{
    Vm c{5, 4, "c", VmOutcome::opened, 1, true, {{0, 0}}};
    Vm d{7, 6, "d", VmOutcome::opened, 1, true, {{0, 0}}};
    Vm e{9, 8, "e", VmOutcome::opened, 1, true, {{0, 0}}};
    Vm f{11, 10, "f", VmOutcome::opened, 1, true, {{0, 0}}};
    tick(0, {c, d, e, f}, 0);
    // The recorded daemon moves d, is refused moving e, lowers the limit and
    // raises the class-2 limit.
    d.set_to = 2;
    e.set_to = 2;
    e.set_result = set_class_refused;
    TickRow& one = tick(1, {c, d, e, f}, 100);
    one.class1_written = true;
    one.class1_write = 90;
    one.class2_written = true;
    one.class2_write = 30;
    // Then someone else puts c in class 3 and sets the limit to 60; d reads
    // class 2 as moved; f boots again with two vCPUs.
    c.cls = 3;
    d.set_to = 0;
    d.cls = 2;
    f.vcpus = {{0, 7}, {1, 9}};
    TickRow& two = tick(2, {c, d, e, f}, 200);
    two.class1 = {true, true, 60};
    two.class2 = {true, true, 30};
    // And the class-2 limit to 40.
    tick(3, {c, d, e, f}, 300).class2 = {true, true, 40};

    ReplayHost host(rec);
    host.begin_tick(0);
    host.begin_tick(1);
    ASSERT_TRUE(host.process_exists(9));
    EXPECT_EQ(host.open_vm(9, "e")->set_class(2), set_class_refused);
    host.write_int_knob(Knob::class1_rate_limit, 95, sizeof(int));
    EXPECT_EQ(host.read_int_knob(Knob::class1_rate_limit).value, 95);
    host.write_int_knob(Knob::class2_rate_limit, 20, sizeof(int));
    EXPECT_EQ(host.read_int_knob(Knob::class2_rate_limit).value, 20);
    ASSERT_EQ(host.class2_steps().size(), 1u);
    EXPECT_EQ(host.class2_steps()[0].from, 25);
    EXPECT_EQ(host.steps().size(), 1u);

    host.begin_tick(2);
    EXPECT_EQ(host.read_int_knob(Knob::class1_rate_limit).value, 60);
    // The recorded daemon's own class-2 step is not the replay's.
    EXPECT_EQ(host.read_int_knob(Knob::class2_rate_limit).value, 20);
    EXPECT_EQ(host.class2_limit(), 20);
    EXPECT_TRUE(host.class2_steps().empty());
    ASSERT_TRUE(host.process_exists(5));
    EXPECT_EQ(host.open_vm(5, "c")->get_class(), 3);
    ASSERT_TRUE(host.process_exists(7));
    EXPECT_EQ(host.open_vm(7, "d")->get_class(), 1);  // the replay did not move it
    ASSERT_TRUE(host.process_exists(9));
    EXPECT_EQ(host.open_vm(9, "e")->get_class(), 1);
    ASSERT_TRUE(host.process_exists(11));
    const NumberedVcpus threads = host.vcpu_threads(10, 11);
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[0].runtime_us, 7u);
    EXPECT_EQ(threads[1].number, 1);
    EXPECT_EQ(threads[1].runtime_us, 9u);
    EXPECT_FALSE(host.process_exists(13));
    host.begin_tick(3);
    EXPECT_EQ(host.read_int_knob(Knob::class2_rate_limit).value, 40);
}

TEST(HostWrappers, EachVmsCallsGoToItsOwnRowWhateverTheirOrder)
{
    FakeHost real;
    real.add_vm("a", 101, 100, 2, 1).throttle_us = {{0, 1000}, {1, 1100}};
    real.add_vm("b", 201, 200, 1, 2).throttle_us = {{0, 2000}};
    real.threads[100] = {{"vcpu 0", 10}, {"vcpu 1", 11}};
    real.threads[200] = {{"vcpu 0", 20}};
    Recording rec;
    rec.headers.emplace_back();
    {
        // Out of pid order, and interleaved.
        RecordingHost noting(real, rec);
        ASSERT_TRUE(noting.process_exists(201));
        ASSERT_TRUE(noting.process_exists(101));
        const std::unique_ptr<VmHandle> a = noting.open_vm(101, "a");
        const std::unique_ptr<VmHandle> b = noting.open_vm(201, "b");
        EXPECT_EQ(noting.vcpu_threads(200, 201).size(), 1u);
        EXPECT_EQ(a->get_class(), 1);
        EXPECT_EQ(noting.vcpu_threads(100, 101).size(), 2u);
        EXPECT_EQ(b->get_class(), 2);
        EXPECT_EQ(b->throttle_us(0), 2000u);
        EXPECT_EQ(a->throttle_us(1), 1100u);
        EXPECT_EQ(b->set_class(1), set_class_done);
    }
    ASSERT_EQ(rec.ticks.size(), 1u);
    ASSERT_EQ(rec.ticks[0].vm_count, 2u);
    size_t hint = 0;
    const VmRow& a = rec.vms[*rec.find_vm(rec.ticks[0], 101, hint)];
    const VmRow& b = rec.vms[*rec.find_vm(rec.ticks[0], 201, hint)];
    EXPECT_EQ(rec.text(a.name), "a");
    EXPECT_EQ(a.group, 100);
    EXPECT_EQ(a.cls, 1);
    EXPECT_EQ(a.set_to, 0);
    ASSERT_EQ(a.vcpu_count, 2u);
    EXPECT_EQ(rec.vcpus_of(a)[0].throttle, ThrottleRead::not_read);
    EXPECT_EQ(rec.vcpus_of(a)[1].run_us, 11u);
    EXPECT_EQ(rec.vcpus_of(a)[1].throttle_us, 1100u);
    EXPECT_EQ(rec.text(b.name), "b");
    EXPECT_EQ(b.group, 200);
    EXPECT_EQ(b.cls, 2);
    EXPECT_EQ(b.set_to, 1);
    ASSERT_EQ(b.vcpu_count, 1u);
    EXPECT_EQ(rec.vcpus_of(b)[0].run_us, 20u);
    EXPECT_EQ(rec.vcpus_of(b)[0].throttle_us, 2000u);

    // The replay answers each VM from its own row, in yet another order.
    ReplayHost replay(rec);
    replay.begin_tick(0);
    ASSERT_TRUE(replay.process_exists(101));
    ASSERT_TRUE(replay.process_exists(201));
    const std::unique_ptr<VmHandle> replayed_b = replay.open_vm(201, "b");
    const std::unique_ptr<VmHandle> replayed_a = replay.open_vm(101, "a");
    EXPECT_EQ(replay.vcpu_threads(100, 101).size(), 2u);
    EXPECT_EQ(replay.vcpu_threads(200, 201)[0].runtime_us, 20u);
    EXPECT_EQ(replayed_a->get_class(), 1);
    EXPECT_EQ(replayed_b->get_class(), 2);
    EXPECT_EQ(replayed_a->throttle_us(1), 1100u);
    EXPECT_EQ(replayed_b->throttle_us(0), 2000u);
    // libvmmapi opens by name: b's name under a's pid opens nothing.
    EXPECT_FALSE(replay.open_vm(101, "b")->is_open());
    EXPECT_FALSE(replay.process_exists(301));
}
