// vmmsim: the simulated bhyve host's one command.
#include <getopt.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/demand_list.h"
#include "common/knob_file.h"
#include "common/sim_paths.h"
#include "host_runner.h"
#include "service_report.h"
#include "supervisor.h"
#include "vm_control.h"
#include "vmmapi_client.h"

namespace {

using namespace vmmsim;

constexpr const char* usage_text =
    "usage: vmmsim COMMAND ...\n"
    "  run [-f FILE] [--vm NAME:VCPUS:DEMAND[:CLASS]]... [--class1-limit N]\n"
    "      [--class2-limit N] [--burst-secs N] [--period-ms N] [--duration SEC]\n"
    "      [--probe FILE [--probe-window SEC]]\n"
    "                         run a simulated host until SIGINT/SIGTERM\n"
    "  start NAME:VCPUS:DEMAND[:CLASS] [--period-ms N]\n"
    "                         start one VM in the background\n"
    "  stop NAME... | stop --all   stop VMs and remove their state\n"
    "  restart NAME           boot a VM again (new pid, same name)\n"
    "  list                   show the running VMs\n"
    "  class NAME [CLASS]     read or set a VM's vCPU class through libvmmapi.so\n"
    "  stats NAME             show a VM's vCPU counters through libvmmapi.so\n"
    "  stats --service [--window SECONDS] [NAME...]\n"
    "                         what VMs' vCPUs got of the CPU they wanted, wake-up delays\n"
    "  demand NAME DEMAND[,DEMAND...]   change what a VM's vCPUs want (0..100)\n"
    "  knob NAME [VALUE]      read or set a kernel knob\n"
    "  fault NAME [OPERATION on|off|once|RATE%]\n"
    "                         show or set failures injected into libvmmapi calls\n"
    "                         (OPERATION: open get_class set_class stats stat_desc)\n"
    "State lives under $VMMSIM_ROOT (default /var/run/vmmsim).\n";

int usage_error(const std::string& message)
{
    if (!message.empty())
        std::fprintf(stderr, "vmmsim: %s\n", message.c_str());
    std::fputs(usage_text, stderr);
    return 2;
}

int failure(const std::string& message)
{
    std::fprintf(stderr, "vmmsim: %s\n", message.c_str());
    return 1;
}

// Children find the same root whatever their working directory.
void pin_root()
{
    std::string root = root_dir();
    if (root.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd))
            root = std::string(cwd) + "/" + root;
    }
    setenv("VMMSIM_ROOT", root.c_str(), 1);
}

bool bounded_option(const char* text, int min, int max, int& value, const char* what, std::string& error)
{
    if (parse_int(text, min, max, value))
        return true;
    error = std::string(what) + " must be " + std::to_string(min) + ".." + std::to_string(max);
    return false;
}

int command_run(int argc, char** argv)
{
    enum { class1 = 1000, class2, burst, period, duration, vm, probe, probe_window };
    static const option options[] = {
        {"file", required_argument, nullptr, 'f'},
        {"vm", required_argument, nullptr, vm},
        {"class1-limit", required_argument, nullptr, class1},
        {"class2-limit", required_argument, nullptr, class2},
        {"burst-secs", required_argument, nullptr, burst},
        {"period-ms", required_argument, nullptr, period},
        {"duration", required_argument, nullptr, duration},
        {"probe", required_argument, nullptr, probe},
        {"probe-window", required_argument, nullptr, probe_window},
        {nullptr, 0, nullptr, 0},
    };
    HostOptions host;
    std::string error;
    int value = 0;
    int option;
    while ((option = getopt_long(argc, argv, "f:", options, nullptr)) != -1) {
        switch (option) {
        case 'f': {
            std::ifstream in(optarg);
            if (!in)
                return failure(std::string("cannot read ") + optarg);
            if (!parse_scenario(in, host.scenario, error))
                return failure(std::string(optarg) + ": " + error);
            break;
        }
        case vm:
            if (std::optional<VmSpec> vm_def = parse_vm_spec(optarg, error))
                host.scenario.vms.push_back(*vm_def);
            else
                return usage_error(error);
            break;
        case class1:
        case class2:
            if (!bounded_option(optarg, 0, 100, value, "a rate limit", error))
                return usage_error(error);
            (option == class1 ? host.class1_limit : host.class2_limit) = value;
            break;
        case burst:
            if (!bounded_option(optarg, 0, 86400, value, "--burst-secs", error))
                return usage_error(error);
            host.burst_secs = value;
            break;
        case period:
            if (!bounded_option(optarg, 10, 1000, host.period_ms, "--period-ms", error))
                return usage_error(error);
            break;
        case duration:
            if (!bounded_option(optarg, 0, 86400 * 365, host.duration_secs, "--duration", error))
                return usage_error(error);
            break;
        case probe:
            if (*optarg == '\0')
                return usage_error("--probe takes a file");
            host.probe_path = optarg;
            break;
        case probe_window:
            if (!bounded_option(optarg, 1, max_service_window, host.probe_window_secs, "--probe-window",
                                error))
                return usage_error(error);
            break;
        default: return usage_error("");
        }
    }
    if (optind != argc)
        return usage_error("unexpected argument " + std::string(argv[optind]));
    if (!check_scenario(host.scenario, error))
        return usage_error(error);
    return run_host(host);
}

int command_start(const std::vector<std::string>& args)
{
    std::string error;
    int period_ms = 100;
    if (args.size() == 3 && args[1] == "--period-ms") {
        if (!bounded_option(args[2].c_str(), 10, 1000, period_ms, "--period-ms", error))
            return usage_error(error);
    } else if (args.size() != 1) {
        return usage_error("start takes NAME:VCPUS:DEMAND[:CLASS] [--period-ms N]");
    }
    std::optional<VmSpec> vm_def = parse_vm_spec(args[0], error);
    if (!vm_def)
        return usage_error(error);
    // The detached supervisor's own complaint would go nowhere.
    for (const VmInfo& vm : list_vms(root_dir()))
        if (vm.name == vm_def->name && is_supervisor(vm.supervisor_pid, vm.name))
            return failure("VM " + vm_def->name + " already runs");
    int supervisor = spawn_supervisor(*vm_def, period_ms, Launch::detached, error);
    if (supervisor < 0)
        return failure(error);
    int pid = wait_running(root_dir(), vm_def->name, 0, supervisor, std::chrono::seconds(10));
    if (pid == 0)
        return failure("VM " + vm_def->name + " did not start");
    std::printf("vm %s pid %d supervisor %d vcpus %d demand %s class %d\n", vm_def->name.c_str(), pid,
                supervisor, vm_def->vcpus, format_demand_list(vm_def->demand).c_str(), vm_def->vcpu_class);
    return 0;
}

int command_stop(const std::vector<std::string>& args)
{
    if (args.empty())
        return usage_error("stop takes VM names or --all");
    std::vector<std::string> names;
    if (args.size() == 1 && args[0] == "--all")
        for (const VmInfo& vm : list_vms(root_dir()))
            names.push_back(vm.name);
    else
        names = args;
    int status = 0;
    for (const std::string& name : names) {
        std::string error;
        if (stop_vm(root_dir(), name, error))
            std::printf("stopped %s\n", name.c_str());
        else
            status = failure(error);
    }
    return status;
}

int command_restart(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage_error("restart takes one VM name");
    std::string error;
    int pid = restart_vm(root_dir(), args[0], error);
    if (pid == 0)
        return failure(error);
    std::printf("vm %s pid %d\n", args[0].c_str(), pid);
    return 0;
}

int command_list(const std::vector<std::string>& args)
{
    if (!args.empty())
        return usage_error("list takes no arguments");
    for (const VmInfo& vm : list_vms(root_dir()))
        std::printf("%s pid %d supervisor %d vcpus %d demand %s class %d%s\n", vm.name.c_str(), vm.bhyve_pid,
                    vm.supervisor_pid, vm.vcpus, format_demand_list(vm.demand).c_str(), vm.vcpu_class,
                    vm.paused ? " paused" : "");
    return 0;
}

int command_class(const std::vector<std::string>& args)
{
    if (args.empty() || args.size() > 2)
        return usage_error("class takes NAME [CLASS]");
    VmmapiClient client;
    std::string error;
    int vcpu_class = 0;
    if (args.size() == 2) {
        if (!parse_int(args[1], 0, 9, vcpu_class))
            return usage_error("CLASS must be 0..9");
        if (!client.set_class(args[0], vcpu_class, error))
            return failure(error);
    }
    if (!client.get_class(args[0], vcpu_class, error))
        return failure(error);
    std::printf("%d\n", vcpu_class);
    return 0;
}

// stats --service [--window SECONDS] [NAME...]
int command_service(const std::vector<std::string>& args)
{
    int window = default_service_window;
    std::vector<std::string> names;
    std::string error;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--window") {
            names.push_back(args[i]);
            continue;
        }
        if (i + 1 == args.size())
            return usage_error("--window takes SECONDS");
        if (!bounded_option(args[++i].c_str(), 1, max_service_window, window, "--window", error))
            return usage_error(error);
    }
    if (names.empty())
        for (const VmInfo& vm : list_vms(root_dir()))
            names.push_back(vm.name);
    int status = 0;
    for (const std::string& name : names) {
        if (std::optional<ServiceSummary> summary = vm_service(root_dir(), name, window, error))
            std::fputs(format_service(name, *summary).c_str(), stdout);
        else
            status = failure(error);
    }
    return status;
}

int command_stats(const std::vector<std::string>& args)
{
    if (!args.empty() && args[0] == "--service")
        return command_service(args);
    if (args.size() != 1)
        return usage_error("stats takes one VM name");
    VmmapiClient client;
    std::string error;
    std::vector<std::vector<CounterValue>> vcpus;
    if (!client.stats(args[0], vcpus, error))
        return failure(error);
    for (std::size_t i = 0; i < vcpus.size(); ++i)
        for (const CounterValue& counter : vcpus[i])
            std::printf("vcpu %zu %llu %s\n", i, static_cast<unsigned long long>(counter.value),
                        counter.description.c_str());
    return 0;
}

int command_demand(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return usage_error("demand takes NAME DEMAND[,DEMAND...]");
    std::string error;
    if (!set_demand(root_dir(), args[0], args[1], error))
        return failure(error);
    return 0;
}

int command_knob(const std::vector<std::string>& args)
{
    if (args.empty() || args.size() > 2 || !valid_knob_name(args[0]))
        return usage_error("knob takes NAME [VALUE]");
    if (args.size() == 2) {
        int value = 0;
        if (!parse_int(args[1], INT_MIN, INT_MAX, value))
            return usage_error("VALUE must be an int");
        if (!write_knob(root_dir(), args[0], value))
            return failure("cannot write knob " + args[0] + ": " + std::strerror(errno));
    }
    std::optional<int> value = read_knob(root_dir(), args[0]);
    if (!value)
        return failure("no knob " + args[0]);
    std::printf("%d\n", *value);
    return 0;
}

int command_fault(const std::vector<std::string>& args)
{
    if (args.size() != 1 && args.size() != 3)
        return usage_error("fault takes NAME [OPERATION on|off|once|RATE%]");
    std::optional<FaultChange> change;
    if (args.size() == 3) {
        const std::optional<FaultOperation> operation = parse_fault_operation(args[1]);
        if (!operation)
            return usage_error("OPERATION must be open, get_class, set_class, stats or stat_desc");
        const std::optional<FaultSetting> setting = parse_fault_setting(args[2]);
        if (!setting)
            return usage_error("a fault is on, off, once or RATE% with RATE 0..100");
        change = FaultChange{*operation, *setting};
    }
    std::string error;
    const std::optional<FaultSlots> slots = update_faults(root_dir(), args[0], change, error);
    if (!slots)
        return failure(error);
    for (int i = 0; i < fault_operation_count; ++i) {
        const auto operation = static_cast<FaultOperation>(i);
        if (change && change->operation != operation)
            continue;
        const FaultSlot& slot = (*slots)[static_cast<std::size_t>(i)];
        std::printf("%s %s calls %llu injected %llu\n", fault_operation_name(operation),
                    format_fault_setting(slot).c_str(), static_cast<unsigned long long>(slot.calls),
                    static_cast<unsigned long long>(slot.injected));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Line by line, so whoever reads our output through a pipe sees each line at once.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2)
        return usage_error("");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    pin_root();
    if (command == "run")
        return command_run(argc - 1, argv + 1);
    if (command == "start")
        return command_start(args);
    if (command == "stop")
        return command_stop(args);
    if (command == "restart")
        return command_restart(args);
    if (command == "list")
        return command_list(args);
    if (command == "class")
        return command_class(args);
    if (command == "stats")
        return command_stats(args);
    if (command == "demand")
        return command_demand(args);
    if (command == "knob")
        return command_knob(args);
    if (command == "fault")
        return command_fault(args);
    if (command == "supervise")
        return run_supervisor(args);
    if (command == "help" || command == "-h" || command == "--help") {
        std::fputs(usage_text, stdout);
        return 0;
    }
    return usage_error("unknown command " + command);
}
