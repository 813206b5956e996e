#include "supervisor.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/demand_list.h"
#include "common/sim_paths.h"
#include "common/vm_state.h"
#include "scenario.h"
#include "vm_control.h"

namespace vmmsim {
namespace {

class Supervisor {
public:
    Supervisor(VmSpec vm_def, int period_ms) : spec_(std::move(vm_def)), period_ms_(period_ms) {}

    int run()
    {
        setpgid(0, 0);  // already the leader when started through setsid
        if (!claim_directory())
            return 1;
        state_ = StateMapping::create(state_path(root_, spec_.name));
        if (!state_) {
            complain("cannot create its state", errno);
            remove_tree(dir_);
            return 1;
        }
        init_state(*state_, spec_.name, spec_.vcpus, spec_.demand.data(), spec_.vcpu_class, period_ms_);
        store<int32_t>(state_->supervisor_pid, getpid());
        state_.publish();

        sigset_t signals;
        sigemptyset(&signals);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD})
            sigaddset(&signals, s);
        sigprocmask(SIG_BLOCK, &signals, nullptr);

        if (!start_bhyve())
            return finish(1);
        for (;;) {
            int signal = sigwaitinfo(&signals, nullptr);
            if (signal == SIGTERM || signal == SIGINT) {
                stop_bhyve();
                return finish(0);
            }
            if (signal == SIGHUP) {
                stop_bhyve();
                reset_state(*state_);
                if (!start_bhyve())
                    return finish(1);
            } else if (signal == SIGCHLD && bhyve_ended()) {
                // Contexts still open on it must fail from now on.
                store<int32_t>(state_->bhyve_pid, 0);
                std::fprintf(stderr, "vmmsim: VM %s: bhyve ended by itself\n", spec_.name.c_str());
                return finish(1);
            }
        }
    }

private:
    void complain(const char* what, int error) const
    {
        std::fprintf(stderr, "vmmsim: VM %s: %s: %s\n", spec_.name.c_str(), what, std::strerror(error));
    }

    // The directory is the VM's name on this host: creating it claims the
    // name. The directory of a supervisor that died is taken over.
    bool claim_directory()
    {
        if (!make_dirs(vms_dir(root_))) {
            complain("cannot create the state directory", errno);
            return false;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (mkdir(dir_.c_str(), 0755) == 0)
                return true;
            if (errno != EEXIST)
                break;
            StateMapping other = StateMapping::open(state_path(root_, spec_.name), false);
            if (other && is_supervisor(load(other->supervisor_pid), spec_.name)) {
                std::fprintf(stderr, "vmmsim: VM %s already runs\n", spec_.name.c_str());
                return false;
            }
            if (!other) {
                // Perhaps another supervisor is just creating it.
                struct timespec pause = {0, 200'000'000};
                nanosleep(&pause, nullptr);
                other = StateMapping::open(state_path(root_, spec_.name), false);
                if (other && is_supervisor(load(other->supervisor_pid), spec_.name)) {
                    std::fprintf(stderr, "vmmsim: VM %s already runs\n", spec_.name.c_str());
                    return false;
                }
            }
            remove_tree(dir_);
        }
        complain("cannot claim its name", errno);
        return false;
    }

    bool start_bhyve()
    {
        std::string program = program_dir() + "/bhyve";
        std::string title = "bhyve: " + spec_.name;
        std::string state_file = state_path(root_, spec_.name);
        pid_t self = getpid();
        pid_t pid = fork();
        if (pid < 0) {
            complain("cannot start bhyve", errno);
            return false;
        }
        if (pid == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != self)
                _exit(1);
            char* argv[] = {title.data(), const_cast<char*>("-S"), state_file.data(), nullptr};
            execv(program.c_str(), argv);
            _exit(127);
        }
        bhyve_ = pid;
        return true;
    }

    // Reaps what has ended; true when that was the bhyve process.
    bool bhyve_ended()
    {
        bool ended = false;
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
            if (pid == bhyve_) {
                ended = true;
                bhyve_ = 0;
            }
        return ended;
    }

    // The VM stops counting as running before its process goes, so nobody
    // opens it in between.
    void stop_bhyve()
    {
        store<int32_t>(state_->bhyve_pid, 0);
        if (bhyve_ > 0) {
            kill(bhyve_, SIGTERM);
            struct timespec tick = {0, 50'000'000};
            for (int i = 0; i < 60 && bhyve_ > 0; ++i) {
                sigset_t child;
                sigemptyset(&child);
                sigaddset(&child, SIGCHLD);
                sigtimedwait(&child, nullptr, &tick);
                bhyve_ended();
            }
            if (bhyve_ > 0) {
                kill(bhyve_, SIGKILL);
                waitpid(bhyve_, nullptr, 0);
                bhyve_ = 0;
            }
        }
        // A bhyve that was still starting may have announced itself meanwhile.
        store<int32_t>(state_->bhyve_pid, 0);
    }

    int finish(int status)
    {
        state_ = StateMapping();
        remove_tree(dir_);
        return status;
    }

    VmSpec spec_;
    int period_ms_;
    std::string root_ = root_dir();
    std::string dir_ = vm_dir(root_, spec_.name);
    StateMapping state_;
    pid_t bhyve_ = 0;
};

}  // namespace

int run_supervisor(const std::vector<std::string>& args)
{
    std::string error;
    int period_ms = 0;
    if (args.size() != 5 || !parse_int(args[4], 10, 1000, period_ms)) {
        std::fprintf(stderr, "vmmsim supervise: NAME VCPUS DEMAND CLASS PERIOD_MS\n");
        return 2;
    }
    std::optional<VmSpec> vm_def =
        parse_vm_spec(args[0] + ":" + args[1] + ":" + args[2] + ":" + args[3], error);
    if (!vm_def) {
        std::fprintf(stderr, "vmmsim supervise: %s\n", error.c_str());
        return 2;
    }
    return Supervisor(std::move(*vm_def), period_ms).run();
}

}  // namespace vmmsim
