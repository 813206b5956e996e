// Records written and read back: every row of every kind of tick survives
// the text, as a keyframe and as differences from the tick before.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/record_format.h"
#include "recording/record_parse.h"
#include "recording/record_scan.h"
#include "recording_builder.h"

namespace {

void expect_same_tick(const Recording& a, const TickRow& x, const Recording& b, const TickRow& y)
{
    EXPECT_EQ(x.seq, y.seq);
    EXPECT_EQ(x.clock_ns, y.clock_ns);
    EXPECT_EQ(x.wall_ns, y.wall_ns);
    EXPECT_EQ(x.host_open, y.host_open);
    EXPECT_EQ(a.text(x.error), b.text(y.error));
    EXPECT_EQ(x.cpu_read, y.cpu_read);
    EXPECT_EQ(x.cpu.valid, y.cpu.valid);
    if (x.cpu.valid) {
        EXPECT_EQ(x.cpu.user, y.cpu.user);
        EXPECT_EQ(x.cpu.sys, y.cpu.sys);
        EXPECT_EQ(x.cpu.idle, y.cpu.idle);
    }
    for (auto knob : {&TickRow::class1, &TickRow::class2, &TickRow::burst}) {
        EXPECT_EQ((x.*knob).read, (y.*knob).read);
        EXPECT_EQ((x.*knob).ok, (y.*knob).ok);
        EXPECT_EQ((x.*knob).value, (y.*knob).value);
    }
    EXPECT_EQ(x.class1_written, y.class1_written);
    EXPECT_EQ(x.class1_write, y.class1_write);
    EXPECT_EQ(x.rebuilt, y.rebuilt);
    ASSERT_EQ(x.process_count, y.process_count);
    for (uint32_t i = 0; i < x.process_count; ++i) {
        const ProcessRow& p = a.processes_of(x)[i];
        const ProcessRow& q = b.processes_of(y)[i];
        EXPECT_EQ(p.group, q.group);
        EXPECT_EQ(p.pid, q.pid);
        EXPECT_EQ(a.text(p.name), b.text(q.name));
    }
    ASSERT_EQ(x.vm_count, y.vm_count);
    for (uint32_t i = 0; i < x.vm_count; ++i) {
        const VmRow& v = a.vms_of(x)[i];
        const VmRow& w = b.vms_of(y)[i];
        SCOPED_TRACE("VM " + std::to_string(v.pid) + " tick " + std::to_string(x.seq));
        EXPECT_EQ(v.pid, w.pid);
        EXPECT_EQ(v.group, w.group);
        EXPECT_EQ(a.text(v.name), b.text(w.name));
        EXPECT_EQ(v.outcome, w.outcome);
        EXPECT_EQ(v.cls, w.cls);
        EXPECT_EQ(v.set_to, w.set_to);
        EXPECT_EQ(v.set_result, w.set_result);
        EXPECT_EQ(v.threads_read, w.threads_read);
        ASSERT_EQ(v.vcpu_count, w.vcpu_count);
        for (uint32_t j = 0; j < v.vcpu_count; ++j) {
            const VcpuRow& c = a.vcpus_of(v)[j];
            const VcpuRow& d = b.vcpus_of(w)[j];
            EXPECT_EQ(c.number, d.number);
            EXPECT_EQ(c.run_us, d.run_us);
            EXPECT_EQ(c.throttle, d.throttle);
            EXPECT_EQ(c.throttle_us, d.throttle_us);
        }
    }
}

// Ticks of every kind, each after the one before.
Recording every_kind_of_tick()
{
    using enum ThrottleRead;
    const std::string odd_name = "web 01;50%,\xc3\xa9\n";
    Recording written;
    // A rebuild; a VM too small to have its throttle read; one whose
    // counters fail; an odd name.
    add_tick(
        written, 7, 5'000'000'000,
        {{101,
          100,
          "miner",
          VmOutcome::opened,
          1,
          true,
          {{0, 9'000'000, known, 1000}, {1, 8'000'000, known, 0}}},
         {201, 200, "small", VmOutcome::opened, 1, true, {{0, 500, not_read}}},
         {301, 300, odd_name, VmOutcome::opened, 2, true, {{0, 7000, unknown}, {1, 7100, known, 40'000}}}},
        cpu(1000, 500), true);
    // Differences; a move; a throttle read again after a failure; counters
    // that step back; a VM that gains a vCPU.
    add_tick(
        written, 8, 6'000'000'123,
        {{101,
          100,
          "miner",
          VmOutcome::opened,
          1,
          true,
          {{0, 9'900'000, known, 1500}, {1, 8'900'000, known, 0}},
          2,
          0},
         {201, 200, "small", VmOutcome::opened, 1, true, {{0, 400, not_read}, {1, 10, not_read}}},
         {301, 300, odd_name, VmOutcome::opened, 2, true, {{0, 7500, known, 50'000}, {1, 7000, unknown}}}},
        cpu(1100, 590));
    // Class unreadable, process gone, VM not openable, another class, a new
    // VM, cp_time invalid, a refused move.
    add_tick(written, 9, 7'000'000'000,
             {{101, 100, "miner", VmOutcome::opened, -1, false, {}},
              {201, 200, "small", VmOutcome::gone, -1, false, {}},
              {301, 300, odd_name, VmOutcome::unopenable, -1, false, {}},
              {401, 400, "new", VmOutcome::opened, 1, true, {{0, 1, known, 0}}, 2, -3},
              {501, 500, "service", VmOutcome::opened, 0, false, {}}},
             cpu(0, 0, false));
    // Counters again after an invalid cp_time; threads read but none found.
    add_tick(written, 10, 8'000'000'000, {{401, 400, "new", VmOutcome::opened, 1, true, {}}}, cpu(1300, 700));
    written.ticks[1].class1_written = true;
    written.ticks[1].class1_write = 80;

    return written;
}

HeaderRow a_header()
{
    HeaderRow header;
    header.format = record_format;
    header.version = "v 1";
    header.reason = HeaderReason::reload;
    header.cpus = 48;
    header.pid = 4242;
    header.update_time = 500;
    header.steady_ns = 4'000'000'000;
    header.wall_ns = 1'700'000'000'000'000'000;
    header.settings = "[COMMON]\nUpdateTime = 500\n";
    return header;
}

// The record of tick `i` of `written`, as a delta from the tick before.
std::string record_of(const Recording& written, size_t i)
{
    std::string text;
    const TickRow* base = i == 0 ? nullptr : &written.ticks[i - 1];
    append_tick(text, written, written.ticks[i], base ? &written : nullptr, base);
    return text;
}

}  // namespace

TEST(RecordFormat, EveryKindOfTickReadsBackAsWritten)
{
    const Recording written = every_kind_of_tick();
    Recording read;
    std::string text;
    const HeaderRow header = a_header();
    append_header(text, header);
    ASSERT_EQ(parse_record(text, read).kind, Parsed::header) << text;
    EXPECT_EQ(read.headers[0].version, "v 1");
    EXPECT_EQ(read.headers[0].settings, header.settings);
    EXPECT_EQ(read.headers[0].reason, HeaderReason::reload);
    EXPECT_EQ(read.headers[0].cpus, 48);
    EXPECT_EQ(read.headers[0].wall_ns, header.wall_ns);

    for (size_t i = 0; i < written.ticks.size(); ++i) {
        text = record_of(written, i);
        const ParseResult result = parse_record(text, read);
        ASSERT_EQ(result.kind, Parsed::tick) << result.why << "\n" << text;
        EXPECT_TRUE(result.unknown.empty()) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(text.rfind(i == 0 ? "K " : "T ", 0), 0u) << text;
        expect_same_tick(written, written.ticks[i], read, read.ticks.back());
    }
    // The same ticks as keyframes.
    for (const TickRow& tick : written.ticks) {
        text.clear();
        append_tick(text, written, tick, nullptr, nullptr);
        ASSERT_EQ(parse_record(text, read).kind, Parsed::tick) << text;
        expect_same_tick(written, tick, read, read.ticks.back());
    }
}

TEST(RecordFormat, ADeltaNeedsItsBaseAndABadFieldLeavesNothingBehind)
{
    Recording read;
    ASSERT_EQ(parse_record("H 1 settings=", read).kind, Parsed::header);
    ASSERT_EQ(parse_record("K 3 100 wall=5 C=1,0,1,0,8 7:6:a c1 T0:10/0", read).kind, Parsed::tick);
    // SEQ 5 does not follow 3.
    EXPECT_EQ(parse_record("T 5 100 c=1,0,1,0,8 7 c1 t10/0", read).kind, Parsed::no_base);
    // A VM that is not in the base needs its name.
    const ParseResult nameless = parse_record("T 4 100 c=1,0,1,0,8 8 c1", read);
    EXPECT_EQ(nameless.kind, Parsed::bad);
    EXPECT_EQ(nameless.why, "VM 8 has no name");
    const size_t vms = read.vms.size();
    const size_t vcpus = read.vcpus.size();
    EXPECT_EQ(parse_record("T 4 100 7 c1 t10/0,11/0", read).kind, Parsed::bad);  // one vCPU too many
    EXPECT_EQ(parse_record("T 4 100 7 c1 T0:1x/0", read).kind, Parsed::bad);
    EXPECT_EQ(read.vms.size(), vms);
    EXPECT_EQ(read.vcpus.size(), vcpus);
    EXPECT_EQ(read.ticks.size(), 1u);
    EXPECT_EQ(parse_record("garbage 1 2 3", read).kind, Parsed::bad);

    // Fields of a newer format are passed over, the rest read.
    const ParseResult newer = parse_record("T 4 100 z=1 7 c1 q5 t10/0", read);
    ASSERT_EQ(newer.kind, Parsed::tick) << newer.why;
    EXPECT_EQ(newer.unknown, (std::vector<std::string>{"z", "q5"}));
    EXPECT_EQ(read.vcpus.back().run_us, 20u);
    EXPECT_EQ(read.ticks.back().clock_ns, 200);
}

TEST(RecordFormat, NumbersReadWholeAtEveryWidthOrNotAtAll)
{
    using record_scan::number;
    // The widest that cannot overflow, and one digit more either way.
    EXPECT_EQ(number<uint64_t>("9999999999999999999"), 9999999999999999999u);
    EXPECT_EQ(number<uint64_t>("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(number<uint64_t>("18446744073709551616"), std::nullopt);
    EXPECT_EQ(number<int32_t>("999999999"), 999999999);
    EXPECT_EQ(number<int32_t>("2147483647"), INT32_MAX);
    EXPECT_EQ(number<int32_t>("2147483648"), std::nullopt);
    EXPECT_EQ(number<int64_t>("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(number<int32_t>("-5"), -5);
    EXPECT_EQ(number<uint64_t>("007"), 7u);
    // Anything but digits, anywhere, is no number; nor is a sign unsigned.
    for (const char* bad : {"", "12a", "1 2", "+5", "-1", ":3", "9/", "1\n"})
        EXPECT_EQ(number<uint64_t>(bad), std::nullopt) << bad;
    EXPECT_EQ(number<int32_t>("99999999x"), std::nullopt);
}

TEST(RecordFormat, FieldsOfANewerFormatOfAnySpellingArePassedOver)
{
    // Names of a newer format, many beginning as today's do: the tick's
    // own before its first VM, a VM's after its pid and at the line's end.
    const std::vector<std::string> tick_level{"t=1", "x=2", "s=3:0",   "T=0:5", "c5",
                                              "zz",  "!=1", "wall2=9", "k2=1,2"};
    const std::vector<std::string> vm_level{"q5", "tx=9", "cc", "Tz", "xy", "!x", "=7", "k=1", "wall=3"};
    const Recording written = every_kind_of_tick();
    Recording plain;
    Recording newer;
    std::string header;
    append_header(header, a_header());
    ASSERT_EQ(parse_record(header, plain).kind, Parsed::header);
    ASSERT_EQ(parse_record(header + " zz=1 reasonable=2", newer).kind, Parsed::header);
    for (size_t i = 0; i < written.ticks.size(); ++i) {
        const std::string line = record_of(written, i);
        std::vector<std::string> fields;
        for (size_t at = 0; at < line.size();) {
            const size_t end = std::min(line.find(' ', at), line.size());
            fields.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        std::string extended = fields[0] + " " + fields[1] + " " + fields[2];
        size_t vms = 0;
        for (const std::string& field : tick_level)
            extended += " " + field;
        for (size_t f = 3; f < fields.size(); ++f) {
            extended += " " + fields[f];
            if (fields[f][0] >= '0' && fields[f][0] <= '9') {
                ++vms;
                for (const std::string& field : vm_level)
                    extended += " " + field;
            }
        }
        ASSERT_EQ(parse_record(line, plain).kind, Parsed::tick) << line;
        const ParseResult result = parse_record(extended, newer);
        ASSERT_EQ(result.kind, Parsed::tick) << result.why << "\n" << extended;
        EXPECT_EQ(result.unknown.size(), tick_level.size() + vms * vm_level.size()) << extended;
        expect_same_tick(plain, plain.ticks.back(), newer, newer.ticks.back());
    }
}
