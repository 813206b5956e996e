#include "host_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <map>

#include "common/demand_list.h"
#include "common/knob_file.h"
#include "common/replace_file.h"
#include "common/sim_paths.h"
#include "process_args.h"
#include "service_report.h"
#include "vm_control.h"

namespace vmmsim {
namespace {

constexpr int default_class1_limit = 100;
constexpr int default_class2_limit = 25;
constexpr int default_burst_secs = 30;
constexpr auto start_deadline = std::chrono::seconds(10);

// One runner per root: the pid file names it while it lives.
bool claim_root(const std::string& root, std::string& error)
{
    std::string path = runner_pid_path(root);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            std::string text = std::to_string(getpid()) + "\n";
            bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            close(fd);
            return ok;
        }
        if (errno != EEXIST)
            break;
        char buffer[32] = {};
        int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in >= 0) {
            ssize_t got = read(in, buffer, sizeof buffer - 1);
            close(in);
            if (got < 0)
                buffer[0] = '\0';
        }
        int pid = std::atoi(buffer);
        std::vector<std::string> args = process_args(pid);
        if (args.size() >= 2 && args[1] == "run") {
            error = "another vmmsim run (pid " + std::to_string(pid) + ") uses " + root;
            return false;
        }
        unlink(path.c_str());
    }
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
}

class Host {
public:
    explicit Host(const HostOptions& options) : options_(options) {}

    int run()
    {
        std::string error;
        if (!make_dirs(root_) || !claim_root(root_, error)) {
            std::fprintf(stderr, "vmmsim: %s\n",
                         error.empty() ? ("cannot create " + root_).c_str() : error.c_str());
            return 1;
        }
        sigset_t signals;
        sigemptyset(&signals);
        for (int s : {SIGTERM, SIGINT, SIGCHLD})
            sigaddset(&signals, s);
        sigprocmask(SIG_BLOCK, &signals, nullptr);

        std::printf("vmmsim: root %s\n", root_.c_str());
        // A probe that cannot be written is found before anything starts.
        bool ok = write_probe() && write_knobs() && start_vms();
        if (ok) {
            std::printf("ready\n");
            std::fflush(stdout);
            wait_for_end(signals);
        }
        shut_down();
        if (ok && probe_failures_ > 0)
            std::fprintf(stderr, "vmmsim: the probe file %s could not be written %d times\n",
                         options_.probe_path.c_str(), probe_failures_);
        return ok && probe_failures_ == 0 ? 0 : 1;
    }

private:
    bool write_knobs()
    {
        std::map<std::string, int> knobs = {
            {rate_limit_knob(1), default_class1_limit},
            {rate_limit_knob(2), default_class2_limit},
            {burst_secs_knob, default_burst_secs},
        };
        for (const auto& [name, value] : options_.scenario.knobs)
            knobs[name] = value;
        if (options_.class1_limit)
            knobs[rate_limit_knob(1)] = *options_.class1_limit;
        if (options_.class2_limit)
            knobs[rate_limit_knob(2)] = *options_.class2_limit;
        if (options_.burst_secs)
            knobs[burst_secs_knob] = *options_.burst_secs;
        for (const auto& [name, value] : knobs) {
            if (!write_knob(root_, name, value)) {
                std::fprintf(stderr, "vmmsim: cannot write knob %s: %s\n", name.c_str(),
                             std::strerror(errno));
                return false;
            }
            std::printf("knob %s %d\n", name.c_str(), value);
        }
        return true;
    }

    bool start_vms()
    {
        for (const VmSpec& vm : options_.scenario.vms) {
            std::string error;
            int supervisor = spawn_supervisor(vm, options_.period_ms, Launch::child, error);
            if (supervisor < 0) {
                std::fprintf(stderr, "vmmsim: VM %s: %s\n", vm.name.c_str(), error.c_str());
                return false;
            }
            supervisors_[supervisor] = vm.name;
            int pid = wait_running(root_, vm.name, 0, supervisor, start_deadline);
            if (pid == 0) {
                std::fprintf(stderr, "vmmsim: VM %s did not start\n", vm.name.c_str());
                return false;
            }
            std::printf("vm %s pid %d supervisor %d vcpus %d demand %s class %d\n", vm.name.c_str(), pid,
                        supervisor, vm.vcpus, format_demand_list(vm.demand).c_str(), vm.vcpu_class);
        }
        return true;
    }

    // Until the duration ends or a stop signal comes; meanwhile the demand
    // changes fall due and the probe file is written once a second.
    void wait_for_end(const sigset_t& signals)
    {
        using Clock = std::chrono::steady_clock;
        const auto ready_at = Clock::now();
        const auto end = ready_at + std::chrono::seconds(options_.duration_secs);
        std::vector<DemandChange> changes = options_.scenario.changes;
        std::stable_sort(changes.begin(), changes.end(),
                         [](const DemandChange& a, const DemandChange& b) { return a.at_secs < b.at_secs; });
        auto due = [&](std::size_t i) { return ready_at + std::chrono::seconds(changes[i].at_secs); };
        std::size_t next_change = 0;
        auto next_probe = ready_at + std::chrono::seconds(1);
        for (;;) {
            auto now = Clock::now();
            if (options_.duration_secs > 0 && now >= end)
                return;
            for (; next_change < changes.size() && due(next_change) <= now; ++next_change)
                apply(changes[next_change]);
            if (now >= next_probe) {
                write_probe();
                next_probe = std::max(next_probe + std::chrono::seconds(1), now);
            }
            auto wake = std::min(now + std::chrono::seconds(1), next_probe);
            if (options_.duration_secs > 0)
                wake = std::min(wake, end);
            if (next_change < changes.size())
                wake = std::min(wake, due(next_change));
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count();
            timespec timeout = {0, 0};
            if (left > 0)
                timeout = {static_cast<time_t>(left / 1'000'000'000),
                           static_cast<long>(left % 1'000'000'000)};
            int signal = sigtimedwait(&signals, nullptr, &timeout);
            if (signal == SIGTERM || signal == SIGINT)
                return;
            if (signal == SIGCHLD)
                reap(true);
        }
    }

    void apply(const DemandChange& change)
    {
        std::string demand = format_demand_list(change.demand);
        std::string error;
        if (set_demand(root_, change.vm, demand, error))
            std::printf("at %d demand %s %s\n", change.at_secs, change.vm.c_str(), demand.c_str());
        else
            std::fprintf(stderr, "vmmsim: at %d: %s\n", change.at_secs, error.c_str());
        std::fflush(stdout);
    }

    // Replaces the probe file with the service lines of every VM; a failure
    // removes it, so nobody reads figures that have stopped moving.
    bool write_probe()
    {
        if (options_.probe_path.empty())
            return true;
        if (replace_file(options_.probe_path, service_report(root_, options_.probe_window_secs))) {
            probe_failing_ = false;
            return true;
        }
        int error = errno;
        unlink(options_.probe_path.c_str());
        if (!probe_failing_)
            std::fprintf(stderr, "vmmsim: cannot write the probe file %s: %s\n", options_.probe_path.c_str(),
                         std::strerror(error));
        probe_failing_ = true;
        ++probe_failures_;
        return false;
    }

    void reap(bool report)
    {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            auto found = supervisors_.find(pid);
            if (found == supervisors_.end())
                continue;
            if (report)
                std::printf("vm %s ended\n", found->second.c_str());
            supervisors_.erase(found);
        }
        std::fflush(stdout);
    }

    // Every VM of this root goes, also those started on their own with
    // `vmmsim start`.
    void shut_down()
    {
        for (const VmInfo& vm : list_vms(root_)) {
            std::string error;
            if (stop_vm(root_, vm.name, error))
                std::printf("stopped %s\n", vm.name.c_str());
            else
                std::fprintf(stderr, "vmmsim: %s\n", error.c_str());
        }
        // Supervisors remove their state before they end, so they are
        // ending now; one that does not within the deadline is killed.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (reap(false); !supervisors_.empty() && std::chrono::steady_clock::now() < until; reap(false))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const auto& [pid, name] : supervisors_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        remove_tree(vms_dir(root_));
        remove_tree(sysctl_dir(root_));
        unlink(runner_pid_path(root_).c_str());
        rmdir(root_.c_str());  // only when nothing else lives there
        std::printf("vmmsim: stopped\n");
        std::fflush(stdout);
    }

    const HostOptions& options_;
    std::string root_ = root_dir();
    std::map<int, std::string> supervisors_;
    bool probe_failing_ = false;
    int probe_failures_ = 0;
};

}  // namespace

int run_host(const HostOptions& options) { return Host(options).run(); }

}  // namespace vmmsim
