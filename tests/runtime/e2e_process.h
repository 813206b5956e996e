#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "read_text.h"

// Polls `path` until it holds `needle` at least `count` times. Gives up at the
// deadline, or at once when `process` has died without writing it.
bool wait_for_text(const std::string& path, const std::string& needle, double seconds,
                   ChildProcess* process = nullptr, int count = 1);

// Polls until the FIFO at `path` has a reader (a non-blocking writer opens).
// Gives up at the deadline, or at once when `process` has died.
bool wait_for_reader(const std::string& path, double seconds, ChildProcess* process = nullptr);

int count_of(const std::string& text, const std::string& needle);
