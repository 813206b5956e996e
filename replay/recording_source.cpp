#include "replay/recording_source.h"

#include <cstdio>

#include <sys/stat.h>

#include "replay/replay_run.h"

namespace {

// Keeps the tick just taken, the base of the next, and a few before it.
constexpr size_t kept_ticks = 256;

void note_knob(const KnobRead& read, int32_t& first)
{
    if (first == 0 && read.read && read.ok)
        first = read.value;
}

}  // namespace

RecordingSource::RecordingSource(Recording recording) : recording_(std::move(recording))
{
    if (!recording_.ticks.empty())
        first_settings_ = recording_.headers[recording_.ticks.front().header].settings;
    for (const TickRow& tick : recording_.ticks) {
        note_knob(tick.class2, class2_rate_limit_);
        note_knob(tick.burst, class1_burst_secs_);
    }
}

void RecordingSource::recorded_knobs(Settings& settings) const
{
    settings.replayed_class2_rate_limit = class2_rate_limit_;
    settings.replayed_class1_burst_secs = class1_burst_secs_;
}

uint64_t RecordingSource::size_on_disk(const std::vector<std::string>& files)
{
    uint64_t total = 0;
    for (const std::string& file : files) {
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            total += static_cast<uint64_t>(st.st_size);
    }
    return total;
}

void RecordingSource::open(std::vector<std::string> files, bool keep, const RecordReader::Report& report)
{
    files_ = std::move(files);
    streamed_ = !keep;
    Recording counted;
    Recording& into = keep ? recording_ : counted;
    std::string error;
    if (!keep)
        tape_ = std::make_shared<TickTape>();
    if (tape_ && !tape_->open(error))
        std::fprintf(stderr, "halvorn-replay: %s; each replay reads the recording again\n", error.c_str());
    RecordReader reader(report, [&](size_t index) {
        if (ticks_++ == 0)
            first_settings_ = into.headers[into.ticks[index].header].settings;
        note_knob(into.ticks[index].class2, class2_rate_limit_);
        note_knob(into.ticks[index].burst, class1_burst_secs_);
        if (tape_ && tape_->is_open() && !tape_->append(into, index, error))
            std::fprintf(stderr, "halvorn-replay: %s; each replay reads the recording again\n",
                         error.c_str());
        if (!keep && index >= kept_ticks)
            into.drop_ticks_before(index);
    });
    for (const std::string& file : files_)
        reader.read(file, into);
    skipped_ = reader.skipped();
    if (tape_ && tape_->is_open() && !tape_->finish(into, error))
        std::fprintf(stderr, "halvorn-replay: %s; each replay reads the recording again\n", error.c_str());
}

template <typename Make>
RunSummary RecordingSource::run(const Make& make) const
{
    if (!streamed_) {
        auto run = make(recording_);
        for (size_t i = 0; i < recording_.ticks.size(); ++i)
            run.tick(i);
        return run.finish();
    }
    if (tape_ && tape_->is_open()) {
        Recording into;
        auto run = make(into);
        std::string error;
        if (tape_->play(
                into,
                [&](size_t index) {
                    run.tick(index);
                    if (index >= kept_ticks)
                        into.drop_ticks_before(index);
                },
                error))
            return run.finish();
        // Half a replay is no replay: this one starts again from the files.
        std::fprintf(stderr, "halvorn-replay: %s; the replay reads the recording again\n", error.c_str());
    }
    Recording into;
    auto run = make(into);
    // What the reader skips was told when the source was opened.
    RecordReader reader([](const std::string&) {},
                        [&](size_t index) {
                            run.tick(index);
                            if (index >= kept_ticks)
                                into.drop_ticks_before(index);
                        });
    for (const std::string& file : files_)
        reader.read(file, into);
    return run.finish();
}

RunSummary RecordingSource::replay(const ReplaySettings& layers, const Combination& combination) const
{
    return run([&](const Recording& recording) { return ReplayRun(recording, layers, combination); });
}

RunSummary RecordingSource::replay_without_halvorn() const
{
    return run([](const Recording& recording) { return BaselineRun(recording); });
}
