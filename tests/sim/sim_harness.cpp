#include "sim_harness.h"

#include "child_process.h"
#include "process_args.h"
#include "read_text.h"
#include "run_program.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> stat_fields(pid_t pid)
{
    // The command name sits in parentheses and may hold blanks.
    std::string text = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(text.substr(close + 2));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;  // fields[0] is the state, [1] the parent pid, [2] the group
}

}  // namespace

std::string bin_dir() { return VMMSIM_BIN_DIR; }
std::string lib_dir() { return VMMSIM_LIB_DIR; }
std::string variant_dir(const std::string& name) { return std::string(VMMSIM_VARIANT_DIR) + "/" + name; }

ToolResult run_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                    std::chrono::milliseconds deadline)
{
    std::vector<std::string> argv = {bin_dir() + "/vmmsim"};
    argv.insert(argv.end(), args.begin(), args.end());
    // The simulator's own library unless the test names another: the tool's
    // run path would find it too, but not through a sanitizer's dlopen.
    std::vector<std::string> entries;
    if (!env.contains("LD_LIBRARY_PATH"))
        entries.push_back("LD_LIBRARY_PATH=" + lib_dir());
    for (const auto& [name, value] : env)
        entries.push_back(name + "=" + value);
    ProgramResult run = run_program(
        argv[0], argv, {.env = environment_with(entries), .deadline = deadline, .merge_err = true});
    return {run.status, run.out};
}

Runner::Runner(std::vector<std::string> args)
{
    char path[] = "/tmp/vmmsim-runner-XXXXXX";
    close(mkstemp(path));
    log_ = path;
    args.insert(args.begin(), {bin_dir() + "/vmmsim", "run"});
    process_ = std::make_unique<ChildProcess>(args, ChildProcess::Options{.stdout_path = log_});
    pid_ = process_->pid();
}

Runner::~Runner()
{
    if (pid_ > 0)
        stop(5s);
    process_.reset();  // kills what did not stop
    unlink(log_.c_str());
}

bool Runner::ready(std::chrono::milliseconds deadline)
{
    auto until = Clock::now() + deadline;
    while (Clock::now() < until) {
        if (output().find("\nready\n") != std::string::npos)
            return true;
        if (!process_->running()) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

int Runner::stop(std::chrono::milliseconds deadline)
{
    if (pid_ <= 0)
        return -1;
    int status = process_->stop(deadline);
    if (status != -1)
        pid_ = -1;
    return status;
}

std::string Runner::output() const { return read_text(log_); }

int Runner::field_after(const std::string& name, const std::string& key) const
{
    std::istringstream lines(output());
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, vm;
        words >> first >> vm;
        if (first != "vm" || vm != name)
            continue;
        for (std::string word; words >> word;)
            if (word == key && words >> word)
                return std::atoi(word.c_str());
    }
    return 0;
}

int Runner::vm_pid(const std::string& name) const { return field_after(name, "pid"); }
int Runner::supervisor_pid(const std::string& name) const { return field_after(name, "supervisor"); }

Vmmapi::Vmmapi(const std::string& path)
{
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return;
    open = reinterpret_cast<decltype(open)>(symbol("vm_open"));
    close = reinterpret_cast<decltype(close)>(symbol("vm_close"));
    ping = reinterpret_cast<decltype(ping)>(symbol("vm_ping"));
    get_name = reinterpret_cast<decltype(get_name)>(symbol("vm_get_name"));
    get_class = reinterpret_cast<decltype(get_class)>(symbol("vm_get_vcpu_class"));
    set_class = reinterpret_cast<decltype(set_class)>(symbol("vm_set_vcpu_class"));
    get_stats = reinterpret_cast<decltype(get_stats)>(symbol("vm_get_stats"));
    stat_desc = reinterpret_cast<decltype(stat_desc)>(symbol("vm_get_stat_desc"));
    vcpu_open = reinterpret_cast<decltype(vcpu_open)>(symbol("vm_vcpu_open"));
    vcpu_close = reinterpret_cast<decltype(vcpu_close)>(symbol("vm_vcpu_close"));
    pause = reinterpret_cast<decltype(pause)>(symbol("vm_pause"));
    resume = reinterpret_cast<decltype(resume)>(symbol("vm_resume"));
    reconfig = reinterpret_cast<decltype(reconfig)>(symbol("vm_reconfig"));
    checkpoint = reinterpret_cast<decltype(checkpoint)>(symbol("vm_checkpoint"));
}

Vmmapi::~Vmmapi()
{
    if (handle)
        dlclose(handle);
}

void* Vmmapi::symbol(const char* name) const { return handle ? dlsym(handle, name) : nullptr; }

int throttle_index(const Vmmapi& api, vmctx* ctx)
{
    for (int i = 0; const char* text = api.stat_desc(ctx, i); ++i)
        if (std::strstr(text, "sleeps in ms due to vcpu limit throttle"))
            return i;
    return -1;
}

uint64_t vcpu_counter(const Vmmapi& api, vmctx* ctx, int vcpu, int index)
{
    struct vcpu* cpu = api.vcpu_open(ctx, vcpu);
    if (!cpu)
        return ~0ULL;
    timeval stamp{};
    int count = 0;
    uint64_t* counters = api.get_stats(cpu, &stamp, &count);
    api.vcpu_close(cpu);
    return counters && index < count ? counters[index] : ~0ULL;
}

std::map<std::string, pid_t> threads_of(pid_t pid)
{
    std::map<std::string, pid_t> threads;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* tasks = opendir(dir.c_str())) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            std::string name = read_text(dir + "/" + entry->d_name + "/comm");
            if (!name.empty() && name.back() == '\n')
                name.pop_back();
            threads.emplace(name, std::atoi(entry->d_name));
        }
        closedir(tasks);
    }
    return threads;
}

uint64_t thread_cpu_ns(pid_t pid, pid_t tid)
{
    std::string text =
        read_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
    return std::strtoull(text.c_str(), nullptr, 10);
}

std::string comm_of(pid_t pid)
{
    std::string name = read_text("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

std::vector<std::string> args_of(pid_t pid) { return vmmsim::process_args(pid); }

pid_t ppid_of(pid_t pid)
{
    std::vector<std::string> fields = stat_fields(pid);
    return fields.size() > 2 ? std::atoi(fields[1].c_str()) : -1;
}

pid_t pgid_of(pid_t pid)
{
    std::vector<std::string> fields = stat_fields(pid);
    return fields.size() > 2 ? std::atoi(fields[2].c_str()) : -1;
}

bool path_exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<pid_t> processes_named(const std::string& comm)
{
    std::vector<pid_t> pids;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            pid_t pid = std::atoi(entry->d_name);
            if (pid <= 0 || comm_of(pid) != comm)
                continue;
            std::vector<std::string> fields = stat_fields(pid);
            if (!fields.empty() && fields[0] != "Z")
                pids.push_back(pid);
        }
        closedir(proc);
    }
    return pids;
}

}  // namespace simtest
