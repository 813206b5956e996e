#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// CSV files of per-VM CPU samples, as other monitoring keeps them:
//
//   time,vm,vcpus,cpu_percent
//   2024-05-01T12:00:00Z,web01,4,37.5
//   1714564805,db01,8,410
//
// A header line names the four columns, in any order and without regard to
// case (other columns are passed over). Each row is one sample of one VM:
// the time as Unix seconds or ISO 8601 (UTC when it names no zone), the
// VM's name, its vCPU count, and the CPU it used in percent of one CPU, so
// at most 100 x vcpus. Rows come in time order; the rows of one time make
// one sample of the host.

inline constexpr int32_t most_vcpus = 1024;
inline constexpr int most_host_cpus = 1024;

struct Sample {
    int64_t time_ns = 0;  // Unix time
    std::string vm;
    int32_t vcpus = 0;
    double percent = 0.0;  // of one CPU: 0 .. 100 x vcpus
};

struct SampleFile {
    std::string name;
    std::string bytes;
};

// Reads the rows of CSV files of samples one at a time, the files in the
// order given as one series. A bad row (columns other than the header's, a
// field that does not read, a time that goes back, a percentage out of
// range, a VM whose vCPU count changes within one sample or that has two
// rows in it) is named with file and line and skipped, as is an empty file
// or one whose header lacks a column; reading goes on with the next row.
// Of each kind of fault the first few of a file are named, the rest counted.
class SampleRows {
public:
    using Report = std::function<void(const std::string&)>;
    // An empty `report` reads silently. The files must outlive the reader.
    SampleRows(std::span<const SampleFile> files, Report report);

    // The next good sample; null after the last.
    const Sample* next();
    // Rows skipped, and files skipped as a whole for want of a header.
    uint64_t skipped() const { return skipped_; }
    // "file:line" of the sample next() returned last.
    std::string where() const;

    enum Fault : size_t { columns, unreadable, time_back, out_of_range, vcpus_changed, twice, fault_kinds };

private:
    bool next_line(std::string_view& line);
    void start_file();
    void end_file();
    void read_header(std::string_view line);
    bool take_row(std::string_view line);
    bool skip(Fault fault, const std::string& why);
    void say(uint64_t line, const std::string& text) const;

    std::span<const SampleFile> files_;
    Report report_;
    uint64_t skipped_ = 0;

    size_t file_ = 0;
    bool in_file_ = false;
    std::string_view rest_;  // of the file being read
    uint64_t line_ = 0;
    bool header_read_ = false;
    bool header_ok_ = false;
    bool any_row_ = false;
    size_t column_count_ = 0;
    size_t time_column_ = 0;
    size_t vm_column_ = 0;
    size_t vcpus_column_ = 0;
    size_t percent_column_ = 0;
    uint64_t shown_[fault_kinds] = {};
    uint64_t first_line_[fault_kinds] = {};

    std::vector<std::string> fields_;
    Sample sample_;
    std::optional<int64_t> last_time_ns_;
    // The VMs of the sample at `last_time_ns_`, with their vCPU counts.
    std::unordered_map<std::string, int32_t> at_last_time_;
};

// "2024-05-01T12:00:00Z", "2024-05-01 14:00:00.5+02:00" (UTC without a zone)
// or Unix seconds "1714564800.25" as Unix nanoseconds; none for anything
// else, or a time before 1970 or after 2255.
std::optional<int64_t> parse_sample_time(std::string_view text);

// Whether a file's first line is the header of a CSV (a line with a comma
// that is no record) rather than the start of a recording.
bool is_csv_header(std::string_view first_line);
