#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "recording/recording.h"
#include "replay/sample_csv.h"

// A host that never ran halvorn, from the per-VM CPU samples other
// monitoring kept (see sample_csv.h), as a recording of a dry run would
// hold it: ticks at UpdateTime, each VM held at its last sample until its
// next, from its first sample to its last. What a recording reads and CSV
// samples do not hold is made up, and the note says so:
// - no throttle time: a dry run leaves the class-1 limit at 100 %, so
//   throttle time reads as 0;
// - the host's idle time is what the VMs leave of its CPUs;
// - a VM's percentage is spread evenly over its vCPUs;
// - the class-2 rate limit and the class-1 burst are the usual ones below.

inline constexpr int imported_class2_limit = 25;  // %
inline constexpr int imported_burst_secs = 30;
// A longer stretch without any sample (monitoring down, a wrong time) is
// not filled with held samples: the replay goes on after it as after a
// restart of the daemon.
inline constexpr int64_t longest_filled_gap_s = 24 * 3600;

// The files at `paths`, each read whole; those that cannot be read are
// named on `report` and left out.
std::vector<SampleFile> read_sample_files(const std::vector<std::string>& paths,
                                          const SampleRows::Report& report);

class SampleImport {
public:
    using Report = SampleRows::Report;
    // Checks every row of the files, naming the bad ones on `report`; the
    // files go in the order of their first sample's time. The settings are
    // the defaults under `config_text` (INI, or empty), in a dry run.
    SampleImport(std::vector<SampleFile> files, int host_cpus, const std::string& config_text,
                 const Report& report);

    // Makes the ticks into `into` one at a time, telling `taken` of each by
    // its index; `taken` may drop the ticks before it. Returns the count
    // made. Names no fault: the constructor did.
    uint64_t feed(Recording& into, const std::function<void(size_t)>& taken) const;

    // Rows skipped, over every file.
    uint64_t skipped() const { return skipped_; }

    // What the replay rests on, as lines for people, and added to a
    // summary's JSON object as "imported".
    std::string note() const;
    std::string with_note(const std::string& summary_json) const;

private:
    class TickMaker;

    std::vector<SampleFile> files_;
    HeaderRow header_;
    int64_t tick_ns_ = 0;
    std::unordered_map<std::string, int64_t> last_sample_ns_;  // by VM
    int64_t last_ns_ = 0;                                      // of the last sample
    uint64_t rows_ = 0;
    uint64_t skipped_ = 0;
};
