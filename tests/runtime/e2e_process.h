#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "read_text.h"

// A child process of a test, with its standard output and error going to
// files. Killed and reaped when the object goes, whatever the test did.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> env;  // "NAME=value" added to the test's own
        std::string stdout_path;       // empty: /dev/null
        std::string stderr_path;       // empty: same as stdout
        std::string executable;        // empty: argv[0]
    };

    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int signum);
    // Exit status, 128 + signal for a killed child, or -1 when it still runs
    // after `seconds`.
    int wait(double seconds);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Polls `path` until it holds `needle` at least `count` times. Gives up at the
// deadline, or at once when `process` has died without writing it.
bool wait_for_text(const std::string& path, const std::string& needle, double seconds,
                   ChildProcess* process = nullptr, int count = 1);

// Polls until the FIFO at `path` has a reader (a non-blocking writer opens).
// Gives up at the deadline, or at once when `process` has died.
bool wait_for_reader(const std::string& path, double seconds, ChildProcess* process = nullptr);

int count_of(const std::string& text, const std::string& needle);
