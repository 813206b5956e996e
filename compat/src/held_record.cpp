#include "held_record.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

#include "proc_read.h"

namespace compat {
namespace {

std::atomic<int> held_records{0};

bool take_one()
{
    int count = held_records.load(std::memory_order_relaxed);
    do {
        if (count >= HeldRecord::budget())
            return false;
    } while (!held_records.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
    return true;
}

}  // namespace

HeldRecord::HeldRecord(HeldRecord&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

HeldRecord& HeldRecord::operator=(HeldRecord&& other) noexcept
{
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

HeldRecord::~HeldRecord() { release(); }

void HeldRecord::release()
{
    if (fd_ < 0)
        return;
    close(fd_);
    fd_ = -1;
    held_records.fetch_sub(1, std::memory_order_relaxed);
}

ssize_t HeldRecord::read(int dirfd, const char* path, char* buf, size_t size)
{
    if (fd_ >= 0) {
        const ssize_t n = reread_proc_record(fd_, buf, size);
        if (n > 0)
            return n;
        release();
    }
    const int fd = openat(dirfd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t n = reread_proc_record(fd, buf, size);
    if (n > 0 && take_one()) {
        fd_ = fd;
        return n;
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return n;
}

int HeldRecord::budget()
{
    static const int limit = [] {
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
            return 256;
        return static_cast<int>(std::min<rlim_t>(files.rlim_cur / 4, 4096));
    }();
    return limit;
}

int HeldRecord::held_count() { return held_records.load(std::memory_order_relaxed); }

}  // namespace compat
