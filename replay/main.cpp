// halvorn-replay: the daemon's controller over a recording of a host, in
// simulated time, with the recorded settings or any others.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

#include "io/whole_file.h"
#include "recording/record_reader.h"
#include "replay/chart.h"
#include "replay/command.h"
#include "replay/input_files.h"
#include "replay/replay_run.h"
#include "replay/workers.h"
#include "startup/settings.h"

namespace {

constexpr int usage_error = 2;
constexpr int failure = 1;

int usage(const std::string& error)
{
    std::fprintf(stderr, "halvorn-replay: %s\n%s", error.c_str(), replay_usage);
    return usage_error;
}

void tell_counts(uint64_t ticks, uint64_t skipped)
{
    std::fprintf(stderr, "halvorn-replay: %llu ticks replayed, %llu records skipped\n",
                 static_cast<unsigned long long>(ticks), static_cast<unsigned long long>(skipped));
}

int nothing_replayed(uint64_t skipped)
{
    std::fputs("halvorn-replay: no tick could be replayed\n", stderr);
    tell_counts(0, skipped);
    return failure;
}

void report(const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); }

void tell_changes(const std::vector<std::string>& changes)
{
    for (const std::string& change : changes)
        std::fprintf(stderr, "halvorn-replay: %s\n", change.c_str());
}

// Every combination replayed on workers over the recording read once.
int sweep(const std::vector<std::string>& files, const ReplaySettings& layers,
          const std::vector<Combination>& asked, bool json)
{
    Recording recording;
    RecordReader reader(report);
    for (const std::string& file : files)
        reader.read(file, recording);
    if (recording.ticks.empty())
        return nothing_replayed(reader.skipped());
    // Rows name the values replayed, which the bounds may have changed.
    std::vector<std::string> changes;
    const std::vector<Combination> all = layers.used(asked, recording.headers.front().settings, changes);
    tell_changes(changes);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto lines = run_in_workers(all.size(), cores, [&](size_t i) {
        return encode_row(sweep_row(all[i], replay(recording, layers, all[i])));
    });
    std::vector<SweepRow> rows;
    for (size_t i = 0; i < lines.size() && rows.size() == i; ++i) {
        if (const std::optional<SweepRow> row = lines[i] ? decode_row(*lines[i]) : std::nullopt)
            rows.push_back(*row);
        else
            std::fprintf(stderr, "halvorn-replay: the replay of %s did not finish\n",
                         describe(all[i]).c_str());
    }
    const bool finished = rows.size() == lines.size();
    if (finished) {
        const std::string out = json ? sweep_json(rows, all) : sweep_table(rows);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    tell_counts(recording.ticks.size(), reader.skipped());
    return finished ? 0 : failure;
}

// The summary, or nothing where the log took its place; and what the
// recording could not tell.
void print_summary(const RunSummary& summary, const Settings& shown, const ReplayCommand& command)
{
    if (!command.log) {
        const std::string out = command.json ? summary_json(summary, shown) : summary_text(summary, shown);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (summary.unrecorded_throttle_reads > 0)
        std::fprintf(stderr,
                     "halvorn-replay: VMs with fewer vCPUs than the recording's VCPU had no throttle time "
                     "recorded; it counted as 0 in %llu reads\n",
                     static_cast<unsigned long long>(summary.unrecorded_throttle_reads));
}

// One replay, each tick as it is read, so the recording is never held whole.
int replay_one(const std::vector<std::string>& files, const ReplaySettings& layers,
               const Combination& combination, const ReplayCommand& command, ReplayChart& chart)
{
    ReplayOptions options;
    options.log = command.log;
    if (!command.chart.empty())
        options.after_tick = [&chart](const TickRow& tick, const ControllerView& view,
                                      const ReplayHost& host) { chart.after_tick(tick, view, host); };
    Recording recording;
    ReplayRun run(recording, layers, combination, options);
    RecordReader reader(report, [&](size_t index) {
        run.tick(index);
        // The tick just replayed is the base of the next.
        if (index >= 256)
            recording.drop_ticks_before(index);
    });
    for (const std::string& file : files)
        reader.read(file, recording);
    if (run.ticks() == 0)
        return nothing_replayed(reader.skipped());
    const Settings& shown = run.first_settings();
    print_summary(run.finish(), shown, command);
    std::vector<std::string> changes;
    const Combination used = as_used(combination, shown, changes);
    tell_changes(changes);
    int status = 0;
    if (!command.chart.empty()) {
        std::string error;
        const std::string title =
            "halvorn-replay: " + (used.empty() ? std::string("the recorded settings") : describe(used));
        if (!chart.draw(command.chart, shown, title, error)) {
            std::fprintf(stderr, "halvorn-replay: %s\n", error.c_str());
            status = failure;
        }
    }
    tell_counts(run.ticks(), reader.skipped());
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    ReplayCommand command;
    if (const std::string error = parse_command(argc, argv, command); !error.empty())
        return usage(error);
    if (command.help) {
        std::fputs(replay_usage, stdout);
        return 0;
    }

    ReplaySettings layers;
    if (!command.config.empty()) {
        std::string text;
        std::string error;
        if (!read_whole_file(command.config, text, error))
            return usage(command.config + " cannot be read: " + error);
        if (!layers.set_config(text, error))
            return usage(command.config + ": " + error);
    }
    const std::vector<Combination> all = combinations(command.sets);
    if (all.size() > 1 && (command.log || !command.chart.empty()))
        return usage("--log and --chart replay one combination of settings, not " +
                     std::to_string(all.size()));

    ReplayChart chart;  // before the reading: a missing gnuplot is told at once
    if (!command.chart.empty()) {
        std::string error;
        if (!chart.prepare(error)) {
            std::fprintf(stderr, "halvorn-replay: %s\n", error.c_str());
            return failure;
        }
    }

    const std::vector<std::string> files = recordings_to_replay(command.recordings, report);
    if (files.empty())
        return usage("no recording to replay");
    if (all.size() > 1)
        return sweep(files, layers, all, command.json);
    return replay_one(files, layers, all.front(), command, chart);
}
