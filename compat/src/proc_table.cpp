#include "proc_table.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "proc_read.h"

namespace compat {

namespace {

constexpr unsigned long kernel_thread_flag = 0x00200000;  // PF_KTHREAD

// Room for "<pid>/task/<tid>/schedstat" with both ids at their longest.
constexpr size_t proc_path_size = 64;

// "<pid>/<leaf>", or "<pid>/task/<tid>/<leaf>" for a thread, relative to the
// /proc fd. Built without printf: a tick builds one for every vCPU thread,
// and formatting them was a quarter of its instructions.
const char* proc_path(char (&out)[proc_path_size], int pid, const char* leaf, int tid = -1)
{
    char* p = std::to_chars(out, out + 12, pid).ptr;
    if (tid >= 0) {
        std::memcpy(p, "/task/", 6);
        p = std::to_chars(p + 6, p + 18, tid).ptr;
    }
    *p++ = '/';
    std::memcpy(p, leaf, std::strlen(leaf) + 1);  // leaves are short literals
    return out;
}

// A stat line is ~300 bytes; names of kernel workers can run to 64.
constexpr size_t stat_buffer_size = 1024;

uint64_t ticks_to_us(uint64_t ticks)
{
    static const long hz = [] {
        long v = sysconf(_SC_CLK_TCK);
        return v > 0 ? v : 100;
    }();
    return ticks * 1000000u / static_cast<uint64_t>(hz);
}

// Splits the blank-separated fields after the name.
struct FieldCursor {
    const char* p;
    const char* end;

    bool next(const char** start, const char** stop)
    {
        while (p < end && *p == ' ')
            ++p;
        if (p == end || *p == '\n')
            return false;
        *start = p;
        while (p < end && *p != ' ' && *p != '\n')
            ++p;
        *stop = p;
        return true;
    }
};

// The fields read this way are ids: a magnitude no pid_t holds is refused,
// rather than negated or cut into another id.
bool to_signed(const char* s, const char* e, long* out)
{
    bool negative = s < e && *s == '-';
    if (negative)
        ++s;
    uint64_t v = 0;
    const char* p = s;
    if (!parse_u64(&p, e, &v) || p != e || v > static_cast<uint64_t>(INT32_MAX))
        return false;
    *out = negative ? -static_cast<long>(v) : static_cast<long>(v);
    return true;
}

bool to_unsigned(const char* s, const char* e, uint64_t* out)
{
    const char* p = s;
    return parse_u64(&p, e, out) && p == e;
}

// Entries of /proc and /proc/PID/task named by a process or thread id.
bool id_name(const char* name, int* id)
{
    if (name[0] < '0' || name[0] > '9')
        return false;
    uint64_t v = 0;
    const char* p = name;
    const char* end = name + strnlen(name, 16);
    if (!parse_u64(&p, end, &v) || p != end || *end != '\0' || v > INT32_MAX)
        return false;
    *id = static_cast<int>(v);
    return true;
}

void copy_name(char* dst, size_t cap, const char* src)
{
    size_t n = strnlen(src, cap - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

bool parse_stat_line(const char* text, size_t len, StatLine& out)
{
    const char* end = text + len;
    const char* open = static_cast<const char*>(std::memchr(text, '(', len));
    const char* close = nullptr;
    for (const char* p = end; p > text; --p)
        if (p[-1] == ')') {
            close = p - 1;
            break;
        }
    if (open == nullptr || close == nullptr || close < open)
        return false;

    long pid = 0;
    const char* pid_end = open;
    while (pid_end > text && pid_end[-1] == ' ')
        --pid_end;
    if (!to_signed(text, pid_end, &pid))
        return false;

    StatLine line;
    line.pid = static_cast<pid_t>(pid);
    size_t name_len = std::min<size_t>(static_cast<size_t>(close - open - 1), sizeof line.comm - 1);
    std::memcpy(line.comm, open + 1, name_len);
    line.comm[name_len] = '\0';

    // Fields from the third on: state ppid pgrp session tty_nr tpgid flags
    // minflt cminflt majflt cmajflt utime stime.
    FieldCursor cur{close + 1, end};
    const char* s;
    const char* e;
    long value = 0;
    for (int field = 3; field <= 15; ++field) {
        if (!cur.next(&s, &e))
            return false;
        switch (field) {
        case 4:
            if (!to_signed(s, e, &value))
                return false;
            line.ppid = static_cast<pid_t>(value);
            break;
        case 5:
            if (!to_signed(s, e, &value))
                return false;
            line.pgid = static_cast<pid_t>(value);
            break;
        case 9: {
            uint64_t flags = 0;
            if (!to_unsigned(s, e, &flags))
                return false;
            line.flags = static_cast<unsigned long>(flags);
            break;
        }
        case 14:
            if (!to_unsigned(s, e, &line.utime))
                return false;
            break;
        case 15:
            if (!to_unsigned(s, e, &line.stime))
                return false;
            break;
        default: break;
        }
    }
    out = line;
    return true;
}

ProcessRow make_process_row(const StatLine& stat)
{
    ProcessRow row;
    row.pid = stat.pid;
    // Linux parents its kernel threads to kthreadd; FreeBSD gives kernel
    // processes parent 0, and callers skip them by that.
    row.ppid = (stat.flags & kernel_thread_flag) ? 0 : stat.ppid;
    row.pgid = stat.pgid;
    row.runtime_us = ticks_to_us(stat.utime + stat.stime);
    copy_name(row.comm, sizeof row.comm, stat.comm);
    return row;
}

bool list_processes(int proc_fd, std::vector<ProcessEntry>& entries)
{
    entries.clear();
    return list_directory(proc_fd, ".", [&](const char* name, ino_t ino) {
        int pid = 0;
        if (id_name(name, &pid))
            entries.push_back({static_cast<pid_t>(pid), ino});
    });
}

bool read_process(int proc_fd, pid_t pid, ProcessRow& row)
{
    char path[proc_path_size];
    char buf[stat_buffer_size];
    ssize_t n = read_proc_record(proc_fd, proc_path(path, static_cast<int>(pid), "stat"), buf, sizeof buf);
    StatLine stat;
    if (n <= 0 || !parse_stat_line(buf, static_cast<size_t>(n), stat))
        return false;
    row = make_process_row(stat);
    return true;
}

void fill_process(kinfo_proc& entry, const ProcessRow& process)
{
    std::memset(&entry, 0, sizeof entry);
    entry.ki_pid = process.pid;
    entry.ki_ppid = process.ppid;
    entry.ki_pgid = process.pgid;
    entry.ki_tid = process.pid;
    entry.ki_runtime = process.runtime_us;
    std::memcpy(entry.ki_comm, process.comm, sizeof entry.ki_comm);
}

namespace {

// A thread's name and run time: schedstat counts nanoseconds and comm is
// cheap to produce; without schedstat (a kernel without CONFIG_SCHED_INFO)
// stat gives both, in whole clock ticks. A settled `known` spares the name.
bool read_thread(int proc_fd, int pid, int tid, kinfo_proc& entry, KnownThread* known)
{
    char path[proc_path_size];
    char buf[stat_buffer_size];
    proc_path(path, pid, "schedstat", tid);
    ssize_t n = known != nullptr ? known->run_time.read(proc_fd, path, buf, sizeof buf)
                                 : read_proc_record(proc_fd, path, buf, sizeof buf);
    uint64_t ns = 0;
    const char* p = buf;
    if (n > 0 && parse_u64(&p, buf + n, &ns)) {
        entry.ki_runtime = ns / 1000;
        if (known != nullptr && known->settled) {
            std::memcpy(entry.ki_tdname, known->name, sizeof entry.ki_tdname);
            return true;
        }
        n = read_proc_record(proc_fd, proc_path(path, pid, "comm", tid), buf, sizeof buf);
        if (n <= 0)
            return false;
        if (buf[n - 1] == '\n')
            buf[n - 1] = '\0';
        copy_name(entry.ki_tdname, sizeof entry.ki_tdname, buf);
    } else {
        n = read_proc_record(proc_fd, proc_path(path, pid, "stat", tid), buf, sizeof buf);
        StatLine stat;
        if (n <= 0 || !parse_stat_line(buf, static_cast<size_t>(n), stat))
            return false;
        copy_name(entry.ki_tdname, sizeof entry.ki_tdname, stat.comm);
        entry.ki_runtime = ticks_to_us(stat.utime + stat.stime);
    }
    if (known != nullptr)
        std::memcpy(known->name, entry.ki_tdname, sizeof known->name);
    return true;
}

}  // namespace

void append_threads(int proc_fd, const ProcessRow& process, std::vector<kinfo_proc>& out,
                    std::vector<KnownThread>* known)
{
    char path[proc_path_size];
    const int pid = static_cast<int>(process.pid);
    std::vector<KnownThread> learnt;
    const bool listed =
        list_directory(proc_fd, proc_path(path, pid, "task"), [&](const char* name, ino_t ino) {
            int tid = 0;
            if (!id_name(name, &tid))
                return;
            kinfo_proc entry;
            fill_process(entry, process);
            entry.ki_tid = tid;
            KnownThread* thread = nullptr;
            bool was_known = false;
            if (known != nullptr) {
                const auto before = std::find_if(known->begin(), known->end(), [&](const KnownThread& t) {
                    return t.tid == tid && t.ino == ino;
                });
                was_known = before != known->end();
                learnt.push_back(was_known ? std::move(*before) : KnownThread{tid, ino, false, {}, {}});
                thread = &learnt.back();
            }
            // A thread may end between the listing and the reads.
            if (read_thread(proc_fd, pid, tid, entry, thread)) {
                out.push_back(entry);
                if (thread != nullptr)
                    thread->settled = was_known;
            } else if (thread != nullptr) {
                learnt.pop_back();
            }
        });
    // A process that has gone keeps what was learnt until the table drops it.
    if (listed && known != nullptr)
        *known = std::move(learnt);
}

bool read_cmdline(int proc_fd, pid_t pid, std::vector<char>& text)
{
    text.clear();
    char path[proc_path_size];
    int fd = openat(proc_fd, proc_path(path, static_cast<int>(pid), "cmdline"), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Argument areas are mostly short; grow in steps for the rare long one.
    constexpr size_t read_step = 4096;
    size_t used = 0;
    for (;;) {
        text.resize(used + read_step);
        ssize_t n = read_fully(fd, text.data() + used, read_step);
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            text.clear();
            return false;
        }
        used += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < read_step)
            break;
    }
    text.resize(used);
    close(fd);
    return true;
}

}  // namespace compat
