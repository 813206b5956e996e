// The process table as /proc shows it, in the shape libkvm reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "held_record.h"
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

// A process as the listing of /proc names it. procfs keeps the inode of
// /proc/PID for as long as the process lives (a process that ends takes it
// along), so the same pid under the same inode is the same process.
struct ProcessEntry {
    pid_t pid = 0;
    ino_t ino = 0;
};

// The processes in `proc_fd` (an open /proc), in listing order. False (with
// errno) only when the directory itself cannot be read.
bool list_processes(int proc_fd, std::vector<ProcessEntry>& entries);

// The stat of one process; false when it has gone or cannot be read.
bool read_process(int proc_fd, pid_t pid, ProcessRow& row);

// A thread's name as learnt on earlier reads. Under the same /proc inode
// it is the same thread; its name is read on the first two reads (threads
// are often named just after they start) and trusted from then on.
struct KnownThread {
    pid_t tid = 0;
    ino_t ino = 0;
    bool settled = false;
    char name[TDNAMLEN + 1] = {};
    HeldRecord run_time;  // its schedstat, read at every query
};

// Appends one entry per thread of `process`; nothing when it has gone. With
// `known`, names are taken from it where it can be trusted, and it is
// replaced by what this read learnt; run times are always read.
void append_threads(int proc_fd, const ProcessRow& process, std::vector<kinfo_proc>& out,
                    std::vector<KnownThread>* known = nullptr);

// Fills the process-level fields of a kinfo_proc.
void fill_process(kinfo_proc& entry, const ProcessRow& process);

// The raw NUL-separated argument area of `pid`. False (with errno) when the
// process cannot be read.
bool read_cmdline(int proc_fd, pid_t pid, std::vector<char>& text);

}  // namespace compat
