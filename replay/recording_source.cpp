#include "replay/recording_source.h"

#include <algorithm>
#include <cstdio>
#include <deque>

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

// Replays fed the same ticks one after another.
class SideBySide {
public:
    SideBySide(const Recording& recording, const ReplaySettings& layers,
               const std::vector<std::optional<Combination>>& runs)
    {
        for (const std::optional<Combination>& combination : runs) {
            if (combination)
                replays_.emplace_back(recording, layers, *combination);
            else
                baselines_.emplace_back(recording);
        }
    }
    void tick(size_t index)
    {
        for (ReplayRun& run : replays_)
            run.tick(index);
        for (BaselineRun& run : baselines_)
            run.tick(index);
    }
    // In the order of `runs`.
    std::vector<RunSummary> finish(const std::vector<std::optional<Combination>>& runs)
    {
        std::vector<RunSummary> summaries;
        size_t replay = 0;
        size_t baseline = 0;
        for (const std::optional<Combination>& combination : runs)
            summaries.push_back(combination ? replays_[replay++].finish() : baselines_[baseline++].finish());
        return summaries;
    }

private:
    // Deques: runs hold their place, being neither copied nor moved.
    std::deque<ReplayRun> replays_;
    std::deque<BaselineRun> baselines_;
};

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

std::vector<RunSummary>
RecordingSource::replay_group(const ReplaySettings& layers,
                              const std::vector<std::optional<Combination>>& runs) const
{
    if (!streamed_) {
        SideBySide side(recording_, layers, runs);
        for (size_t i = 0; i < recording_.ticks.size(); ++i)
            side.tick(i);
        return side.finish(runs);
    }
    if (tape_ && tape_->is_open()) {
        Recording into;
        SideBySide side(into, layers, runs);
        std::string error;
        if (tape_->play(
                into,
                [&](size_t index) {
                    side.tick(index);
                    if (index >= kept_ticks)
                        into.drop_ticks_before(index);
                },
                error))
            return side.finish(runs);
        // Half a replay is no replay: this one starts again from the files.
        std::fprintf(stderr, "halvorn-replay: %s; the replay reads the recording again\n", error.c_str());
    }
    Recording into;
    SideBySide side(into, layers, runs);
    // What the reader skips was told when the source was opened.
    RecordReader reader([](const std::string&) {},
                        [&](size_t index) {
                            side.tick(index);
                            if (index >= kept_ticks)
                                into.drop_ticks_before(index);
                        });
    for (const std::string& file : files_)
        reader.read(file, into);
    return side.finish(runs);
}

std::vector<RunSummary> RecordingSource::replay_all(const ReplaySettings& layers,
                                                    const std::vector<std::optional<Combination>>& runs) const
{
    std::vector<RunSummary> summaries;
    for (size_t first = 0; first < runs.size(); first += side_by_side) {
        const auto end =
            runs.begin() + static_cast<std::ptrdiff_t>(std::min(runs.size(), first + side_by_side));
        for (RunSummary& summary :
             replay_group(layers, {runs.begin() + static_cast<std::ptrdiff_t>(first), end}))
            summaries.push_back(std::move(summary));
    }
    return summaries;
}

RunSummary RecordingSource::replay(const ReplaySettings& layers, const Combination& combination) const
{
    return replay_all(layers, {combination}).front();
}

RunSummary RecordingSource::replay_without_halvorn() const
{
    return replay_all(ReplaySettings{}, {std::nullopt}).front();
}
