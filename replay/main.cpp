// halvorn-replay: the daemon's controller over a recording of a host, in
// simulated time, with the recorded settings or any others.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>

#include "io/whole_file.h"
#include "recording/record_reader.h"
#include "replay/chart.h"
#include "replay/child_run.h"
#include "replay/command.h"
#include "replay/front_chart.h"
#include "replay/input_files.h"
#include "replay/input_kind.h"
#include "replay/replay_run.h"
#include "replay/sample_import.h"
#include "replay/suggest_run.h"
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

// Feeds a replay's ticks into a recording, telling `taken` of each; returns
// the records skipped.
using Feed = std::function<uint64_t(Recording&, const RecordReader::TickTaken&)>;

Feed read_recordings(const std::vector<std::string>& files)
{
    return [files](Recording& into, const RecordReader::TickTaken& taken) {
        RecordReader reader(report, taken);
        for (const std::string& file : files)
            reader.read(file, into);
        return reader.skipped();
    };
}

Feed import_samples(const SampleImport& import)
{
    return [&import](Recording& into, const RecordReader::TickTaken& taken) {
        import.feed(into, taken);
        return import.skipped();
    };
}

// Replays each tick as it is fed, so the recording is never held whole.
RecordReader::TickTaken replaying(ReplayRun& run, Recording& recording)
{
    return [&run, &recording](size_t index) {
        run.tick(index);
        // The tick just replayed is the base of the next.
        if (index >= 256)
            recording.drop_ticks_before(index);
    };
}

unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// The sweep's rows, or what did not finish.
int print_rows(const std::vector<std::optional<std::string>>& lines, const std::vector<Combination>& all,
               bool json, uint64_t ticks, uint64_t skipped, const SampleImport* imported)
{
    std::vector<SweepRow> rows;
    for (size_t i = 0; i < lines.size() && rows.size() == i; ++i) {
        if (const std::optional<SweepRow> row = lines[i] ? decode_row(*lines[i]) : std::nullopt)
            rows.push_back(*row);
        else
            std::fprintf(stderr, "halvorn-replay: the replay of %s did not finish\n",
                         i == 0 ? "the host without halvorn" : describe(all[i - 1]).c_str());
    }
    const bool finished = rows.size() == lines.size();
    if (finished) {
        std::string out = json ? sweep_json(rows, all) : sweep_table(rows);
        if (imported && !json)
            out += "\n" + imported->note();
        else if (imported)
            std::fputs(imported->note().c_str(), stderr);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    tell_counts(ticks, skipped);
    return finished ? 0 : failure;
}

// Every combination replayed on workers, over the recording held in memory
// or, when large, read again by each; the host without halvorn first.
int sweep(const std::vector<std::string>& files, const ReplaySettings& layers,
          const std::vector<Combination>& asked, bool json)
{
    RecordingSource recording;
    recording.open(files, RecordingSource::size_on_disk(files) <= RecordingSource::in_memory_limit, report);
    if (recording.ticks() == 0)
        return nothing_replayed(recording.skipped());
    // Rows name the values replayed, which the bounds may have changed.
    std::vector<std::string> changes;
    const std::vector<Combination> all = layers.used(asked, recording.first_settings(), changes);
    tell_changes(changes);
    // Each worker replays its share side by side over one reading.
    const auto lines =
        run_shares_in_workers(all.size() + 1, cores(), [&](const std::vector<size_t>& indices) {
            std::vector<std::optional<Combination>> runs;
            for (const size_t i : indices)
                runs.push_back(i == 0 ? std::nullopt : std::optional<Combination>(all[i - 1]));
            const std::vector<RunSummary> summaries = recording.replay_all(layers, runs);
            std::vector<std::string> rows;
            for (size_t k = 0; k < indices.size(); ++k)
                rows.push_back(encode_row(indices[k] == 0 ? baseline_row(summaries[k])
                                                          : sweep_row(all[indices[k] - 1], summaries[k])));
            return rows;
        });
    return print_rows(lines, all, json, recording.ticks(), recording.skipped(), nullptr);
}

// Every combination replayed on workers that each make the imported ticks
// as they replay them: a week of them would not fit in memory.
int sweep_imported(const SampleImport& import, const ReplaySettings& layers,
                   const std::vector<Combination>& all, bool json)
{
    Recording counting;
    const uint64_t ticks =
        import.feed(counting, [&counting](size_t index) { counting.drop_ticks_before(index); });
    if (ticks == 0)
        return nothing_replayed(import.skipped());
    const auto lines = run_in_workers(all.size() + 1, cores(), [&](size_t i) {
        Recording recording;
        if (i == 0) {
            BaselineRun run(recording);
            import.feed(recording, [&](size_t index) {
                run.tick(index);
            if (index >= 256)
                recording.drop_ticks_before(index);
        });
        return encode_row(baseline_row(run.finish()));
        }
        ReplayRun run(recording, layers, all[i - 1]);
        import.feed(recording, replaying(run, recording));
        return encode_row(sweep_row(all[i - 1], run.finish()));
});
return print_rows(lines, all, json, ticks, import.skipped(), &import);
}

// The settings found best, for one host or a fleet.
int suggest(const ReplayCommand& command, const ReplaySettings& layers)
{
    std::vector<std::pair<std::string, std::vector<std::string>>> named = command.hosts;
    if (named.empty())
        named.emplace_back("host", command.recordings);
    // The narrowings are checked before anything is read.
    std::vector<SuggestDimension> checked = suggest_dimensions(Settings{});
    for (const std::string& text : command.set_texts)
        if (std::string wrong = narrow_dimensions(checked, text, Settings{}); !wrong.empty())
            return usage(wrong);
    std::vector<std::string> every_file;
    for (const auto& [name, files] : named)
        every_file.insert(every_file.end(), files.begin(), files.end());
    const bool keep = RecordingSource::size_on_disk(every_file) <= RecordingSource::in_memory_limit;
    // The hosts are read on every core, what each tells kept for its turn.
    std::vector<SuggestHost> hosts;
    for (const auto& [name, files] : named)
        hosts.push_back({name, {}});
    std::vector<std::vector<std::string>> told(hosts.size());
    std::atomic<size_t> next{0};
    const auto read_hosts = [&] {
        for (size_t h = next++; h < hosts.size(); h = next++) {
            const auto tell = [&told, h](const std::string& message) { told[h].push_back(message); };
            hosts[h].recording.open(recordings_to_replay(named[h].second, tell), keep, tell);
        }
    };
    std::vector<std::thread> readers;
    for (size_t i = 1; i < std::min<size_t>(cores(), hosts.size()); ++i)
        readers.emplace_back(read_hosts);
    read_hosts();
    for (std::thread& reader : readers)
        reader.join();
    uint64_t ticks = 0;
    uint64_t skipped = 0;
    for (size_t h = 0; h < hosts.size(); ++h) {
        for (const std::string& message : told[h])
            report(message);
        skipped += hosts[h].recording.skipped();
        if (hosts[h].recording.ticks() == 0) {
            std::fprintf(stderr, "halvorn-replay: host %s: no tick could be replayed\n",
                         hosts[h].name.c_str());
            tell_counts(ticks, skipped);
            return failure;
        }
        ticks += hosts[h].recording.ticks();
    }
    Settings recorded;
    std::string error;
    (void)layers.settings(hosts.front().recording.first_settings(), {}, recorded, error);
    // The knobs are the host's: a search of them starts at the recorded values.
    hosts.front().recording.recorded_knobs(recorded);
    std::vector<SuggestDimension> dimensions = suggest_dimensions(recorded);
    for (const std::string& text : command.set_texts)
        (void)narrow_dimensions(dimensions, text, recorded);  // checked above
    const Suggestion found = suggest_settings(hosts, layers, dimensions, command.budget);
    const std::string out = command.json ? suggestion_json(found) : suggestion_table(found);
    std::fwrite(out.data(), 1, out.size(), stdout);
    int status = found.front.empty() ? failure : 0;
    if (status == 0 && !command.chart.empty()) {
        std::string error;
        if (!draw_front_chart(found, front_chart_title(named), command.chart, error)) {
            std::fprintf(stderr, "halvorn-replay: %s\n", error.c_str());
            status = failure;
        }
    }
    tell_counts(ticks, skipped);
    return status;
}

// The summary, or nothing where the log took its place; and what the
// recording could not tell.
void print_summary(const RunSummary& summary, const Settings& shown, const ReplayCommand& command,
                   const SampleImport* imported)
{
    if (!command.log) {
        std::string out = command.json ? summary_json(summary, shown) : summary_text(summary, shown);
        if (imported)
            out = command.json ? imported->with_note(out) : out + "\n" + imported->note();
        std::fwrite(out.data(), 1, out.size(), stdout);
    } else if (imported) {
        std::fputs(imported->note().c_str(), stderr);
    }
    if (summary.unrecorded_throttle_reads > 0)
        std::fprintf(stderr,
                     "halvorn-replay: VMs with fewer vCPUs than the recording's VCPU had no throttle time "
                     "recorded; it counted as 0 in %llu reads\n",
                     static_cast<unsigned long long>(summary.unrecorded_throttle_reads));
}

// One replay, each tick as it is fed.
int replay_one(const Feed& feed, const ReplaySettings& layers, const Combination& combination,
               const ReplayCommand& command, ReplayChart& chart, const SampleImport* imported)
{
    ReplayOptions options;
    options.log = command.log;
    options.baseline = true;
    if (!command.chart.empty())
        options.after_tick = [&chart](const TickRow& tick, const ControllerView& view,
                                      const ReplayHost& host) { chart.after_tick(tick, view, host); };
    Recording recording;
    ReplayRun run(recording, layers, combination, options);
    const uint64_t skipped = feed(recording, replaying(run, recording));
    if (run.ticks() == 0)
        return nothing_replayed(skipped);
    const Settings& shown = run.first_settings();
    print_summary(run.finish(), shown, command, imported);
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
    tell_counts(run.ticks(), skipped);
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
    std::string config_text;
    if (!command.config.empty()) {
        std::string error;
        if (!read_whole_file(command.config, config_text, error))
            return usage(command.config + " cannot be read: " + error);
        if (!layers.set_config(config_text, error))
            return usage(command.config + ": " + error);
    }
    const std::vector<Combination> all = combinations(command.sets);
    if (all.size() > 1 && !command.suggest && (command.log || !command.chart.empty()))
        return usage("--log and --chart replay one combination of settings, not " +
                     std::to_string(all.size()));
    InputKind kind = InputKind::recordings;
    if (const std::string error = input_kind(command.recordings, command.host_cpus, kind); !error.empty())
        return usage(error);

    ReplayChart chart;  // before the reading: a missing gnuplot is told at once
    if (!command.chart.empty()) {
        // The search's chart needs gnuplot alone.
        std::string error = command.suggest ? gnuplot_missing() : std::string();
        if (!error.empty() || (!command.suggest && !chart.prepare(error))) {
            std::fprintf(stderr, "halvorn-replay: %s\n", error.c_str());
            return failure;
        }
    }

    if (command.suggest)
        return suggest(command, layers);
    if (kind == InputKind::samples) {
        const SampleImport import(read_sample_files(command.recordings, report), command.host_cpus,
                                  config_text, report);
        if (all.size() > 1)
            return sweep_imported(import, layers, all, command.json);
        return replay_one(import_samples(import), layers, all.front(), command, chart, &import);
    }
    const std::vector<std::string> files = recordings_to_replay(command.recordings, report);
    if (files.empty())
        return usage("no recording to replay");
    if (all.size() > 1)
        return sweep(files, layers, all, command.json);
    return replay_one(read_recordings(files), layers, all.front(), command, chart, nullptr);
}
