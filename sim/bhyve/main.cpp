// A simulated bhyve process: "bhyve: NAME" as first argument, one thread
// "vcpu N" per vCPU. Started by a VM supervisor with the VM's state file
// (-S), or on its own with -c/-d/-C, then visible to the process scans only.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/demand_list.h"
#include "common/sim_paths.h"
#include "common/vm_state.h"
#include "vcpu_worker.h"

namespace {

constexpr const char* usage = "usage: bhyve -S STATE_FILE\n"
                              "       bhyve [-c VCPUS] [-d DEMAND[,DEMAND...]] [-C CLASS] [-p PERIOD_MS]\n"
                              "Run with \"bhyve: NAME\" as argv[0] to show as VM NAME.\n";

int fail(const char* message)
{
    std::fprintf(stderr, "bhyve: %s\n", message);
    return 2;
}

void* run_worker(void* argument) { static_cast<vmmsim::VcpuWorker*>(argument)->run(); }

}  // namespace

int main(int argc, char** argv)
{
    std::string state_file;
    int vcpus = 1;
    std::string demand_text = "0";
    int vcpu_class = 0;
    int period_ms = 100;
    int option;
    while ((option = getopt(argc, argv, "S:c:d:C:p:h")) != -1) {
        switch (option) {
        case 'S': state_file = optarg; break;
        case 'c': vcpus = std::atoi(optarg); break;
        case 'd': demand_text = optarg; break;
        case 'C': vcpu_class = std::atoi(optarg); break;
        case 'p': period_ms = std::atoi(optarg); break;
        default: std::fputs(usage, stderr); return 2;
        }
    }

    vmmsim::StateMapping state;
    if (!state_file.empty()) {
        state = vmmsim::StateMapping::open(state_file, true);
        if (!state)
            return fail("no VM state in the given file");
    } else {
        if (vcpus < 0 || vcpus > vmmsim::max_vcpus)
            return fail("VCPUS must be 0..64");
        if (vcpu_class < 0 || vcpu_class > vmmsim::max_class)
            return fail("CLASS must be 0..9");
        if (period_ms < 10 || period_ms > 1000)
            return fail("PERIOD_MS must be 10..1000");
        std::string error;
        std::vector<int> demand = vmmsim::parse_demand_list(demand_text, vcpus, error);
        if (!error.empty())
            return fail(error.c_str());
        state = vmmsim::StateMapping::anonymous();
        if (!state)
            return fail("cannot map memory");
        vmmsim::init_state(*state, "", vcpus, demand.data(), vcpu_class, period_ms);
        state.publish();
    }

    // Only the main thread takes the stop signals; the vCPUs never wait.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::string root = vmmsim::root_dir();
    int count = std::min(vmmsim::load(state->vcpus), vmmsim::max_vcpus);
    std::vector<vmmsim::VcpuWorker> workers;
    workers.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        workers.push_back({&*state, i, root});
        pthread_t thread;
        if (pthread_create(&thread, nullptr, run_worker, &workers.back()) != 0)
            return fail("cannot start a vCPU thread");
        std::string name = "vcpu " + std::to_string(i);
        pthread_setname_np(thread, name.c_str());
        pthread_detach(thread);
    }
    // The VM counts as running once its vCPUs exist under their names.
    vmmsim::store<int32_t>(state->bhyve_pid, getpid());

    int signal = 0;
    sigwait(&stops, &signal);
    _exit(0);
}
