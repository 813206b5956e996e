#include "fake_vm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

constexpr int ready_timeout_ms = 10000;

// Waits for `pid` to end, at most about a second; false when it did not.
bool reap(pid_t pid)
{
    for (int i = 0; i < 1000; ++i) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

[[noreturn]] void exec_bhyve(const std::vector<std::string>& args)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(fake_bhyve_path(), argv.data());
    _exit(127);
}

}  // namespace

const char* fake_bhyve_path() { return FAKE_BHYVE_PATH; }

FakeVm::FakeVm(const FakeVmOptions& options)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // Only the write end reaches the fake bhyve.
    const int ready_fd = fcntl(fds[1], F_DUPFD, 100);

    std::vector<std::string> args{options.title, "-r", std::to_string(ready_fd)};
    if (options.vcpus > 0)
        args.insert(args.end(), {"-n", std::to_string(options.vcpus)});
    for (const auto& name : options.threads)
        args.insert(args.end(), {"-t", name});
    if (options.burn)
        args.push_back("-b");

    child_ = fork();
    if (child_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!options.supervised) {
            setpgid(0, options.group);
            exec_bhyve(args);
        }
        setpgid(0, 0);
        pid_t vm = fork();
        if (vm == 0)
            exec_bhyve(args);
        close(ready_fd);
        int status = 0;
        waitpid(vm, &status, 0);
        _exit(0);
    }
    close(ready_fd);
    close(fds[1]);
    if (child_ < 0) {
        close(fds[0]);
        throw std::runtime_error("fork failed");
    }
    group_ = options.supervised || options.group == 0 ? child_ : options.group;
    setpgid(child_, group_);  // either side may win the race; both set the same
    parent_ = options.supervised ? child_ : getpid();

    pollfd p{fds[0], POLLIN, 0};
    pid_t started = -1;
    bool ok = poll(&p, 1, ready_timeout_ms) == 1 && read(fds[0], &started, sizeof started) == sizeof started;
    close(fds[0]);
    if (!ok) {
        kill(child_, SIGKILL);
        reap(child_);
        throw std::runtime_error("fake bhyve did not start");
    }
    pid_ = started;
}

FakeVm::~FakeVm()
{
    kill(pid_, SIGKILL);
    if (child_ != pid_)
        kill(child_, SIGKILL);
    reap(child_);
    // A supervised VM may have been handed to us (as pid 1 of a namespace).
    if (child_ != pid_)
        reap(pid_);
}
