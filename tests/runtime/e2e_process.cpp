#include "e2e_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_program.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

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
    if (pid_ != 0)
        return;
    // Child: only async-signal-safe work would be strictly right here, but
    // the test process is single-threaded at this point.
    redirect(options.stdout_path, STDOUT_FILENO);
    if (options.stderr_path.empty())
        dup2(STDOUT_FILENO, STDERR_FILENO);
    else
        redirect(options.stderr_path, STDERR_FILENO);
    for (const std::string& entry : options.env)
        putenv(const_cast<char*>(entry.c_str()));
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(executable.c_str(), args.data());
    _exit(127);
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

bool ChildProcess::running()
{
    if (pid_ <= 0 || status_ >= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = exit_code(status);
        return false;
    }
    return true;
}

void ChildProcess::signal(int signum)
{
    if (running())
        ::kill(pid_, signum);
}

int ChildProcess::wait(double seconds)
{
    const auto deadline = deadline_after(seconds);
    while (running()) {
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool wait_for_text(const std::string& path, const std::string& needle, double seconds, ChildProcess* process,
                   int count)
{
    const auto deadline = deadline_after(seconds);
    for (;;) {
        // Liveness first, then a last read: a child that wrote and died still counts.
        const bool alive = process == nullptr || process->running();
        if (count_of(read_text(path), needle) >= count)
            return true;
        if (!alive || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool wait_for_reader(const std::string& path, double seconds, ChildProcess* process)
{
    const auto deadline = deadline_after(seconds);
    for (;;) {
        const bool alive = process == nullptr || process->running();
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            const bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
            ::close(fd);
            return fifo;
        }
        if (!alive || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
