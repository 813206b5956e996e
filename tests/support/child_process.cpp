#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_program.h"

extern char** environ;

namespace {

std::vector<char*> c_strings(const std::vector<std::string>& texts)
{
    std::vector<char*> out;
    for (const std::string& t : texts)
        out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

// Opened by the parent: between fork and exec a child of a test with
// threads (the soak's writers start programs side by side) may only make
// async-signal-safe calls, so the child does nothing but dup2.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

int open_output(const std::string& path)
{
    const int fd =
        ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    return fd;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options)
{
    start(&argv, nullptr, options);
}

ChildProcess::ChildProcess(const std::function<int()>& body, const Options& options)
{
    start(nullptr, &body, options);
}

void ChildProcess::start(const std::vector<std::string>* argv, const std::function<int()>* body,
                         const Options& options)
{
    const std::vector<std::string> env = options.whole_env ? options.env : environment_with(options.env);
    std::vector<char*> envp = c_strings(env);
    std::vector<char*> args = argv != nullptr ? c_strings(*argv) : std::vector<char*>{};
    const std::string executable = argv == nullptr              ? std::string()
                                   : options.executable.empty() ? argv->at(0)
                                                                : options.executable;

    const Descriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const bool own_out = !options.keep_output && options.stdout_fd < 0;
    const bool own_err = !options.keep_output && options.stderr_fd < 0 && !options.stderr_path.empty();
    const Descriptor out_file(own_out ? open_output(options.stdout_path) : -1);
    const Descriptor err_file(own_err ? open_output(options.stderr_path) : -1);
    int out = STDOUT_FILENO;
    int err = STDERR_FILENO;
    if (!options.keep_output) {
        out = own_out ? out_file.get() : options.stdout_fd;
        err = own_err ? err_file.get() : options.stderr_fd >= 0 ? options.stderr_fd : out;
    }
    // What the test has buffered would otherwise be written twice.
    std::fflush(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ != 0)
        return;
    dup2(input.get(), STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    environ = envp.data();
    if (options.in_child && !options.in_child())
        _exit(127);
    if (body != nullptr) {
        // Nothing may unwind into the test's own code in the copy.
        int status = 127;
        try {
            status = (*body)();
        } catch (...) {
        }
        std::fflush(nullptr);
        _exit(status);
    }
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

int sleep_until_killed()
{
    for (;;)
        pause();
}
