#pragma once

// A program, or a function in a forked copy of the test, that a test starts
// and leaves running while it works. Killed and reaped when the object goes,
// whatever the test did. Every helper of the tests that starts a process
// starts it here, so the set-up between fork and exec stands in one place.

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
        // Runs in the child before exec or the function (e.g. to join a
        // process group); a false result ends the child with status 127.
        std::function<bool()> in_child{};
        bool keep_output = false;  // standard output and error stay the test's own
        // Descriptors of the test's that become the child's standard output
        // and error, in place of the paths (-1: the paths decide).
        int stdout_fd = -1;
        int stderr_fd = -1;
        bool whole_env = false;  // `env` is the child's whole environment
    };

    // Runs `argv`. Throws std::runtime_error when the process cannot be made.
    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    // Runs `body` in a forked copy of the test; what it returns is the exit
    // status. Its standard input is /dev/null, like a program's.
    ChildProcess(const std::function<int()>& body, const Options& options);
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
    void start(const std::vector<std::string>* argv, const std::function<int()>* body,
               const Options& options);

    pid_t pid_ = -1;
    int status_ = -1;
};

// A body for a child that only has to be there: sleeps until killed.
[[noreturn]] int sleep_until_killed();
