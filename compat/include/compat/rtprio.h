// Linux stand-in for FreeBSD's <sys/rtprio.h>. Linux has no rtprio(2): the
// call always fails with ENOSYS, so callers take their fallback.
#pragma once

#include <sys/types.h>

#define RTP_SET 1
#define RTP_PRIO_REALTIME 2

struct rtprio {
    unsigned short type;
    unsigned short prio;
};

#ifdef __cplusplus
extern "C" {
#endif

int rtprio(int function, pid_t pid, struct rtprio* rtp);

#ifdef __cplusplus
}
#endif
