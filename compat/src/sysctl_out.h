// How sysctl hands a value back to its caller.
#pragma once

#include <cstddef>

namespace compat {

// Copies `size` bytes of `value` out with sysctl's rules: a null `oldp` only
// reports the size; a buffer too small gets what fits and ENOMEM. Returns 0
// or an errno value; *oldlenp (when given) receives the length.
int sysctl_out(const void* value, size_t size, void* oldp, size_t* oldlenp);

}  // namespace compat
