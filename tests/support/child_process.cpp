#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_program.h"

namespace {

void redirect(const std::string& path, int target)
{
    const int fd = ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        dup2(fd, target);
        ::close(fd);
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const std::string executable = options.executable.empty() ? argv.at(0) : options.executable;

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ != 0)
        return;
    // Child: only async-signal-safe work would be strictly right here, but
    // the test process is single-threaded at this point.
    if (!options.keep_output) {
        redirect(options.stdout_path, STDOUT_FILENO);
        if (options.stderr_path.empty())
            dup2(STDOUT_FILENO, STDERR_FILENO);
        else
            redirect(options.stderr_path, STDERR_FILENO);
    }
    for (const std::string& entry : options.env)
        putenv(const_cast<char*>(entry.c_str()));
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.in_child && !options.in_child())
        _exit(127);
    execv(executable.c_str(), args.data());
    _exit(127);
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::running()
{
    if (pid_ <= 0 || status_ >= 0)
        return false;
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
        status_ = exit_code(status);
        return false;
    }
    // Reaped elsewhere: it is gone, and its status with it.
    return !(got < 0 && errno == ECHILD);
}

void ChildProcess::signal(int signum)
{
    if (running())
        ::kill(pid_, signum);
}

int ChildProcess::wait(double seconds)
{
    if (!running())
        return status_;
    const auto deadline =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
    const int status = wait_for_exit(pid_, deadline);
    if (status >= 0)
        status_ = status;
    return status;
}

int ChildProcess::stop(std::chrono::milliseconds deadline)
{
    signal(SIGTERM);
    return wait(std::chrono::duration<double>(deadline).count());
}
