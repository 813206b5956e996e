// The daemon's recorder over a scripted host: what the file holds, how it
// follows newsyslog's rotation, and how it rides out a file it cannot write.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "controller/controller.h"
#include "fake_host.h"
#include "log_capture.h"
#include "recording/record_reader.h"
#include "recording/recorder.h"
#include "startup/settings.h"
#include "startup/settings_text.h"
#include "temp_dir.h"

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr int64_t second = 1'000'000'000;

struct RecorderTest : ::testing::Test {
    TempDir dir;
    Settings& settings = Settings::instance() = Settings{};
    Controller controller;
    LogCapture log;  // after the controller, which installs the daemon's logger
    FakeHost host;
    Recorder recorder;
    std::string path = dir.file("record.gz");

    RecorderTest()
    {
        settings.record_file = path;
        settings.vcpu = 2;
        host.cpus = 64;
        host.knobs = {
            {Knob::class1_rate_limit, 100}, {Knob::class2_rate_limit, 25}, {Knob::class1_burst_secs, 30}};
        host.add_vm("web 1", 101, 100, 2);
        host.add_vm("small", 201, 200, 1);
        host.sample.valid = true;
        controller.observer = &recorder;
    }

    // One tick a second: the VMs' vCPUs run half of it, web's held back a tenth.
    void ticks(int count)
    {
        for (int i = 0; i < count; ++i) {
            host.advance(second, 60, 40, 500'000);
            host.vms["web 1"].throttle_us[0] += 100'000;
            host.vms["web 1"].throttle_us[1] += 100'000;
            controller.run_tick(recorder.tap(host));
        }
    }

    struct Read {
        Recording recording;
        std::vector<std::string> messages;
    };
    static Read read(const std::string& file)
    {
        Read r;
        RecordReader reader([&r](const std::string& message) { r.messages.push_back(message); });
        reader.read(file, r.recording);
        return r;
    }
};

}  // namespace

TEST_F(RecorderTest, RecordsWhatEachTickReadWithAHeaderAndKeyframes)
{
    ticks(3);
    host.open = false;
    host.open_error = "no kernel";
    ticks(1);
    host.open = true;
    ticks(66);  // past a minute: a second keyframe
    recorder.stop();

    const Read r = read(path);
    EXPECT_TRUE(r.messages.empty()) << r.messages.front();
    const Recording& rec = r.recording;
    ASSERT_EQ(rec.headers.size(), 1u);
    EXPECT_EQ(rec.headers[0].reason, HeaderReason::start);
    EXPECT_EQ(rec.headers[0].settings, settings_text(settings));
    EXPECT_EQ(rec.headers[0].update_time, 1000);
    EXPECT_EQ(rec.headers[0].cpus, host.cpus);  // the host recorded, not the machine recording
    ASSERT_EQ(rec.ticks.size(), 70u);

    const TickRow& first = rec.ticks[0];
    EXPECT_TRUE(first.rebuilt);
    ASSERT_EQ(first.process_count, 2u);
    EXPECT_EQ(rec.text(rec.processes_of(first)[0].name), "web 1");
    EXPECT_EQ(first.vm_count, 0u);  // first sight reads nothing
    EXPECT_EQ(first.clock_ns, host.clock - 69 * second);

    const TickRow& second_tick = rec.ticks[1];
    EXPECT_FALSE(second_tick.rebuilt);
    EXPECT_EQ(second_tick.class1.value, 100);
    EXPECT_EQ(second_tick.burst.value, 30);
    EXPECT_EQ(second_tick.cpu.idle, 80u);
    ASSERT_EQ(second_tick.vm_count, 2u);
    const VmRow& web = rec.vms_of(second_tick)[0];
    EXPECT_EQ(rec.text(web.name), "web 1");
    EXPECT_EQ(web.group, 100);
    EXPECT_EQ(web.cls, 1);
    ASSERT_EQ(web.vcpu_count, 2u);
    EXPECT_EQ(rec.vcpus_of(web)[1].run_us, 1'000'000u);
    EXPECT_EQ(rec.vcpus_of(web)[1].throttle_us, 200'000u);
    // Too small to judge: run times read, throttle never asked for.
    const VmRow& small = rec.vms_of(second_tick)[1];
    ASSERT_EQ(small.vcpu_count, 1u);
    EXPECT_EQ(rec.vcpus_of(small)[0].throttle, ThrottleRead::not_read);

    const TickRow& failed = rec.ticks[3];
    EXPECT_FALSE(failed.host_open);
    EXPECT_EQ(rec.text(failed.error), "no kernel");
    EXPECT_EQ(failed.clock_ns, rec.ticks[2].clock_ns + second);
    // The wall clock goes with the steady one.
    EXPECT_EQ(rec.ticks[69].wall_ns - rec.ticks[0].wall_ns, 69 * second);

    // A keyframe after the error, and again a minute on: whole counters.
    const std::string text = [&] {
        std::string all;
        FILE* pipe = popen(("gzip -dc " + path).c_str(), "r");
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            all.append(buffer, n);
        pclose(pipe);
        return all;
    }();
    int keyframes = 0;
    for (size_t at = text.find("\nK "); at != std::string::npos; at = text.find("\nK ", at + 1))
        ++keyframes;
    EXPECT_EQ(keyframes, 3);
}

TEST_F(RecorderTest, AClass2StepIsRecordedWithTheLimitTheTickFound)
{
    // The knob is read again after the write; the record keeps the first
    // read, the limit of the interval, and the write beside it.
    settings.class2_rate_limit_ceiling = 50;
    controller.idle_average = 40.0;  // room to spare, class 1 at 100
    ticks(2);
    recorder.stop();

    const Read r = read(path);
    ASSERT_EQ(r.recording.ticks.size(), 2u);
    const TickRow& stepped = r.recording.ticks[0];
    EXPECT_EQ(stepped.class2.value, 25);
    EXPECT_TRUE(stepped.class2_written);
    EXPECT_EQ(stepped.class2_write, 30);
    EXPECT_FALSE(stepped.class1_written);
    EXPECT_EQ(r.recording.ticks[1].class2.value, 30);
    EXPECT_FALSE(r.recording.ticks[1].class2_written);
}

TEST_F(RecorderTest, FollowsRotationAndFlushesWithinTenSeconds)
{
    ticks(25);
    // Not stopped: what a crash would leave is readable up to ten seconds back.
    const Read unfinished = read(path);
    EXPECT_GE(unfinished.recording.ticks.size(), 15u);
    ASSERT_EQ(unfinished.messages.size(), 1u);
    EXPECT_NE(unfinished.messages[0].find("compressed data cut short after this line"), std::string::npos);

    // newsyslog: rename, then SIGHUP.
    fs::rename(path, path + ".0");
    recorder.after_reload();
    ticks(2);
    // Removed without a signal: noticed at the next flush.
    ticks(10);
    fs::remove(path);
    ticks(11);
    recorder.stop();

    const Read rotated = read(path + ".0");
    EXPECT_TRUE(rotated.messages.empty()) << rotated.messages.front();
    EXPECT_EQ(rotated.recording.ticks.size(), 25u);
    const Read reopened = read(path);
    EXPECT_TRUE(reopened.messages.empty()) << reopened.messages.front();
    ASSERT_EQ(reopened.recording.headers.size(), 1u);
    EXPECT_EQ(reopened.recording.headers[0].reason, HeaderReason::reopen);
    EXPECT_FALSE(reopened.recording.ticks.empty());
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(RecorderTest, AFileThatCannotBeWrittenIsWarnedOnceAndRecordingResumesWithAHeader)
{
    // Neither waits for a reader nor writes into a pipe.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    settings.record_file = fifo;
    recorder.after_reload();
    ticks(2);

    const std::string gone = dir.file("gone");
    fs::create_directory(gone);
    settings.record_file = gone + "/record.gz";
    recorder.after_reload();
    ticks(3);
    fs::remove_all(gone);
    ticks(12);
    fs::create_directory(gone);
    ticks(2);
    recorder.stop();

    std::vector<std::string> warnings;
    for (const auto& [level, text] : log.take())
        if (level == spdlog::level::warn)
            warnings.push_back(text);
    EXPECT_EQ(warnings,
              (std::vector<std::string>{
                  "Record file '" + fifo + "' cannot be opened: " + std::strerror(ENXIO),
                  "Record file '" + settings.record_file + "' cannot be opened: " + std::strerror(ENOENT),
              }));
    const Read r = read(settings.record_file);
    EXPECT_TRUE(r.messages.empty()) << r.messages.front();
    ASSERT_EQ(r.recording.headers.size(), 1u);
    EXPECT_EQ(r.recording.headers[0].reason, HeaderReason::resume);
    EXPECT_EQ(r.recording.ticks.size(), 2u);
}

TEST_F(RecorderTest, WritesRefusedForAWhileLoseNothing)
{
    ticks(11);  // a header and ten seconds: flushed
    const auto written = static_cast<rlim_t>(fs::file_size(path));
    // A full disk, as a file size limit: writes fail (EFBIG, SIGXFSZ ignored).
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit full = before;
    full.rlim_cur = written + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    ticks(30);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    std::signal(SIGXFSZ, old_handler);
    ticks(10);
    recorder.stop();

    std::vector<LogCapture::Line> told;
    for (const auto& line : log.take())
        if (line.second.starts_with("Record file"))
            told.push_back(line);
    EXPECT_EQ(told,
              (std::vector<LogCapture::Line>{
                  {spdlog::level::warn, "Record file '" + path + "' not written: " + std::strerror(EFBIG)},
                  {spdlog::level::info, "Record file '" + path + "' written again"},
              }));
    const Read r = read(path);
    EXPECT_TRUE(r.messages.empty()) << r.messages.front();
    EXPECT_EQ(r.recording.headers.size(), 1u);
    EXPECT_EQ(r.recording.ticks.size(), 51u);
}

TEST_F(RecorderTest, AVmThatGoesAwayIsRecordedUnderTheNameItsPidLastHad)
{
    ticks(3);
    // web 1's process ends between two rebuilds.
    host.alive.erase(101);
    ticks(1);
    // Its pid comes back as another VM, which a rebuild finds; then that
    // one ends before it was ever read.
    host.processes.erase({100, 101});
    host.processes[{300, 101}] = "db";
    host.alive.insert(101);
    controller.vm_list_due = true;
    ticks(1);
    host.alive.erase(101);
    ticks(1);
    recorder.stop();

    const Read r = read(path);
    EXPECT_TRUE(r.messages.empty()) << r.messages.front();
    std::vector<std::pair<std::string, int>> gone;
    for (const TickRow& tick : r.recording.ticks)
        for (const VmRow& vm : r.recording.vms_of(tick))
            if (vm.pid == 101 && vm.outcome == VmOutcome::gone)
                gone.emplace_back(r.recording.text(vm.name), vm.group);
    EXPECT_EQ(gone, (std::vector<std::pair<std::string, int>>{{"web 1", 100}, {"db", 300}}));
}
