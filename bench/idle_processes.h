// Idle processes for benchmarks of /proc work: a real host runs many more
// processes than VMs.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <vector>

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

// `count` children that sleep until stop_idle_processes, or until we die.
inline std::vector<pid_t> start_idle_processes(int count)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;)
                pause();
        }
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

inline void stop_idle_processes(const std::vector<pid_t>& pids)
{
    for (pid_t pid : pids)
        kill(pid, SIGKILL);
    for (pid_t pid : pids)
        waitpid(pid, nullptr, 0);
}
