#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "read_text.h"

// Polls `holds` until it is true. Gives up at the deadline, or at once when
// `process` has died (after a last look: a child that did it and died counts).
bool wait_until(const std::function<bool()>& holds, double seconds, ChildProcess* process = nullptr);

// Polls `path` until it holds `needle` at least `count` times, as wait_until.
bool wait_for_text(const std::string& path, const std::string& needle, double seconds,
                   ChildProcess* process = nullptr, int count = 1);

// Polls until the FIFO at `path` has a reader (a non-blocking writer opens),
// as wait_until.
bool wait_for_reader(const std::string& path, double seconds, ChildProcess* process = nullptr);

int count_of(const std::string& text, const std::string& needle);

// Calls visit(line, offset of the line) for the lines of `text` in order,
// without their newline, until visit returns false.
void for_each_line(const std::string& text, const std::function<bool(const std::string&, size_t)>& visit);

// halvorn_ticks_total in the metrics file at `path`; 0 while it has none.
uint64_t ticks_in_metrics(const std::string& path);
