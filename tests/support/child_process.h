#pragma once

// A program a test starts and leaves running while it works. Killed and
// reaped when the object goes, whatever the test did.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> env{};  // "NAME=value" added to the test's own
        std::string stdout_path{};       // empty: /dev/null
        std::string stderr_path{};       // empty: same as stdout
        std::string executable{};        // empty: argv[0]
        // Runs in the child just before exec (e.g. to join a process group);
        // a false result ends the child with status 127.
        std::function<bool()> in_child{};
        bool keep_output = false;  // standard output and error stay the test's own
    };

    // Throws std::runtime_error when the process cannot be made.
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
    // SIGTERM, then wait as above.
    int stop(std::chrono::milliseconds deadline);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};
