#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class ControllerView;

// One metric of the metrics file, as its HELP and TYPE lines describe it.
struct MetricInfo {
    std::string_view name;
    std::string_view type;  // "gauge" or "counter"
    std::string_view help;
};

// Every metric the file can hold, in the order it is written.
std::span<const MetricInfo> metric_table();

// What the file shows beside the controller's view: the recorder's counts.
struct RecorderCounts {
    uint64_t write_errors = 0;
};

// The controller's view in the Prometheus text exposition format.
std::string metrics_text(const ControllerView& view, const RecorderCounts& recorder = {});

// `text` as a Prometheus label value: backslash, double quote and newline
// escaped.
std::string escape_label_value(const std::string& text);

// Keeps a Prometheus text file (for node_exporter's textfile collector) up to
// date. Each write replaces the file whole, so a reader never sees half of it.
class MetricsFile {
public:
    // Writes the view to `path`; an empty path writes nothing. A failure is
    // logged at warning, once until a write succeeds again. True when written.
    // A file written before under another path (MetricsFile changed by a
    // reload) is removed, so no frozen copy stays beside the new one.
    bool write(const ControllerView& view, const std::string& path, const RecorderCounts& recorder = {});
    // Removes the file last written, as a normal stop does: its last values
    // would otherwise pass for a running daemon's.
    void remove();

private:
    bool failing_ = false;
    std::string written_;  // the file this object last wrote; empty when none
};
