#include "fake_vm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "child_process.h"
#include "run_program.h"

namespace {

constexpr int ready_timeout_ms = 10000;

// The fake bhyve, started by the test itself or by its supervisor.
std::unique_ptr<ChildProcess> start_bhyve(const std::vector<std::string>& args, pid_t group)
{
    const auto enter = [group] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, group);
        return true;
    };
    return std::make_unique<ChildProcess>(
        args, ChildProcess::Options{.executable = fake_bhyve_path(), .in_child = enter, .keep_output = true});
}

// A supervisor leads the group, starts the VM in it and ends with it, as
// bhyve's do.
int supervise(const std::vector<std::string>& args, int ready_fd)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setpgid(0, 0);
    const auto vm = start_bhyve(args, getpid());
    close(ready_fd);  // only the VM may answer
    waitpid(vm->pid(), nullptr, 0);
    return 0;
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

    try {
        if (options.supervised)
            child_ = std::make_unique<ChildProcess>([&] { return supervise(args, ready_fd); },
                                                    ChildProcess::Options{.keep_output = true});
        else
            child_ = start_bhyve(args, options.group);
    } catch (...) {
        close(ready_fd);
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(ready_fd);
    close(fds[1]);
    const pid_t child = child_->pid();
    group_ = options.supervised || options.group == 0 ? child : options.group;
    setpgid(child, group_);  // either side may win the race; both set the same
    parent_ = options.supervised ? child : getpid();

    pollfd p{fds[0], POLLIN, 0};
    pid_t started = -1;
    bool ok = poll(&p, 1, ready_timeout_ms) == 1 && read(fds[0], &started, sizeof started) == sizeof started;
    close(fds[0]);
    if (!ok)
        throw std::runtime_error("fake bhyve did not start");  // child_ kills and reaps it
    pid_ = started;
}

FakeVm::~FakeVm()
{
    kill(pid_, SIGKILL);
    const bool supervised = child_->pid() != pid_;
    child_.reset();
    // A supervised VM may have been handed to us (as pid 1 of a namespace).
    if (supervised)
        wait_for_exit(pid_, std::chrono::seconds(1));
}
