// The host's vCPU rate-limit knobs, one file per knob holding a decimal int.
// The compat sysctl stand-in reads and writes the same files.
#pragma once

#include <optional>
#include <string>

namespace vmmsim {

// Absent, unreadable or garbled: nullopt.
std::optional<int> read_knob(const std::string& root, const std::string& name);
// Writes a temporary file and renames it over the knob, so a reader never
// sees a half-written value.
bool write_knob(const std::string& root, const std::string& name, int value);

// The share of a CPU (0..100) a vCPU of this class may use. Class 0 is not
// limited; a missing knob does not limit either.
int class_rate_limit(const std::string& root, int vcpu_class);

// Parses the text of a knob file: optional blanks, a decimal int, optional
// trailing whitespace.
std::optional<int> parse_knob_text(const std::string& text);

}  // namespace vmmsim
