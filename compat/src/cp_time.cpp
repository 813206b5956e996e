#include "compat/src/cp_time.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>

#include "proc_read.h"

namespace compat {

namespace {

// Linux's columns of the "cpu" line, in USER_HZ ticks.
enum LinuxColumn {
    kUser,
    kNice,
    kSystem,
    kIdle,
    kIowait,
    kIrq,
    kSoftirq,
    kSteal,
    kGuest,
    kGuestNice,
    kColumns
};

}  // namespace

// The fold, each Linux column counted exactly once:
//   user = user        (guest is already inside user)
//   nice = nice        (guest_nice is already inside nice)
//   sys  = system + steal   (stolen time was not ours to use: busy, not idle)
//   intr = irq + softirq
//   idle = idle + iowait    (a CPU waiting on I/O is free to run work)
// guest and guest_nice are read but never added. Columns missing from older
// kernels count as 0; the first four have existed forever and are required.
bool parse_cp_time(const char* text, size_t len, long out[CPUSTATES])
{
    if (len < 4 || std::memcmp(text, "cpu", 3) != 0 || (text[3] != ' ' && text[3] != '\t'))
        return false;
    const char* p = text + 3;
    const char* end = static_cast<const char*>(std::memchr(text, '\n', len));
    if (end == nullptr)
        end = text + len;

    uint64_t col[kColumns] = {};
    int found = 0;
    while (found < kColumns && parse_u64(&p, end, &col[found]))
        ++found;
    if (found < kIowait)
        return false;

    out[CP_USER] = static_cast<long>(col[kUser]);
    out[CP_NICE] = static_cast<long>(col[kNice]);
    out[CP_SYS] = static_cast<long>(col[kSystem] + col[kSteal]);
    out[CP_INTR] = static_cast<long>(col[kIrq] + col[kSoftirq]);
    out[CP_IDLE] = static_cast<long>(col[kIdle] + col[kIowait]);
    return true;
}

int read_cp_time(long out[CPUSTATES])
{
    // The aggregate line comes first; 512 bytes hold it with room to spare.
    char buf[512];
    ssize_t n = read_text_file(AT_FDCWD, "/proc/stat", buf, sizeof buf);
    if (n < 0)
        return -1;
    long tmp[CPUSTATES];
    if (!parse_cp_time(buf, static_cast<size_t>(n), tmp)) {
        errno = EIO;
        return -1;
    }
    keep_monotonic(tmp);
    std::memcpy(out, tmp, sizeof tmp);
    return 0;
}

// FreeBSD's counters only grow, and callers subtract samples as unsigned
// numbers. Linux's iowait (part of idle here) can step back by a tick, which
// would wrap into an absurd share; each state never reads lower than it did
// before in this process.
void keep_monotonic(long sample[CPUSTATES])
{
    static std::mutex guard;
    static long highest[CPUSTATES] = {};
    std::lock_guard<std::mutex> lock(guard);
    for (int state = 0; state < CPUSTATES; ++state) {
        if (sample[state] < highest[state])
            sample[state] = highest[state];
        highest[state] = sample[state];
    }
}

}  // namespace compat
