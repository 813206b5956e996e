#pragma once

#include <cstddef>
#include <string_view>

// Writes all of `bytes` to `fd`, going on after short writes and EINTR.
// Returns how many bytes were written: fewer than all when a write failed,
// with `error` its errno (EIO for a write that took nothing).
size_t write_all(int fd, std::string_view bytes, int& error);
