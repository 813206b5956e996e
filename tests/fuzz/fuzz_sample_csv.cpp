// Bytes as CSV samples of a host's VMs: the first byte picks the host's CPU
// count, a form feed parts two files. The reader never fails hard, every row
// it keeps lies within bounds and in time order, every fault names its file
// and line, and the ticks made of the rows hold together and replay.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>

#include "controller/nanoseconds.h"
#include "recording_rows.h"
#include "replay/replay_run.h"
#include "replay/sample_csv.h"
#include "replay/sample_import.h"

namespace {

// Ticks of 10 s, so that an hour of samples is few of them.
constexpr const char* slow_ticks = "[COMMON]\nUpdateTime = 10000\n";
constexpr int64_t most_filled_ns = 3600 * one_second_ns;

// "a.csv:12: ...".
void require_named(const std::string& message)
{
    const size_t colon = message.find(':');
    require(colon != std::string::npos);
    const std::string_view file = std::string_view(message).substr(0, colon);
    require(file == "a.csv" || file == "b.csv");
    size_t at = colon + 1;
    while (at < message.size() && message[at] >= '0' && message[at] <= '9')
        ++at;
    require(at > colon + 1 && at + 2 < message.size() && message.compare(at, 2, ": ") == 0);
}

// The ticks made advance, and so do the host's CPU time counters.
void require_ticks_advance(const Recording& recording)
{
    for (size_t i = 1; i < recording.ticks.size(); ++i) {
        require(recording.ticks[i].clock_ns > recording.ticks[i - 1].clock_ns);
        require(recording.ticks[i].cpu.idle >= recording.ticks[i - 1].cpu.idle);
        require(recording.ticks[i].cpu.user >= recording.ticks[i - 1].cpu.user);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int host_cpus = 1 + data[0] % 64;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = rest.find('\f');
    std::vector<SampleFile> files{{"a.csv", std::string(rest.substr(0, cut))}};
    if (cut != std::string_view::npos)
        files.push_back({"b.csv", std::string(rest.substr(cut + 1))});

    std::vector<int64_t> times;
    for (const SampleFile& file : files) {
        SampleRows rows({&file, 1}, require_named);
        int64_t last = 0;
        while (const Sample* sample = rows.next()) {
            require(sample->vcpus >= 1 && sample->vcpus <= most_vcpus);
            require(sample->percent >= 0.0 && sample->percent <= 100.0 * sample->vcpus);
            require(!sample->vm.empty());
            require(sample->time_ns >= last);
            last = sample->time_ns;
            times.push_back(sample->time_ns);
        }
    }

    const SampleImport import(files, host_cpus, slow_ticks, require_named);
    // The ticks fill every gap of up to a day: a handful of bytes could ask
    // for weeks of them. The gaps of all rows bound those of the rows kept.
    std::sort(times.begin(), times.end());
    int64_t filled = 0;
    for (size_t i = 1; i < times.size(); ++i)
        if (times[i] - times[i - 1] <= longest_filled_gap_s * one_second_ns)
            filled += times[i] - times[i - 1];
    if (filled > most_filled_ns)
        return 0;
    Recording recording;
    const uint64_t made = import.feed(recording, {});
    require(made == recording.ticks.size());
    require_rows_within(recording);
    require_ticks_advance(recording);
    if (made > 0)
        (void)replay(recording, ReplaySettings{}, Combination{});
    spdlog::set_level(spdlog::level::off);
    return 0;
}
