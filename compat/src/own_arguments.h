// The calling process's argument area, as /proc/PID/cmdline (and so ps)
// shows it.
#pragma once

#include <cstddef>

namespace compat {

// The most a new argument area may hold, its final NUL included.
constexpr size_t own_arguments_limit = 256;

// Points the process's argument area at a copy of `text` (NUL-separated
// arguments; a final NUL is added when missing). An empty text brings the
// original area back. Returns 0 or an errno value. Needs a kernel with
// checkpoint/restore support (no privilege) or else CAP_SYS_RESOURCE.
int set_own_arguments(const void* text, size_t len);

}  // namespace compat
