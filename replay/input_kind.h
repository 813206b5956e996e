#pragma once

#include <string>
#include <vector>

// What halvorn-replay is given: recordings, or CSV samples of a host that
// never ran halvorn (see sample_csv.h), told apart by each file's first
// line. A file that tells nothing (empty, unreadable) goes with the others.
enum class InputKind { recordings, samples };

// Empty, or the usage error: both kinds at once, samples without the
// host's CPU count (`host_cpus` 0), or a CPU count for recordings.
std::string input_kind(const std::vector<std::string>& files, int host_cpus, InputKind& kind);
