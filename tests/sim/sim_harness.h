// Driving the simulator from tests: the runner and the tool as real
// processes, libvmmapi.so through dlopen. Every wait has a deadline.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "vmmapi/vmmapi.h"

class ChildProcess;

namespace simtest {

using namespace std::chrono_literals;

std::string bin_dir();
std::string lib_dir();
std::string variant_dir(const std::string& name);

struct ToolResult {
    int status = -1;     // exit status, or -1 when it did not end in time
    std::string output;  // standard output and error
};
// Runs build/sim/bin/vmmsim with `args`; `env` entries are added to ours.
ToolResult run_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                    std::chrono::milliseconds deadline = 10s);

// `vmmsim run ARGS` in the background, output collected in a file.
class Runner {
public:
    explicit Runner(std::vector<std::string> args);
    ~Runner();  // kills what is left
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Waits for the "ready" line; false when the runner died or time ran out.
    bool ready(std::chrono::milliseconds deadline = 10s);
    // SIGTERM and wait; the exit status, -1 when it did not end in time.
    int stop(std::chrono::milliseconds deadline = 10s);
    std::string output() const;
    // The file its output goes to, as it goes.
    const std::string& output_path() const { return log_; }
    pid_t pid() const { return pid_; }
    // From the "vm NAME pid P supervisor S ..." lines.
    int vm_pid(const std::string& name) const;
    int supervisor_pid(const std::string& name) const;

private:
    int field_after(const std::string& name, const std::string& key) const;
    std::unique_ptr<ChildProcess> process_;
    pid_t pid_ = -1;  // -1 once it has ended
    std::string log_;
};

// The simulator's libvmmapi.so, opened by path.
struct Vmmapi {
    explicit Vmmapi(const std::string& path = lib_dir() + "/libvmmapi.so");
    ~Vmmapi();
    Vmmapi(const Vmmapi&) = delete;
    Vmmapi& operator=(const Vmmapi&) = delete;
    void* symbol(const char* name) const;

    void* handle = nullptr;
    decltype(&::vm_open) open = nullptr;
    decltype(&::vm_close) close = nullptr;
    decltype(&::vm_ping) ping = nullptr;
    decltype(&::vm_get_name) get_name = nullptr;
    decltype(&::vm_get_vcpu_class) get_class = nullptr;
    decltype(&::vm_set_vcpu_class) set_class = nullptr;
    decltype(&::vm_get_stats) get_stats = nullptr;
    decltype(&::vm_get_stat_desc) stat_desc = nullptr;
    decltype(&::vm_vcpu_open) vcpu_open = nullptr;
    decltype(&::vm_vcpu_close) vcpu_close = nullptr;
    decltype(&::vm_pause) pause = nullptr;
    decltype(&::vm_resume) resume = nullptr;
    decltype(&::vm_reconfig) reconfig = nullptr;
    decltype(&::vm_checkpoint) checkpoint = nullptr;
};

// A VM context, closed when it goes.
struct Context {
    const Vmmapi& api;
    vmctx* ctx;
    ~Context()
    {
        if (ctx)
            api.close(ctx);
    }
};

// Index of the counter whose description holds the throttle text, or -1.
int throttle_index(const Vmmapi& api, vmctx* ctx);
// One counter of one vCPU through open/stats/close; ~0 when unreadable.
uint64_t vcpu_counter(const Vmmapi& api, vmctx* ctx, int vcpu, int index);

// Thread ids of a process by thread name.
std::map<std::string, pid_t> threads_of(pid_t pid);
// CPU time a thread has used, nanoseconds (from schedstat).
uint64_t thread_cpu_ns(pid_t pid, pid_t tid);
std::string comm_of(pid_t pid);
std::vector<std::string> args_of(pid_t pid);
// Fields of /proc/PID/stat: parent pid and process group.
pid_t ppid_of(pid_t pid);
pid_t pgid_of(pid_t pid);
bool path_exists(const std::string& path);
// Pids of every live (not zombie) process whose command name is `comm`.
std::vector<pid_t> processes_named(const std::string& comm);

}  // namespace simtest
