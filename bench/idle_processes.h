// Idle processes for benchmarks of /proc work: a real host runs many more
// processes than VMs.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cctype>
#include <memory>
#include <vector>

#include "child_process.h"

// The processes /proc lists now.
inline int count_processes()
{
    int n = 0;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return 0;
    while (dirent* d = readdir(dir))
        n += std::isdigit(static_cast<unsigned char>(d->d_name[0])) ? 1 : 0;
    closedir(dir);
    return n;
}

// `count` children that sleep until the list goes, or until we die.
using IdleProcesses = std::vector<std::unique_ptr<ChildProcess>>;

inline IdleProcesses start_idle_processes(int count)
{
    const auto die_with_us = [] { return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0; };
    IdleProcesses processes;
    for (int i = 0; i < count; ++i)
        processes.push_back(std::make_unique<ChildProcess>(
            sleep_until_killed, ChildProcess::Options{.in_child = die_with_us, .keep_output = true}));
    return processes;
}
