#include "runtime/priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include "platform_kernel.h"

void raise_priority()
{
    struct rtprio realtime {};
    realtime.type = RTP_PRIO_REALTIME;
    realtime.prio = 5;
    if (rtprio(RTP_SET, getpid(), &realtime) != 0)
        (void)setpriority(PRIO_PROCESS, 0, -5);
}
