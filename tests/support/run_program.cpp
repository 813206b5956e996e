#include "run_program.h"

#include "child_process.h"

#include <algorithm>
#include <memory>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

std::vector<std::string> environment_with(const std::vector<std::string>& entries)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(entries.begin(), entries.end(),
                                          [&](const std::string& x) { return name_of(x) == name_of(entry); });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), entries.begin(), entries.end());
    return env;
}

bool read_until_closed(const std::vector<std::pair<int, std::string*>>& streams, Clock::time_point deadline)
{
    std::vector<pollfd> fds;
    for (const auto& stream : streams)
        fds.push_back({stream.first, POLLIN, 0});
    size_t open_streams = fds.size();
    while (open_streams > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                streams[i].second->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    return open_streams == 0;
}

int exit_code(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

int wait_for_exit(pid_t pid, std::chrono::milliseconds deadline)
{
    const auto until = Clock::now() + deadline;
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return exit_code(status);
        if (got < 0 || Clock::now() >= until)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ProgramResult run_program(const std::string& path, const std::vector<std::string>& argv,
                          const RunOptions& options)
{
    const auto deadline = Clock::now() + options.deadline;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        throw std::runtime_error("pipe failed");
    }
    std::unique_ptr<ChildProcess> child;
    try {
        child = std::make_unique<ChildProcess>(
            argv, ChildProcess::Options{.env = options.env,
                                        .executable = path,
                                        .in_child = options.in_child,
                                        .stdout_fd = out_pipe[1],
                                        .stderr_fd = options.merge_err ? out_pipe[1] : err_pipe[1],
                                        .whole_env = true});
    } catch (...) {
        for (const int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        throw;
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    ProgramResult result;
    read_until_closed({{out_pipe[0], &result.out}, {err_pipe[0], &result.err}}, deadline);
    // A program that closed its output may still run: it gets what is left of
    // the deadline, and a moment more; then it is killed.
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    result.status = child->wait(std::max(left, 0.1));
    return result;
}
