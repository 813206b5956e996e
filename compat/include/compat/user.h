// Linux stand-in for the part of FreeBSD's <sys/user.h> that halvorn reads.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#define COMMLEN 19
#define TDNAMLEN 16

struct kinfo_proc {
    pid_t ki_pid;
    pid_t ki_ppid;
    pid_t ki_pgid;
    pid_t ki_tid;                  // thread id (thread listings), else the pid
    char ki_comm[COMMLEN + 1];     // process name
    char ki_tdname[TDNAMLEN + 1];  // thread name (thread listings only)
    uint64_t ki_runtime;           // CPU time used, microseconds
};
