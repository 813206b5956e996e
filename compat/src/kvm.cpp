// libkvm on Linux: a handle reads live data from /proc, the way FreeBSD's
// libkvm reads it through sysctl when the core file is /dev/null.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <new>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "compat/src/cp_time.h"
#include "platform_kernel.h"
#include "proc_table.h"
#include "process_cache.h"

struct compat_kvm {
    int proc_fd = -1;
    dev_t proc_dev = 0;

    // The epoch of the shared process table when this handle brought it up
    // to date, 0 before. Group queries after the first are served from the
    // table as it is, so a tick asking for the threads of each VM's group
    // lists /proc once.
    uint64_t listed_epoch = 0;

    std::vector<kinfo_proc> procs;  // the array kvm_getprocs hands out
    std::vector<char> arg_text;     // backs the vector kvm_getargv hands out
    std::vector<char*> argv;
    char err[_POSIX2_LINE_MAX] = {};
};

namespace {

__attribute__((format(printf, 3, 4))) void put_error(char* buf, size_t size, const char* fmt, ...)
{
    if (buf == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
}

bool update_table(kvm_t* kd, compat::ProcessCache& cache, bool read_all)
{
    if (!(read_all ? cache.reload(kd->proc_fd) : cache.refresh(kd->proc_fd))) {
        put_error(kd->err, sizeof kd->err, "kvm_getprocs: /proc: %s", std::strerror(errno));
        return false;
    }
    kd->listed_epoch = cache.epoch();
    return true;
}

void add_process(kvm_t* kd, const compat::ProcessRow& row, bool threads)
{
    if (threads) {
        compat::append_threads(kd->proc_fd, row, kd->procs);
        return;
    }
    kinfo_proc entry;
    compat::fill_process(entry, row);
    kd->procs.push_back(entry);
}

// A group member as it is now: the table may hold its run time from an
// earlier tick.
void add_group_member(kvm_t* kd, compat::ProcessCache& cache, size_t index, bool threads)
{
    const compat::ProcessRow& row = cache.rows()[index];
    if (threads) {
        compat::append_threads(kd->proc_fd, row, kd->procs, &cache.threads(index));
        return;
    }
    compat::ProcessRow now;
    if (compat::read_process(kd->proc_fd, row.pid, now) && now.pgid == row.pgid)
        add_process(kd, now, false);
}

kinfo_proc* getprocs(kvm_t* kd, int op, int arg, int* cnt)
{
    const bool threads = (op & KERN_PROC_INC_THREAD) != 0;
    const int what = op & ~KERN_PROC_INC_THREAD;
    kd->procs.clear();

    compat::ProcessCache& cache = compat::process_cache();
    const std::lock_guard lock(cache.mutex);
    cache.use_proc(kd->proc_dev);
    if (what == KERN_PROC_PROC) {
        if (!update_table(kd, cache, true))
            return nullptr;
        for (const auto& row : cache.rows())
            add_process(kd, row, threads);
    } else if (what == KERN_PROC_PGRP) {
        if (kd->listed_epoch != cache.epoch() && !update_table(kd, cache, false))
            return nullptr;
        for (const auto& [group, index] : cache.group(static_cast<pid_t>(arg)))
            add_group_member(kd, cache, index, threads);
    } else {
        put_error(kd->err, sizeof kd->err, "kvm_getprocs: invalid operation %d", op);
        errno = EINVAL;
        return nullptr;
    }
    // An empty answer is still an answer: never hand out a null array for it.
    if (kd->procs.capacity() == 0)
        kd->procs.reserve(1);
    *cnt = static_cast<int>(kd->procs.size());
    return kd->procs.data();
}

char** getargv(kvm_t* kd, const kinfo_proc* p, int nchr)
{
    if (!compat::read_cmdline(kd->proc_fd, p->ki_pid, kd->arg_text)) {
        put_error(kd->err, sizeof kd->err, "kvm_getargv: pid %d: %s", static_cast<int>(p->ki_pid),
                  std::strerror(errno));
        return nullptr;
    }
    auto& text = kd->arg_text;
    if (nchr > 0 && text.size() > static_cast<size_t>(nchr))
        text.resize(static_cast<size_t>(nchr));
    kd->argv.clear();
    if (!text.empty()) {
        // A truncated or rewritten area may lack the final NUL.
        if (text.back() != '\0')
            text.push_back('\0');
        for (size_t pos = 0; pos < text.size(); pos += std::strlen(&text[pos]) + 1)
            kd->argv.push_back(&text[pos]);
    }
    kd->argv.push_back(nullptr);
    return kd->argv.data();
}

}  // namespace

extern "C" {

kvm_t* kvm_openfiles(const char*, const char* corefile, const char*, int, char* errbuf)
{
    const size_t errsize = _POSIX2_LINE_MAX;
    if (corefile == nullptr) {
        // Kernel memory: as on FreeBSD, only root may open /dev/mem.
        if (geteuid() != 0) {
            put_error(errbuf, errsize, "/dev/mem: %s", std::strerror(EACCES));
            errno = EACCES;
            return nullptr;
        }
    } else if (std::strcmp(corefile, "/dev/null") != 0) {
        put_error(errbuf, errsize, "%s: reading crash dumps is not supported", corefile);
        errno = EINVAL;
        return nullptr;
    }
    int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        put_error(errbuf, errsize, "/proc: %s", std::strerror(errno));
        return nullptr;
    }
    // Without procfs every later call would quietly find nothing.
    struct statfs fs;
    struct stat st;
    if (fstatfs(fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC || fstat(fd, &st) != 0) {
        close(fd);
        put_error(errbuf, errsize, "/proc: proc file system not mounted");
        errno = ENOENT;
        return nullptr;
    }
    auto* kd = new (std::nothrow) compat_kvm;
    if (kd == nullptr) {
        close(fd);
        put_error(errbuf, errsize, "kvm_openfiles: %s", std::strerror(ENOMEM));
        errno = ENOMEM;
        return nullptr;
    }
    kd->proc_fd = fd;
    kd->proc_dev = st.st_dev;
    return kd;
}

int kvm_close(kvm_t* kd)
{
    if (kd == nullptr) {
        errno = EINVAL;
        return -1;
    }
    close(kd->proc_fd);
    delete kd;
    return 0;
}

int kvm_getcptime(kvm_t* kd, long* cp_time)
{
    if (kd == nullptr || cp_time == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (compat::read_cp_time(cp_time) != 0) {
        put_error(kd->err, sizeof kd->err, "kvm_getcptime: /proc/stat: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

struct kinfo_proc* kvm_getprocs(kvm_t* kd, int op, int arg, int* cnt)
{
    if (kd == nullptr || cnt == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    *cnt = 0;
    try {
        return getprocs(kd, op, arg, cnt);
    } catch (const std::bad_alloc&) {
        kd->procs.clear();
        put_error(kd->err, sizeof kd->err, "kvm_getprocs: %s", std::strerror(ENOMEM));
        errno = ENOMEM;
        return nullptr;
    }
}

char** kvm_getargv(kvm_t* kd, const struct kinfo_proc* p, int nchr)
{
    if (kd == nullptr || p == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        return getargv(kd, p, nchr);
    } catch (const std::bad_alloc&) {
        put_error(kd->err, sizeof kd->err, "kvm_getargv: %s", std::strerror(ENOMEM));
        errno = ENOMEM;
        return nullptr;
    }
}

char* kvm_geterr(kvm_t* kd)
{
    static char none[] = "";
    return kd == nullptr ? none : kd->err;
}

}  // extern "C"
