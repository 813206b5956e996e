// halvorn-replay as a command: exit statuses and messages, and what it
// prints of a small recording whose miner a replay moves.
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "recording/record_format.h"
#include "read_text.h"
#include "recording_builder.h"
#include "run_program.h"
#include "startup/settings.h"
#include "startup/settings_text.h"
#include "temp_dir.h"

namespace {

constexpr int64_t second = 1'000'000'000;

struct ReplayCommandTest : ::testing::Test {
    TempDir dir;

    ProgramResult replay(std::vector<std::string> args)
    {
        args.insert(args.begin(), "halvorn-replay");
        return run_program(HALVORN_REPLAY_EXE, args, {.deadline = std::chrono::seconds(60)});
    }

    // The header of miner_recording(), a line.
    std::string miner_recording_header()
    {
        const std::string text = read_text(miner_recording());
        return text.substr(0, text.find('\n') + 1);
    }

    // A dry run of ten-second ticks with one VM of one vCPU that runs flat
    // out from the third tick on: judged MINER at once, moved on a busy host.
    std::string miner_recording()
    {
        Settings recorded;
        recorded.dry_run = true;
        recorded.averaging_time = 10;
        recorded.update_time = 10000;
        recorded.cpu_idle_level = 99;
        recorded.vcpu = 1;
        Recording rec;
        HeaderRow header;
        header.format = record_format;
        header.cpus = 2;
        header.settings = settings_text(recorded);
        header.update_time = 10000;
        rec.headers.push_back(header);
        std::string text;
        append_header(text, header);
        text += '\n';
        for (int n = 0; n < 8; ++n) {
            std::vector<Vm> vms;
            if (n > 0)
                vms.push_back({7,
                               6,
                               "miner",
                               VmOutcome::opened,
                               1,
                               true,
                               {{0, static_cast<uint64_t>(n) * 10'000'000}}});
            TickRow& tick = add_tick(rec, static_cast<uint64_t>(n), (100 + 10 * n) * second, vms,
                                     cpu(static_cast<uint64_t>(n) * 2000, 0));
            tick.burst = {true, true, 1};
            if (n == 0) {
                // The first tick's rebuild finds the VM, which it only sees.
                tick.rebuilt = true;
                tick.process_count = 1;
                rec.processes.push_back({6, 7, rec.intern("miner")});
            }
            const TickRow* base = n == 0 ? nullptr : &rec.ticks[rec.ticks.size() - 2];
            append_tick(text, rec, tick, base ? &rec : nullptr, base);
            text += '\n';
        }
        return dir.write("record", text);
    }
};

}  // namespace

TEST_F(ReplayCommandTest, UsageErrorsEndWithTwoAndAFileWithoutTicksWithOne)
{
    const std::string usage = "usage: halvorn-replay ";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"--frobnicate", "x"},
             {"--set", "NOPE.VCPU=2", "x"},
             {"--log", "--json", "x"},
             {"--log", "--set", "VCPU_CLASS.VCPU=1,2", "x"},
             {"-c", dir.file("missing"), "x"},
             {"-c", dir.path(), "x"},
             {"--set", "VCPU_CLASS.OverloadBound=80..95", "x"},
             {"--host", "a=x"},
             {"--suggest", "--budget", "0", "x"},
             {"--suggest", "--host", "=x"},
             {"--suggest", "--set", "VCPU_CLASS.OverloadBound=95..80", "x"},
             {"--set", "hw.vmm.vcpu_limit.class.1.burst_secs=soon", "x"},
             {"--suggest", "--set", "hw.vmm.vcpu_limit.class.2.rate_limit=60..25", "x"},
             {dir.file("absent")},
         }) {
        const ProgramResult r = replay(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(usage), std::string::npos) << r.err;
    }
    EXPECT_NE(replay({"--set", "NOPE.VCPU=2", "x"}).err.find("halvorn-replay: no section NOPE\n"),
              std::string::npos);

    // A recording with no tick in it.
    const std::string garbage = dir.write("garbage", miner_recording_header() + "no\nrecord\n");
    const ProgramResult none = replay({garbage});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, garbage + ":2: not a record; record skipped\n" + garbage +
                            ":3: not a record; record skipped\n" +
                            "halvorn-replay: no tick could be replayed\n"
                            "halvorn-replay: 0 ticks replayed, 2 records skipped\n");

    // A fleet's hosts are read together, but what each tells comes in
    // their order, and the first host without a tick ends the search.
    const std::string good = miner_recording();
    const std::string other = dir.write("other", miner_recording_header() + "bad\n");
    const ProgramResult fleet = replay({"--suggest", "--host", "a=" + good, "--host", "b=" + garbage,
                                        "--host", "c=" + other, "--host", "d=" + good + "x"});
    EXPECT_EQ(fleet.status, 1);
    EXPECT_NE(fleet.err.find(garbage + ":2: not a record; record skipped\n" + garbage +
                             ":3: not a record; record skipped\n" +
                             "halvorn-replay: host b: no tick could be replayed\n"),
              std::string::npos)
        << fleet.err;
    EXPECT_EQ(fleet.err.find(other), std::string::npos) << fleet.err;
    EXPECT_EQ(fleet.err.find(good + "x"), std::string::npos) << fleet.err;
    EXPECT_NE(fleet.err.find(" ticks replayed, 2 records skipped\n"), std::string::npos) << fleet.err;
}

TEST_F(ReplayCommandTest, WhatIsNoRecordingIsNamedAndSkipped)
{
    const std::string record = miner_recording();
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string unreadable = dir.write("unreadable", read_text(record));
    ASSERT_EQ(::chmod(unreadable.c_str(), 0), 0);
    const std::vector<std::string> bad{
        dir.path(),        fifo, unreadable, dir.write("empty", ""), dir.write("text", "hello\n"),
        dir.file("absent")};
    const std::vector<std::string> told{
        dir.path() + ": not a regular file (a directory); skipped\n",
        fifo + ": not a regular file (a named pipe); skipped\n",
        unreadable + ": cannot be read: Permission denied; skipped\n",
        dir.file("empty") + ": empty; skipped\n",
        dir.file("text") + ": not a recording (it starts with no header of one); skipped\n",
        dir.file("absent") + ": cannot be read: No such file or directory; skipped\n",
    };
    // Run as nobody, whom the mode keeps out even where the test is root.
    const auto as_nobody = [] {
        const passwd* pw = ::getpwnam("nobody");
        const uid_t uid = pw ? pw->pw_uid : 65534;
        const gid_t gid = pw ? pw->pw_gid : 65534;
        return ::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                                    ::setresuid(uid, uid, uid) == 0);
    };
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "halvorn-replay");
        return run_program(HALVORN_REPLAY_EXE, args, {.in_child = as_nobody});
    };
    std::string all_told;
    for (const std::string& line : told)
        all_told += line;

    ProgramResult r = run(bad);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find("halvorn-replay: no recording to replay\nusage: ")), all_told);
    std::vector<std::string> with_record = bad;
    with_record.insert(with_record.begin() + 3, record);
    r = run(with_record);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, all_told + "halvorn-replay: 8 ticks replayed, 0 records skipped\n");
}

TEST_F(ReplayCommandTest, ARecordingNamedTwiceIsReplayedOnce)
{
    const std::string record = miner_recording();
    const ProgramResult once = replay({record});
    ASSERT_EQ(once.status, 0) << once.err;
    const std::string copy = dir.write("copy", read_text(record));
    const std::string link = dir.file("link");
    ASSERT_EQ(::symlink(record.c_str(), link.c_str()), 0);

    const ProgramResult r = replay({record, link, record, copy});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, once.out);
    EXPECT_EQ(r.err, link + ": the same file as " + record + "; used once\n" + record +
                         ": named more than once; used once\n" + copy + ": the same recording as " + record +
                         " (the same first record); used once\n"
                         "halvorn-replay: 8 ticks replayed, 0 records skipped\n");
}

TEST_F(ReplayCommandTest, RowsShowTheValuesReplayedAndTheReplacedOnesAreToldOnce)
{
    const std::string record = miner_recording();
    const ProgramResult sweep = replay({"--set", "VCPU_CLASS.OverloadBound=5,10,99,150", "--set",
                                        "RATE_LIMIT.MaxCpuIdleLevel=18,20", record});
    ASSERT_EQ(sweep.status, 0) << sweep.err;
    // 5 and 10, 150 and 99, 18 and 20 are one value each.
    EXPECT_EQ(
        sweep.out,
        "SETTINGS                             VMS MOVED  MOVES  VM-MINUTES CLASS 2  HOST MINUTES BELOW "
        "FLOOR  STEPS  LOWEST   CPU-HOURS HELD  MOVED\n"
        "without halvorn                              0      0                0.0                      1.2  "
        "    0    100%             0.00  -\n"
        "OverloadBound=10 MaxCpuIdleLevel=20          1      1                0.7                      1.2  "
        "    7     50%             0.00  miner\n"
        "OverloadBound=99 MaxCpuIdleLevel=20          1      1                0.7                      1.2  "
        "    7     50%             0.00  miner\n");
    EXPECT_EQ(sweep.err, "halvorn-replay: OverloadBound=5 is replayed as 10\n"
                         "halvorn-replay: MaxCpuIdleLevel=18 is replayed as 20\n"
                         "halvorn-replay: OverloadBound=150 is replayed as 99\n"
                         "halvorn-replay: 8 ticks replayed, 0 records skipped\n");

    const ProgramResult one = replay({"--set", "VCPU_CLASS.OverloadBound=150", record});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find(" OverloadBound=99 "), std::string::npos) << one.out;
    EXPECT_EQ(one.err, "halvorn-replay: OverloadBound=150 is replayed as 99\n"
                       "halvorn-replay: 8 ticks replayed, 0 records skipped\n");
}

TEST_F(ReplayCommandTest, JsonHoldsTheSettingsAsAnObjectAndEndsItsLine)
{
    const std::string record = miner_recording();
    const ProgramResult summary =
        replay({"--json", "--set", "COMMON.DryRun=1", "--set", "VCPU_CLASS.Exempt=a,b", record});
    ASSERT_EQ(summary.status, 0) << summary.err;
    ASSERT_FALSE(summary.out.empty());
    EXPECT_EQ(summary.out.back(), '\n');
    const nlohmann::json settings = nlohmann::json::parse(summary.out)["settings"];
    EXPECT_EQ(settings,
              nlohmann::json::parse(R"({"UpdateTime": 10000, "AveragingTime": 10, "MaxCpuIdleLevel": 35,
        "MinCpuIdleLevel": 15, "RateLimitDelta": 5, "CpuIdleLevel": 99, "OverloadBound": 90, "VCPU": 1,
        "DryRun": true, "Exempt": ["a", "b"]})"));

    const ProgramResult sweep = replay({"--json", "--set", "VCPU_CLASS.OverloadBound=150,80", "--set",
                                        "COMMON.DryRun=0", "--set", "COMMON.LogLevel=debug", record});
    ASSERT_EQ(sweep.status, 0) << sweep.err;
    ASSERT_FALSE(sweep.out.empty());
    EXPECT_EQ(sweep.out.back(), '\n');
    const nlohmann::json rows = nlohmann::json::parse(sweep.out);
    ASSERT_EQ(rows.size(), 3u);  // the host without halvorn first
    EXPECT_EQ(rows[0]["settings"], nlohmann::json::object());
    EXPECT_EQ(rows[0]["without_halvorn"], true);
    EXPECT_EQ(rows[1]["settings"],
              nlohmann::json::parse(R"({"OverloadBound": 99, "DryRun": false, "LogLevel": "debug"})"));
    EXPECT_EQ(rows[2]["settings"]["OverloadBound"], 80);
}

TEST_F(ReplayCommandTest, ARecordedDryRunIsReplayedEnforcingAndSweptOnWorkers)
{
    const std::string record = miner_recording();
    const ProgramResult summary = replay({record});
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_EQ(summary.err, "halvorn-replay: 8 ticks replayed, 0 records skipped\n");
    EXPECT_NE(summary.out.find("\nminer      1  "), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("\nHost: 7 rate-limit steps (7 down, 0 up), lowest class-1 limit 50%"),
              std::string::npos)
        << summary.out;

    const ProgramResult json = replay({"--json", record});
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    ASSERT_EQ(parsed["vms"].size(), 1u);
    EXPECT_EQ(parsed["vms"][0]["moves"], 1);
    EXPECT_EQ(parsed["vms"][0]["class2_seconds"], 40.0);
    EXPECT_EQ(parsed["ticks"], 8);

    const ProgramResult log = replay({"--log", "--set", "COMMON.DryRun=1", record});
    ASSERT_EQ(log.status, 0) << log.err;
    EXPECT_NE(
        log.out.find("] [I] [0] VM_id=miner bhyve_pid=7  VCPU_class_1 => VCPU_class_2 rate_limit(class.2)="
                     "0% (dry run)\n"),
        std::string::npos)
        << log.out;

    const ProgramResult sweep =
        replay({"--set", "VCPU_CLASS.VCPU=1,2", "--set", "COMMON.DryRun=0,1", record});
    ASSERT_EQ(sweep.status, 0) << sweep.err;
    // The host without halvorn comes first. Moved to class 2, whose limit
    // the recording could not read, the miner runs as recorded; held by the
    // limits the replay lowers in class 1, it leaves the host some idle time.
    EXPECT_EQ(
        sweep.out,
        "SETTINGS         VMS MOVED  MOVES  VM-MINUTES CLASS 2  HOST MINUTES BELOW FLOOR  STEPS  LOWEST  "
        " CPU-HOURS HELD  MOVED\n"
        "without halvorn          0      0                0.0                      1.2      0    100%  "
        "           0.00  -\n"
        "VCPU=1 DryRun=0          1      1                0.7                      1.2      7     50%  "
        "           0.00  miner\n"
        "VCPU=1 DryRun=1          0      0                0.0                      1.2      0     85%  "
        "           0.00  -\n"
        "VCPU=2 DryRun=0          0      0                0.0                      0.5      4     65%  "
        "           0.01  -\n"
        "VCPU=2 DryRun=1          0      0                0.0                      1.2      0     85%  "
        "           0.00  -\n");

    // A search of two levels is replayed whole; its front, the recorded
    // settings and the host without halvorn, as JSON.
    const ProgramResult suggested =
        replay({"--suggest", "--json", "--set", "VCPU_CLASS.VCPU=1", "--set",
                "VCPU_CLASS.OverloadBound=45,95", "--set", "VCPU_CLASS.CpuIdleLevel=99", "--set",
                "RATE_LIMIT.MinCpuIdleLevel=15", "--set", "RATE_LIMIT.RateLimitDelta=5", "--set",
                "COMMON.AveragingTime=30", "--set", "hw.vmm.vcpu_limit.class.2.rate_limit=0x1e", record});
    ASSERT_EQ(suggested.status, 0) << suggested.err;
    const nlohmann::json found = nlohmann::json::parse(suggested.out);
    EXPECT_TRUE(found["whole_grid"]);
    EXPECT_EQ(found["replays"], 2);
    ASSERT_GE(found["front"].size(), 1u);
    EXPECT_EQ(found["without_halvorn"]["cpu_hours_held"], 0.0);
    EXPECT_EQ(found["recorded"]["settings"], "the recorded settings");
    // Each row's keys as numbers, the host's knobs by their kernel names.
    EXPECT_EQ(found["front"][0]["values"]["OverloadBound"].size(), 1u);
    EXPECT_EQ(found["front"][0]["values"]["hw.vmm.vcpu_limit.class.2.rate_limit"], 30);
    EXPECT_EQ(found["recorded"]["values"], nlohmann::json::object());
}

TEST_F(ReplayCommandTest, CsvSamplesAreReplayedAsADryRunWithTheSameStatuses)
{
    // Two vCPUs flat out beside a busy neighbour on four CPUs, for five
    // minutes: the miner's rows in Unix seconds, the others' in ISO 8601.
    const std::string samples = dir.write("host.csv", "time,vm,vcpus,cpu_percent\n"
                                                      "1714564800,miner,2,200\n"
                                                      "2024-05-01T12:00:00Z,web,2,170\n"
                                                      "2024-05-01T12:00:00Z,web,2,171\n"
                                                      "1714565100,miner,2,200\n"
                                                      "2024-05-01T14:05:00+02:00,web,2,170\n");
    const std::string config = dir.write("vcpu2.config", "[VCPU_CLASS]\nVCPU = 2\n");
    const ProgramResult summary = replay({"-c", config, "--host-cpus", "4", samples});
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_EQ(summary.err, samples + ":4: VM web has a row at this time already; row skipped\n"
                                     "halvorn-replay: 301 ticks replayed, 1 records skipped\n");
    EXPECT_NE(summary.out.find("\nminer      1  2024-05-01 "), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("\nweb        0  -  "), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find(
                  "\nImported, not recorded: 4 CSV rows of 2 VMs on a host of 4 CPUs, replayed at a "
                  "1 s tick as if recorded in a dry run.\nApproximated: no throttle time was measured;"),
              std::string::npos)
        << summary.out;

    const ProgramResult json = replay({"--json", "-c", config, "--host-cpus=4", samples});
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["vms"][0]["moves"], 1);
    EXPECT_EQ(parsed["imported"]["host_cpus"], 4);

    const ProgramResult sweep =
        replay({"-c", config, "--host-cpus", "4", "--set", "COMMON.DryRun=0,1", samples});
    ASSERT_EQ(sweep.status, 0) << sweep.err;
    EXPECT_EQ(
        sweep.out.substr(0, sweep.out.find("\n\nImported, not recorded")),
        "SETTINGS         VMS MOVED  MOVES  VM-MINUTES CLASS 2  HOST MINUTES BELOW FLOOR  STEPS  LOWEST  "
        " CPU-HOURS HELD  MOVED\n"
        "without halvorn          0      0                0.0                      5.0      0    100%  "
        "           0.00  -\n"
        "DryRun=0                 1      1                2.9                      1.8      6     85%  "
        "           0.08  miner\n"
        "DryRun=1                 0      0                0.0                      5.0      0    100%  "
        "           0.00  -");
    EXPECT_EQ(sweep.err, summary.err);

    const std::string bad = dir.write("bad.csv", "time,vm,vcpus,cpu_percent\n1714564800,a,1,101\n");
    const ProgramResult none = replay({"--host-cpus", "4", bad});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, bad + ":2: cpu_percent 101 lies outside 0..100, 100 x vcpus; row skipped\n"
                              "halvorn-replay: no tick could be replayed\n"
                              "halvorn-replay: 0 ticks replayed, 1 records skipped\n");
    const std::string empty = dir.write("empty.csv", "");
    EXPECT_EQ(replay({"--host-cpus", "4", empty}).err,
              empty + ":1: empty file; skipped\n"
                      "halvorn-replay: no tick could be replayed\n"
                      "halvorn-replay: 0 ticks replayed, 1 records skipped\n");

    const std::string record = miner_recording();
    for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{samples}, "CSV samples need --host-cpus N, the host's CPU count"},
             {{"--host-cpus", "0", samples}, "--host-cpus takes a whole number from 1 to 1024, not '0'"},
             {{"--host-cpus", "4", samples, record},
              "CSV samples and recordings cannot be replayed together"},
             {{"--host-cpus", "4", record},
              "--host-cpus is for CSV samples; a recording holds its host's CPU count"},
         }) {
        const ProgramResult r = replay(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "halvorn-replay: " + error);
    }
}

TEST_F(ReplayCommandTest, CsvFilesAreReadInTimeOrderEachFaultNamingItsFileAndLine)
{
    // Rotated exports named newest first; a file that cannot be read among them.
    const std::string later = dir.write("later.csv", "time,vm,vcpus,cpu_percent\n"
                                                     "1714564860,web,2,50\n"
                                                     "1714564800,web,2,50\n"
                                                     "1714564920,web,2,50\n");
    const std::string earlier = dir.write("earlier.csv", "time,vm,vcpus,cpu_percent\n"
                                                         "1714564800,web,2,50\n"
                                                         "1714564800,db,1,20\n"
                                                         "1714564800,db,2,20\n");
    const std::string missing = dir.file("missing.csv");
    const ProgramResult run = replay({"--log", "--host-cpus", "2", later, missing, earlier});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.substr(0, run.err.find("Imported, not recorded")),
              missing + ": cannot be read: No such file or directory\n" + earlier +
                  ":4: VM db has 1 vCPUs in the sample of this time, not 2; row skipped\n" + later +
                  ":3: time goes back by 60 s; row skipped\n");
    // With --log the note goes with the counts, away from the log lines.
    EXPECT_NE(run.err.find("rows of 2 VMs on a host of 2 CPUs"), std::string::npos) << run.err;
    EXPECT_TRUE(run.err.ends_with("halvorn-replay: 121 ticks replayed, 2 records skipped\n")) << run.err;
    EXPECT_EQ(run.out.find("Imported"), std::string::npos) << run.out;
}

TEST_F(ReplayCommandTest, TheSearchsChartIsDrawnWithGnuplotOrRefusedBeforeTheSearch)
{
    const std::string record = miner_recording();
    const std::string png = dir.file("front.png");
    const std::vector<std::string> search{"--suggest",
                                          "--chart",
                                          png,
                                          "--set",
                                          "VCPU_CLASS.OverloadBound=45,95",
                                          "--set",
                                          "hw.vmm.vcpu_limit.class.2.rate_limit=25,40",
                                          record};
    // No gnuplot on the PATH: told before anything is replayed.
    std::vector<std::string> args = search;
    args.insert(args.begin(), "halvorn-replay");
    const ProgramResult without =
        run_program(HALVORN_REPLAY_EXE, args,
                    {.env = environment_with({"PATH=" + dir.path()}), .deadline = std::chrono::seconds(60)});
    EXPECT_EQ(without.status, 1);
    EXPECT_NE(without.err.find("--chart needs gnuplot"), std::string::npos) << without.err;
    EXPECT_TRUE(without.out.empty()) << without.out;

    if (run_program("/bin/sh", {"sh", "-c", "command -v gnuplot"}).status != 0)
        GTEST_SKIP() << "gnuplot is not installed";
    const ProgramResult drawn = replay(search);
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    // The knob is a dimension of its own, named in full in the rows.
    EXPECT_NE(drawn.out.find(" hw.vmm.vcpu_limit.class.2.rate_limit=25 "), std::string::npos) << drawn.out;
    EXPECT_EQ(read_text(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}
