#pragma once

// Runs a program to its end with a deadline, capturing both output streams.

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

struct ProgramResult {
    int status = -1;  // exit status, 128 + signal; -1 when killed at the deadline or not run
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::string> env{};  // the whole environment, "NAME=value"
    // Runs after fork, before exec (e.g. to drop privileges); a false result
    // ends the child with status 127.
    std::function<bool()> in_child{};
    std::chrono::milliseconds deadline = std::chrono::seconds(10);
    bool merge_err = false;  // standard error goes into `out` too, in order
};

// `argv` includes argv[0], which need not be `path`. Standard input is
// /dev/null; the program is killed once the deadline has passed.
ProgramResult run_program(const std::string& path, const std::vector<std::string>& argv,
                          const RunOptions& options = {});

// The test's own environment with `entries` ("NAME=value") added or replaced.
std::vector<std::string> environment_with(const std::vector<std::string>& entries);

// Reads each descriptor into its string until every one has reached end of
// file (or an error, such as EIO once a terminal's last writer is gone), or
// the deadline passes. Closes them all; true when all reached their end.
bool read_until_closed(const std::vector<std::pair<int, std::string*>>& streams,
                       std::chrono::steady_clock::time_point deadline);

// A waitpid status as a number: the exit status, 128 + signal, or -1.
int exit_code(int wait_status);

// Reaps `pid` within `deadline`; its exit_code, or -1 when it still runs.
int wait_for_exit(pid_t pid, std::chrono::milliseconds deadline);
