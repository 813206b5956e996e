#include <cerrno>

#include "platform_kernel.h"

// Linux has no rtprio(2); failing lets callers fall back to setpriority.
extern "C" int rtprio(int, pid_t, struct rtprio*)
{
    errno = ENOSYS;
    return -1;
}
