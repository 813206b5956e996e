#include "vm_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "common/demand_list.h"
#include "common/sim_paths.h"
#include "common/vm_state.h"
#include "process_args.h"

namespace vmmsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto poll_interval = std::chrono::milliseconds(10);
constexpr auto stop_deadline = std::chrono::seconds(5);

bool exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Whether `pid` is gone: reaped here when it is our child, else by kill(0).
bool ended(int pid)
{
    int status = 0;
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid)
        return true;
    if (got == -1 && errno == ECHILD)
        return !process_exists(pid);
    return false;
}

[[noreturn]] void exec_supervisor(const VmSpec& vm_def, int period_ms)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::string self = program_dir() + "/vmmsim";
    std::vector<std::string> args = {"vmmsim",
                                     "supervise",
                                     vm_def.name,
                                     std::to_string(vm_def.vcpus),
                                     format_demand_list(vm_def.demand),
                                     std::to_string(vm_def.vcpu_class),
                                     std::to_string(period_ms)};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
}

void to_dev_null()
{
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2)
        close(fd);
}

}  // namespace

std::string program_dir()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    std::string text(path, static_cast<std::size_t>(length));
    std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

bool is_supervisor(int pid, const std::string& name)
{
    if (pid <= 0)
        return false;
    std::vector<std::string> args = process_args(pid);
    return args.size() >= 3 && args[1] == "supervise" && args[2] == name;
}

int spawn_supervisor(const VmSpec& vm_def, int period_ms, Launch launch, std::string& error)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        if (launch == Launch::detached) {
            setsid();
            // Nobody reads our output once the starting command is gone, and a
            // held pipe would keep its reader waiting.
            to_dev_null();
        } else {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(1);
        }
        exec_supervisor(vm_def, period_ms);
    }
    if (launch == Launch::child)
        setpgid(pid, pid);  // whichever side runs first
    return pid;
}

int wait_running(const std::string& root, const std::string& name, int old_pid, int supervisor,
                 std::chrono::milliseconds deadline)
{
    auto until = Clock::now() + deadline;
    std::string path = state_path(root, name);
    for (;;) {
        if (StateMapping state = StateMapping::open(path, false)) {
            int pid = load(state->bhyve_pid);
            if (pid > 0 && pid != old_pid && process_exists(pid))
                return pid;
        }
        if ((supervisor > 0 && ended(supervisor)) || Clock::now() >= until)
            return 0;
        std::this_thread::sleep_for(poll_interval);
    }
}

std::vector<VmInfo> list_vms(const std::string& root)
{
    std::vector<VmInfo> vms;
    DIR* dir = opendir(vms_dir(root).c_str());
    if (!dir)
        return vms;
    while (dirent* entry = readdir(dir)) {
        if (!valid_vm_name(entry->d_name))
            continue;
        StateMapping state = StateMapping::open(state_path(root, entry->d_name), false);
        if (!state)
            continue;
        VmInfo info;
        info.name = entry->d_name;
        info.supervisor_pid = load(state->supervisor_pid);
        info.bhyve_pid = load(state->bhyve_pid);
        info.vcpus = std::min(load(state->vcpus), max_vcpus);
        info.vcpu_class = load(state->vcpu_class);
        info.paused = load(state->paused) != 0;
        for (int i = 0; i < info.vcpus; ++i)
            info.demand.push_back(load(state->vcpu[i].demand));
        vms.push_back(std::move(info));
    }
    closedir(dir);
    std::sort(vms.begin(), vms.end(), [](const VmInfo& a, const VmInfo& b) { return a.name < b.name; });
    return vms;
}

bool stop_vm(const std::string& root, const std::string& name, std::string& error)
{
    if (!valid_vm_name(name)) {
        error = "bad VM name \"" + name + "\"";
        return false;
    }
    std::string dir = vm_dir(root, name);
    if (!exists(dir)) {
        error = "VM " + name + " is not running";
        return false;
    }
    // A supervisor that is just starting has its directory before its state.
    StateMapping state;
    for (auto until = Clock::now() + std::chrono::seconds(1); !state && Clock::now() < until;
         std::this_thread::sleep_for(poll_interval))
        state = StateMapping::open(state_path(root, name), false);
    int supervisor = state ? load(state->supervisor_pid) : 0;
    int bhyve = state ? load(state->bhyve_pid) : 0;

    if (is_supervisor(supervisor, name)) {
        kill(supervisor, SIGTERM);
        for (auto until = Clock::now() + stop_deadline; exists(dir) && Clock::now() < until;)
            std::this_thread::sleep_for(poll_interval);
        if (!exists(dir))
            return true;
        kill(supervisor, SIGKILL);
    }
    // Dead or stuck supervisor: finish its work.
    std::vector<std::string> args = process_args(bhyve);
    if (!args.empty() && args[0] == "bhyve: " + name)
        kill(bhyve, SIGKILL);
    remove_tree(dir);
    return true;
}

int restart_vm(const std::string& root, const std::string& name, std::string& error)
{
    StateMapping state =
        valid_vm_name(name) ? StateMapping::open(state_path(root, name), false) : StateMapping();
    int supervisor = state ? load(state->supervisor_pid) : 0;
    if (!is_supervisor(supervisor, name)) {
        error = "VM " + name + " is not running";
        return 0;
    }
    int old_pid = load(state->bhyve_pid);
    kill(supervisor, SIGHUP);
    int pid = wait_running(root, name, old_pid, supervisor, stop_deadline);
    if (pid == 0)
        error = "VM " + name + " did not come back";
    return pid;
}

namespace {

StateMapping running_state(const std::string& root, const std::string& name, std::string& error)
{
    StateMapping state =
        valid_vm_name(name) ? StateMapping::open(state_path(root, name), true) : StateMapping();
    if (!state)
        error = "VM " + name + " is not running";
    return state;
}

}  // namespace

bool set_demand(const std::string& root, const std::string& name, const std::string& demand,
                std::string& error)
{
    StateMapping state = running_state(root, name, error);
    if (!state)
        return false;
    int vcpus = std::min(load(state->vcpus), max_vcpus);
    std::vector<int> values = parse_demand_list(demand, vcpus, error);
    if (!error.empty())
        return false;
    for (int i = 0; i < vcpus; ++i)
        store<int32_t>(state->vcpu[i].demand, values[static_cast<std::size_t>(i)]);
    return true;
}

std::optional<FaultSlots> update_faults(const std::string& root, const std::string& name,
                                        const std::optional<FaultChange>& change, std::string& error)
{
    StateMapping state = running_state(root, name, error);
    if (!state)
        return std::nullopt;
    if (change)
        set_fault(state->faults[change->operation], change->setting);
    FaultSlots slots{};
    for (int i = 0; i < fault_operation_count; ++i) {
        const FaultSlot& slot = state->faults[i];
        slots[static_cast<std::size_t>(i)] = {load(slot.mode), load(slot.rate), load(slot.calls),
                                              load(slot.injected)};
    }
    return slots;
}

}  // namespace vmmsim
