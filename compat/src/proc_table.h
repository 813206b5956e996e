// The process table as /proc shows it, in the shape libkvm reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "platform_kernel.h"

namespace compat {

// The fields of /proc/PID/stat (or /proc/PID/task/TID/stat) that we use.
struct StatLine {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t pgid = 0;
    unsigned long flags = 0;  // the kernel's PF_* bits
    uint64_t utime = 0;       // clock ticks
    uint64_t stime = 0;
    char comm[64] = {};  // the name between the parentheses
};

// Parses one stat line. The name may itself hold blanks and parentheses, so
// it ends at the last ')'.
bool parse_stat_line(const char* text, size_t len, StatLine& out);

// One process, without its threads.
struct ProcessRow {
    pid_t pid = 0;
    pid_t ppid = 0;  // 0 for kernel threads, as FreeBSD reports kernel processes
    pid_t pgid = 0;
    uint64_t runtime_us = 0;
    char comm[COMMLEN + 1] = {};
};

ProcessRow make_process_row(const StatLine& stat);

// One pass over `proc_fd` (an open /proc): every process, no threads.
// False (with errno) only when the directory itself cannot be read.
bool walk_processes(int proc_fd, std::vector<ProcessRow>& rows);

// Appends one entry per thread of `process`; nothing when it has gone.
void append_threads(int proc_fd, const ProcessRow& process, std::vector<kinfo_proc>& out);

// Fills the process-level fields of a kinfo_proc.
void fill_process(kinfo_proc& entry, const ProcessRow& process);

// The raw NUL-separated argument area of `pid`. False (with errno) when the
// process cannot be read.
bool read_cmdline(int proc_fd, pid_t pid, std::vector<char>& text);

}  // namespace compat
