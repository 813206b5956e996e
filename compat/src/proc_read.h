// Small, allocation-free readers for /proc files: these run on every
// controller tick, so no iostreams and no heap.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace compat {

// Reads from `fd` until `size` bytes or the end of the file, retrying
// interrupted reads. Returns the count, or -1 with errno.
ssize_t read_fully(int fd, char* buf, size_t size);

// Reads the file `path` (relative to `dirfd`, or absolute) into `buf`, at most
// size - 1 bytes, and NUL-terminates it. Returns the length, or -1 with errno.
ssize_t read_text_file(int dirfd, const char* path, char* buf, size_t size);

// As read_text_file, for the small per-process files of /proc (stat,
// schedstat, comm): the kernel produces them whole, so a read that leaves
// room in `buf` has met the end and no second read is spent to see it.
ssize_t read_proc_record(int dirfd, const char* path, char* buf, size_t size);

// The record at `path` read again from its start through `fd`, open on it:
// procfs produces a record afresh for every read at offset 0, so a reader
// that keeps the descriptor spares the path walk and the open. Returns the
// length, NUL-terminated in `buf`, or -1 with errno (ESRCH once its process
// or thread has gone).
ssize_t reread_proc_record(int fd, char* buf, size_t size);

// Calls visit(name, inode) for every entry of the directory `path` (relative
// to `dirfd`), read with getdents64 on a plain descriptor: a DIR would cost a
// stat and two fcntl calls more, and a tick lists a directory per watched
// VM. False (with errno) when the directory cannot be opened or read.
template <typename Visit>
bool list_directory(int dirfd, const char* path, Visit&& visit);

// Parses an unsigned decimal number at `*p`, skipping leading blanks, and
// advances `*p` past it. False when no digit is found.
bool parse_u64(const char** p, const char* end, uint64_t* out);

template <typename Visit>
bool list_directory(int dirfd, const char* path, Visit&& visit)
{
    const int fd = openat(dirfd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Room for some 400 entries of /proc per call; aligned for dirent64.
    alignas(dirent64) char buf[16384];
    for (;;) {
        const ssize_t n = getdents64(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return n == 0;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buf + at);
            visit(static_cast<const char*>(entry->d_name), static_cast<ino_t>(entry->d_ino));
            at += entry->d_reclen;
        }
    }
}

}  // namespace compat
