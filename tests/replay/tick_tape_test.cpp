// The tape a large recording's replays read again: every row comes back as
// it went in, whatever the ticks between them changed.
#include "replay/tick_tape.h"

#include <cstdlib>
#include <limits>
#include <tuple>

#include <gtest/gtest.h>

namespace {

auto fields(const TickRow& t)
{
    return std::tuple(t.seq, t.clock_ns, t.wall_ns, t.header, t.host_open, t.error, t.cpu_read, t.cpu.user,
                      t.cpu.nice, t.cpu.sys, t.cpu.intr, t.cpu.idle, t.cpu.valid, t.class1.read, t.class1.ok,
                      t.class1.value, t.class2.read, t.class2.ok, t.class2.value, t.burst.read, t.burst.ok,
                      t.burst.value, t.class1_written, t.class1_write, t.class2_written, t.class2_write,
                      t.rebuilt, t.process_count, t.vm_count);
}
auto fields(const VmRow& v)
{
    return std::tuple(v.pid, v.group, v.name, v.outcome, v.threads_read, v.cls, v.set_to, v.set_result,
                      v.vcpu_count);
}
auto fields(const VcpuRow& v) { return std::tuple(v.number, v.throttle, v.run_us, v.throttle_us); }
auto fields(const ProcessRow& p) { return std::tuple(p.group, p.pid, p.name); }

// Appends a tick of `vms`, each with its vCPUs, and `processes`.
void add_tick(Recording& r, TickRow tick, const std::vector<std::pair<VmRow, std::vector<VcpuRow>>>& vms,
              const std::vector<ProcessRow>& processes = {})
{
    tick.first_vm = static_cast<uint32_t>(r.vms.size());
    tick.first_vcpu = static_cast<uint32_t>(r.vcpus.size());
    tick.first_process = static_cast<uint32_t>(r.processes.size());
    tick.vm_count = static_cast<uint32_t>(vms.size());
    tick.process_count = static_cast<uint32_t>(processes.size());
    for (auto [vm, vcpus] : vms) {
        vm.first_vcpu = static_cast<uint32_t>(r.vcpus.size());
        vm.vcpu_count = static_cast<uint32_t>(vcpus.size());
        r.vms.push_back(vm);
        r.vcpus.insert(r.vcpus.end(), vcpus.begin(), vcpus.end());
    }
    r.processes.insert(r.processes.end(), processes.begin(), processes.end());
    r.ticks.push_back(tick);
}

TEST(TickTapeTest, EveryRowComesBackAsItWentIn)
{
    Recording r;
    r.headers.resize(2);
    r.headers[1].settings = "[VCPU_CLASS]\n";
    const uint32_t a = r.intern("vm-a");
    const uint32_t b = r.intern("vm-b");
    const uint32_t gone = r.intern("no /dev/vmm");
    constexpr uint64_t top = std::numeric_limits<uint64_t>::max();

    TickRow first;
    first.seq = 1;
    first.clock_ns = 5'000'000'000;
    first.wall_ns = 1'700'000'000'000'000'000;
    first.cpu_read = true;
    first.cpu = {top - 5, 1, 2, 3, top, true};
    first.class1 = {true, true, 100};
    first.class2 = {true, false, 0};
    first.rebuilt = true;
    VmRow vm_a{101, 100, a, VmOutcome::opened, true, 1, 2, 0, 0, 0};
    VmRow vm_b{201, -1, b, VmOutcome::unopenable, false, -1, 0, 0, 0, 0};
    add_tick(r, first,
             {{vm_a, {{0, ThrottleRead::known, top - 10, 7}, {1, ThrottleRead::not_read, 3, 0}}}, {vm_b, {}}},
             {{100, 101, a}, {200, 201, b}});

    // Counters wrap and step back, a VM boots again with more vCPUs, the
    // list changes order and another header comes in.
    TickRow second = first;
    second.seq = 2;
    second.clock_ns += 1'000'000'000;
    second.header = 1;
    second.cpu = {4, 1, 2, 3, 10, true};
    second.class1 = {true, true, 30};
    second.class1_written = true;
    second.class1_write = 35;
    second.rebuilt = false;
    vm_a.cls = 2;
    vm_a.set_to = 0;
    vm_a.set_result = -7;
    add_tick(r, second,
             {{vm_b, {}},
              {vm_a,
               {{0, ThrottleRead::known, 20, 2},
                {1, ThrottleRead::unknown, 1, 0},
                {2, ThrottleRead::known, top, top}}}});

    // A restarted host's clock, with no kernel reader.
    TickRow third;
    third.seq = 1;
    third.clock_ns = 1;
    third.host_open = false;
    third.error = gone;
    add_tick(r, third, {});
    add_tick(r, second, {{vm_a, {{0, ThrottleRead::known, 20'000'000, 1'000}}}});

    TickTape tape;
    std::string error;
    ASSERT_TRUE(tape.open(error)) << error;
    for (size_t i = 0; i < r.ticks.size(); ++i)
        ASSERT_TRUE(tape.append(r, i, error)) << error;
    ASSERT_TRUE(tape.finish(r, error)) << error;

    // Played twice, as replays do, the second over the rows of the first.
    Recording played;
    for (int round = 0; round < 2; ++round) {
        size_t taken = 0;
        ASSERT_TRUE(tape.play(
            played,
            [&](size_t index) {
                ASSERT_EQ(index, taken);
                const TickRow& got = played.ticks[index];
                const TickRow& want = r.ticks[taken++];
                EXPECT_EQ(fields(got), fields(want)) << "tick " << index;
                ASSERT_EQ(played.vms_of(got).size(), r.vms_of(want).size());
                for (size_t v = 0; v < got.vm_count; ++v) {
                    const VmRow& vm = played.vms_of(got)[v];
                    EXPECT_EQ(fields(vm), fields(r.vms_of(want)[v]));
                    const auto vcpus = played.vcpus_of(vm);
                    for (size_t c = 0; c < vcpus.size(); ++c)
                        EXPECT_EQ(fields(vcpus[c]), fields(r.vcpus_of(r.vms_of(want)[v])[c]));
                }
                for (size_t p = 0; p < got.process_count; ++p)
                    EXPECT_EQ(fields(played.processes_of(got)[p]), fields(r.processes_of(want)[p]));
                EXPECT_EQ(played.text(got.error), r.text(want.error));
            },
            error))
            << error;
        EXPECT_EQ(taken, r.ticks.size());
        EXPECT_EQ(played.headers.size(), 2u);
        EXPECT_EQ(played.headers[1].settings, r.headers[1].settings);
        EXPECT_EQ(played.text(b), "vm-b");
    }
}

}  // namespace
