// Small, allocation-free readers for /proc files: these run on every
// controller tick, so no iostreams and no heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

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

// Parses an unsigned decimal number at `*p`, skipping leading blanks, and
// advances `*p` past it. False when no digit is found.
bool parse_u64(const char** p, const char* end, uint64_t* out);

}  // namespace compat
