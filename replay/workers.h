#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Runs `job(i)` for every i below `count` in up to `workers` forked
// processes, which share what the parent holds (the recording) without
// copying it, and each have their own process-wide settings and logger. The
// lines the jobs return (no newline in them), by index; none where a worker
// died before giving it.
std::vector<std::optional<std::string>> run_in_workers(size_t count, unsigned workers,
                                                       const std::function<std::string(size_t)>& job);

// The same with each worker's jobs given at once, so that they can share
// work (replays side by side over one reading of a recording): worker w of
// W gets jobs w, w + W, ..., and `jobs(indices)` returns their lines in
// that order.
std::vector<std::optional<std::string>>
run_shares_in_workers(size_t count, unsigned workers,
                      const std::function<std::vector<std::string>(const std::vector<size_t>&)>& jobs);
