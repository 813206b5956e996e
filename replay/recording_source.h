#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recording/record_reader.h"
#include "recording/recording.h"
#include "replay/replay_settings.h"
#include "replay/summary.h"
#include "replay/tick_tape.h"

// A host's recording for replays that run many times (a sweep, a search):
// held in memory while it is small, else read again by every replay, tick
// by tick, so that a week costs a replay's memory instead of gigabytes:
// from the compact tape its first reading wrote, or from the files should
// no tape be had.
class RecordingSource {
public:
    // Files on disk up to this size in all are held in memory (about 7 bytes
    // in memory for each compressed one).
    static constexpr uint64_t in_memory_limit = 64ull << 20;

    // The files' total size on disk.
    static uint64_t size_on_disk(const std::vector<std::string>& files);

    RecordingSource() = default;
    explicit RecordingSource(Recording recording);

    // Reads `files` (in time order) once, telling `report` what it skips:
    // into memory with `keep`, else only to count and check them.
    void open(std::vector<std::string> files, bool keep, const RecordReader::Report& report);

    uint64_t ticks() const { return streamed_ ? ticks_ : recording_.ticks.size(); }
    uint64_t skipped() const { return skipped_; }
    // The settings text of the first tick's header.
    const std::string& first_settings() const { return first_settings_; }
    // The host's knobs as first read: settings' replayed_class2_rate_limit
    // and replayed_class1_burst_secs, 0 where never read.
    void recorded_knobs(Settings& settings) const;

    RunSummary replay(const ReplaySettings& layers, const Combination& combination) const;
    RunSummary replay_without_halvorn() const;
    // Replays side by side over one reading of the recording, so that each
    // tick's rows are read once for all: a summary for each of `runs`, the
    // combination's replay or, for none, the host without halvorn.
    std::vector<RunSummary> replay_all(const ReplaySettings& layers,
                                       const std::vector<std::optional<Combination>>& runs) const;

    // Most replays run side by side: each adds its state to what the
    // processor's caches hold while a tick's rows are read.
    static constexpr size_t side_by_side = 8;

private:
    std::vector<RunSummary> replay_group(const ReplaySettings& layers,
                                         const std::vector<std::optional<Combination>>& runs) const;
    std::vector<std::string> files_;
    bool streamed_ = false;
    std::shared_ptr<TickTape> tape_;  // copies share it, read only
    Recording recording_;
    uint64_t ticks_ = 0;
    uint64_t skipped_ = 0;
    std::string first_settings_;
    int32_t class2_rate_limit_ = 0;
    int32_t class1_burst_secs_ = 0;
};
