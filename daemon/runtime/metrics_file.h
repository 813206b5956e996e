#pragma once

#include <string>

class ControllerView;

// The controller's view in the Prometheus text exposition format.
std::string metrics_text(const ControllerView& view);

// `text` as a Prometheus label value: backslash, double quote and newline
// escaped.
std::string escape_label_value(const std::string& text);

// Keeps a Prometheus text file (for node_exporter's textfile collector) up to
// date. Each write replaces the file whole, so a reader never sees half of it.
class MetricsFile {
public:
    // Writes the view to `path`; an empty path writes nothing. A failure is
    // logged at warning, once until a write succeeds again. True when written.
    bool write(const ControllerView& view, const std::string& path);

private:
    bool failing_ = false;
};

// Replaces `path` by a file holding `text`, mode 0644, through a temporary
// file in the same directory and a rename. Empty on success, else why not.
std::string replace_file(const std::string& path, const std::string& text);
