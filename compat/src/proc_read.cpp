#include "proc_read.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace compat {

ssize_t read_fully(int fd, char* buf, size_t size)
{
    size_t used = 0;
    // /proc files usually arrive in one read, but a seq_file may split.
    while (used < size) {
        ssize_t n = read(fd, buf + used, size - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(used);
}

namespace {

ssize_t read_file(int dirfd, const char* path, char* buf, size_t size, bool whole_at_once)
{
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = openat(dirfd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n;
    do {
        n = whole_at_once ? read(fd, buf, size - 1) : read_fully(fd, buf, size - 1);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    close(fd);
    if (n < 0) {
        errno = saved;
        return -1;
    }
    buf[n] = '\0';
    return n;
}

}  // namespace

ssize_t read_text_file(int dirfd, const char* path, char* buf, size_t size)
{
    return read_file(dirfd, path, buf, size, false);
}

ssize_t read_proc_record(int dirfd, const char* path, char* buf, size_t size)
{
    return read_file(dirfd, path, buf, size, true);
}

ssize_t reread_proc_record(int fd, char* buf, size_t size)
{
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    do {
        n = pread(fd, buf, size - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    buf[n] = '\0';
    return n;
}

bool parse_u64(const char** p, const char* end, uint64_t* out)
{
    const char* s = *p;
    while (s < end && (*s == ' ' || *s == '\t'))
        ++s;
    if (s == end || *s < '0' || *s > '9')
        return false;
    uint64_t v = 0;
    while (s < end && *s >= '0' && *s <= '9') {
        v = v * 10 + static_cast<uint64_t>(*s - '0');
        ++s;
    }
    *p = s;
    *out = v;
    return true;
}

}  // namespace compat
