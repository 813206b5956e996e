#pragma once

#include <string>
#include <vector>

// Running the programs that draw the charts.

// True when `program` is an executable in a directory of the PATH.
bool on_path(const std::string& program);

// Runs argv[0] (looked up on the PATH) with `argv` and waits for it: its
// exit status, or -1 when it could not be run or was killed.
int run_and_wait(const std::vector<std::string>& argv);

// A new file in $TMPDIR (else /tmp) whose name begins with `name`: its
// descriptor, with `path`; -1, with `error`, when none could be made.
int chart_scratch_file(const std::string& name, std::string& path, std::string& error);

// Empty when gnuplot is on the PATH, else what to install.
std::string gnuplot_missing();
